# What `cmake --install` puts in place and `cpack` (ZIP) ships: the plugin,
# the online-service library and the command-line host side by side (the
# plugin finds Skyloom beside itself, the host finds the plugin beside
# itself), the header for host authors, the guide, the README and the licence
# texts of what is linked into these binaries.
#
#   cmake --build build/win32 && (cd build/win32 && cpack)
#   -> build/win32/Lexigrove-<version>-win32.zip (build/win64: ...-win64.zip)

include(GNUInstallDirs)

# Licence texts, as Debian ships them, of the code linked into the binaries:
# TinyXML (plugin), nlohmann/json (host, header-only) and, in the Windows
# build, the statically linked MinGW-w64 runtime, winpthreads, libgcc and
# libstdc++ (GCC Runtime Library Exception).
set(LEXIGROVE_LICENCE_TEXTS
    "TinyXML.txt=${PROJECT_SOURCE_DIR}/third_party/tinyxml/src/debian/copyright"
    "nlohmann-json.txt=/usr/share/doc/nlohmann-json3-dev/copyright")
if(WIN32)
    list(APPEND LEXIGROVE_LICENCE_TEXTS
        "mingw-w64-runtime-and-winpthreads.txt=/usr/share/doc/mingw-w64-common/copyright"
        "gcc-libgcc-libstdc++.txt=/usr/share/doc/gcc-mingw-w64-base/copyright")
endif()

set(licence_dir ${CMAKE_BINARY_DIR}/licences)
foreach(entry IN LISTS LEXIGROVE_LICENCE_TEXTS)
    string(REGEX MATCH "^([^=]+)=(.+)$" _ "${entry}")
    set(file_name ${CMAKE_MATCH_1})
    set(source ${CMAKE_MATCH_2})
    if(NOT EXISTS ${source})
        message(WARNING "licence text ${source} not found: the package would lack ${file_name}")
        continue()
    endif()
    configure_file(${source} ${licence_dir}/${file_name} COPYONLY)
    install(FILES ${licence_dir}/${file_name} DESTINATION licences)
endforeach()

# The binaries at the top of the package: a host is started from there.
install(FILES $<TARGET_FILE:plugin-lexigrove> $<TARGET_FILE:Skyloom> DESTINATION .)
install(PROGRAMS $<TARGET_FILE:lexigrove-lookup> DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/include/lexigrove/lexigrove-host.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lexigrove)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/host-guide.md ${PROJECT_SOURCE_DIR}/docs/host-example.cpp
        DESTINATION docs)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Lexigrove)
set(CPACK_PACKAGE_VENDOR Brambix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
    set(CPACK_SYSTEM_NAME ${LEXIGROVE_WINDOWS_ARCH})
else()
    set(CPACK_SYSTEM_NAME linux-x86_64)
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Dictionary-search plugin for host applications")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)
