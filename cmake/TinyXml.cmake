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
# Third-party code: keep its own warnings out of our warnings-as-errors.
target_compile_options(tinyxml PRIVATE -w)
