# TinyXML 2.6.2 from Debian's source package (fetched by scripts/setup into
# third_party/tinyxml/src, Debian's security patches applied), built as a
# static library without its stream members: cmake/tinyxml-lean/ctype.h,
# first on the include path of TinyXML and of everything that includes its
# header, undoes the STL interface Debian's header forces (see there). The
# sources are compiled as they are.
set(LEXIGROVE_TINYXML_DIR "${PROJECT_SOURCE_DIR}/third_party/tinyxml/src"
    CACHE PATH "Folder with the TinyXML 2.6.2 sources")
if(NOT EXISTS "${LEXIGROVE_TINYXML_DIR}/tinyxml.h")
    message(FATAL_ERROR "TinyXML sources not found in ${LEXIGROVE_TINYXML_DIR}: run scripts/setup")
endif()
set(LEXIGROVE_TINYXML_SOURCES
    ${LEXIGROVE_TINYXML_DIR}/tinyxml.cpp
    ${LEXIGROVE_TINYXML_DIR}/tinyxmlparser.cpp
    ${LEXIGROVE_TINYXML_DIR}/tinyxmlerror.cpp
    ${LEXIGROVE_TINYXML_DIR}/tinystr.cpp)

# The header as every user of TinyXML sees it (the fuzz target compiles the
# sources again with it).
add_library(tinyxml_headers INTERFACE)
target_include_directories(tinyxml_headers SYSTEM BEFORE INTERFACE
    ${PROJECT_SOURCE_DIR}/cmake/tinyxml-lean ${LEXIGROVE_TINYXML_DIR})

add_library(tinyxml STATIC ${LEXIGROVE_TINYXML_SOURCES})
target_link_libraries(tinyxml PUBLIC tinyxml_headers)
# Third-party code: keep its own warnings out of our warnings-as-errors. Each
# function in a section of its own, so a shipped library that collects
# unused sections (--gc-sections) drops what it never calls (loading and
# saving files, number queries and their scanf).
target_compile_options(tinyxml PRIVATE -w -ffunction-sections -fdata-sections)
if(WIN32)
    # TinyXML's C stdio calls (number queries with sscanf, printing, loading
    # files; none of them reached when a reply is read) go to the system's C
    # runtime rather than to MinGW's C99 scanf and printf, which would be
    # linked into the plugin. Its sources include only C headers, so the
    # setting holds for the whole of each. (An option, so that it comes after
    # the toolchain's own definition on the command line.)
    target_compile_options(tinyxml PRIVATE -U__USE_MINGW_ANSI_STDIO -D__USE_MINGW_ANSI_STDIO=0)
endif()
