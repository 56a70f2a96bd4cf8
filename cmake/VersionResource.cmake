# A Windows version resource in each shipped binary: the project's version as
# FileVersion and ProductVersion, the company and product names, and per
# binary a description, its file name and its internal name. Explorer's
# Details tab, installers and crash reporters read it.
if(NOT WIN32)
    return()
endif()

set(LEXIGROVE_COMPANY "Brambix")
set(LEXIGROVE_COPYRIGHT "Copyright (C) 2026 Brambix")
# The four 16-bit fields of the fixed part: major, minor, patch, 0.
set(LEXIGROVE_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")

# lexigrove_version_resource(target description): compiles a version resource
# into target, whose file name is its target name with .dll or .exe.
function(lexigrove_version_resource target description)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(LEXIGROVE_VERSION_FILE_TYPE VFT_APP)
        set(suffix .exe)
    else()
        set(LEXIGROVE_VERSION_FILE_TYPE VFT_DLL)
        set(suffix .dll)
    endif()
    set(LEXIGROVE_VERSION_DESCRIPTION "${description}")
    set(LEXIGROVE_VERSION_INTERNAL_NAME ${target})
    set(LEXIGROVE_VERSION_FILE_NAME ${target}${suffix})
    set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

lexigrove_version_resource(plugin-lexigrove "Lexigrove dictionary-search plugin")
lexigrove_version_resource(Skyloom "Skyloom online-service library (HTTP client)")
lexigrove_version_resource(lexigrove-lookup "Lexigrove command-line dictionary lookup")
