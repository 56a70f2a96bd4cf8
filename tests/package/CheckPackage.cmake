# Checks the shipped ZIP: exactly the expected files under one top folder,
# licence texts that are the real texts, and the plugin DLL inside it
# exporting exactly the plugin's functions.
#   cmake -DPACKAGE=<zip> -DUNZIP=<unzip> -DOBJDUMP=<objdump> -DCHECK_EXPORTS=<file>
#         -DIMAGE_FORMAT=<pei-i386|pei-x86-64> -DSETLOG_EXPORT=<name>
#         -DPINS=<folder of pinned import tables> -DARCH=<i686|x86_64>
#         -DWORK=<folder> -P CheckPackage.cmake
cmake_minimum_required(VERSION 3.25)
# The top folder is the ZIP's name without ".zip".
string(REGEX REPLACE "\\.zip$" "" top "${PACKAGE}")
get_filename_component(top ${top} NAME)

include(${CMAKE_CURRENT_LIST_DIR}/Zip.cmake)
check_zip_files(${PACKAGE} ${top}
    README.md
    Skyloom.dll
    docs/host-example.cpp
    docs/host-guide.md
    include/lexigrove/lexigrove-host.h
    lexigrove-lookup.exe
    licences/TinyXML.txt
    licences/gcc-libgcc-libstdc++.txt
    licences/mingw-w64-runtime-and-winpthreads.txt
    licences/nlohmann-json.txt
    plugin-lexigrove.dll)
unpack_zip(${PACKAGE} ${WORK})
set(root ${WORK}/${top})

# Each licence text carries the licence itself, not just a file name.
foreach(pair "TinyXML.txt|must not be misrepresented as being the original software"
             "nlohmann-json.txt|Permission is hereby granted, free of charge"
             "gcc-libgcc-libstdc++.txt|GCC RUNTIME LIBRARY EXCEPTION"
             "mingw-w64-runtime-and-winpthreads.txt|winpthreads")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 phrase)
    file(READ ${root}/licences/${name} text)
    string(FIND "${text}" "${phrase}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "licences/${name} lacks \"${phrase}\"")
    endif()
endforeach()

# The binaries are Windows images of the build's architecture, stripped (no
# debug sections and no symbol table; a debug link names their debug file in
# the symbols package) and with a version resource; both DLLs export exactly
# their functions and import exactly their pinned tables.
foreach(binary plugin-lexigrove.dll Skyloom.dll lexigrove-lookup.exe)
    execute_process(COMMAND ${OBJDUMP} -f -h ${root}/${binary} OUTPUT_VARIABLE header)
    if(NOT header MATCHES "file format ${IMAGE_FORMAT}\n")
        message(FATAL_ERROR "${binary} is not a ${IMAGE_FORMAT} image:\n${header}")
    endif()
    if(header MATCHES " (\\.debug_[a-z_]+) ")
        message(FATAL_ERROR "${binary} is not stripped: it has a ${CMAKE_MATCH_1} section")
    endif()
    if(NOT header MATCHES "HAS_SYMS" AND header MATCHES " \\.gnu_debuglink " AND
       header MATCHES " \\.rsrc ")
        file(SIZE ${root}/${binary} size)
        message(STATUS "${binary}: ${size} bytes")
    else()
        message(FATAL_ERROR "${binary} has symbols, or lacks its debug link or its resources:\n"
                            "${header}")
    endif()
endforeach()
execute_process(
    COMMAND ${CMAKE_COMMAND} -DTOOL=${OBJDUMP} -DLIBRARY=${root}/plugin-lexigrove.dll
            "-DEXPECTED=${SETLOG_EXPORT},fnGetPluginName,fnGetPluginOwner,fnGetSearchResult,fnGetSearchResultCount,fnSearchWord,fnGetSupportedFromLanguages,fnGetSupportedToLanguages"
            -DWINDOWS=ON -DIMPORTS=${PINS}/plugin-lexigrove.${ARCH}.txt -P ${CHECK_EXPORTS}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "export or import table of the packaged plugin-lexigrove.dll is wrong")
endif()
# Skyloom.dll: exactly its two functions, and its pinned imports.
execute_process(
    COMMAND ${CMAKE_COMMAND} -DTOOL=${OBJDUMP} -DLIBRARY=${root}/Skyloom.dll
            -DEXPECTED=CreateHttpFile,DeleteHttpFile -DWINDOWS=ON
            -DIMPORTS=${PINS}/Skyloom.${ARCH}.txt -P ${CHECK_EXPORTS}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "export or import table of the packaged Skyloom.dll is wrong")
endif()
message(STATUS "${PACKAGE}: as expected")
