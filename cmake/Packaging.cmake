# What `cmake --install` puts in place and `cpack` (ZIP) ships: the plugin,
# the online-service library and the command-line host side by side (the
# plugin finds Skyloom beside itself, the host finds the plugin beside
# itself), the header for host authors, the guide, the README and the licence
# texts of what is linked into these binaries.
#
#   cmake --build build/win32 && (cd build/win32 && cpack)
#   -> build/win32/Lexigrove-<version>-win32.zip (build/win64: ...-win64.zip)
#      build/win32/Lexigrove-<version>-win32-symbols.zip
#
# The Windows package ships the binaries stripped; their debug information
# goes into one .debug file each (objcopy --only-keep-debug), which the
# stripped binary names in its .gnu_debuglink section, and these files make
# the separate symbols package. Each package is one CPack component.

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME runtime)

# The shipped binaries: the build's own, or in the Windows build their
# stripped copies in shipped/ with their debug files in symbols/.
set(shipped_plugin $<TARGET_FILE:plugin-lexigrove>)
set(shipped_skyloom $<TARGET_FILE:Skyloom>)
set(shipped_lookup $<TARGET_FILE:lexigrove-lookup>)
if(WIN32)
    find_program(LEXIGROVE_OBJCOPY NAMES ${LEXIGROVE_MINGW_TRIPLET}-objcopy REQUIRED)
    set(shipped_dir ${CMAKE_BINARY_DIR}/shipped)
    set(symbols_dir ${CMAKE_BINARY_DIR}/symbols)
    set(shipped_outputs "")
    set(symbol_files "")
    foreach(pair plugin-lexigrove|plugin-lexigrove.dll Skyloom|Skyloom.dll
                 lexigrove-lookup|lexigrove-lookup.exe)
        string(REPLACE "|" ";" pair "${pair}")
        list(GET pair 0 target)
        list(GET pair 1 name)
        # The debug link holds the debug file's name and CRC, so it is added
        # after the debug file is written.
        add_custom_command(
            OUTPUT ${shipped_dir}/${name} ${symbols_dir}/${name}.debug
            COMMAND ${CMAKE_COMMAND} -E make_directory ${shipped_dir} ${symbols_dir}
            COMMAND ${LEXIGROVE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
                    ${symbols_dir}/${name}.debug
            COMMAND ${LEXIGROVE_OBJCOPY} --strip-all $<TARGET_FILE:${target}> ${shipped_dir}/${name}
            COMMAND ${LEXIGROVE_OBJCOPY} --add-gnu-debuglink=${symbols_dir}/${name}.debug
                    ${shipped_dir}/${name}
            DEPENDS ${target}
            COMMENT "Stripping ${name} (debug information into ${name}.debug)"
            VERBATIM)
        list(APPEND shipped_outputs ${shipped_dir}/${name})
        list(APPEND symbol_files ${symbols_dir}/${name}.debug)
    endforeach()
    add_custom_target(lexigrove_shipped ALL DEPENDS ${shipped_outputs} ${symbol_files})
    set(shipped_plugin ${shipped_dir}/plugin-lexigrove.dll)
    set(shipped_skyloom ${shipped_dir}/Skyloom.dll)
    set(shipped_lookup ${shipped_dir}/lexigrove-lookup.exe)
    install(FILES ${symbol_files} DESTINATION . COMPONENT symbols)
endif()

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
install(FILES ${shipped_plugin} ${shipped_skyloom} DESTINATION .)
install(PROGRAMS ${shipped_lookup} DESTINATION .)
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
if(WIN32)
    # Two ZIPs: the package itself and its symbols, both with the package's
    # name as their top folder, so that unpacking the symbols where the
    # package was unpacked puts each debug file beside its binary.
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
    set(CPACK_COMPONENTS_ALL runtime symbols)
    set(CPACK_ARCHIVE_RUNTIME_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
    set(CPACK_ARCHIVE_SYMBOLS_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}-symbols)
endif()
include(CPack)
