# TinyXML 2.6.2 from Debian's source package (fetched by scripts/setup into
# third_party/tinyxml/src, Debian's security patches applied), built as a
# static library with the STL interface Debian enforces.
set(LEXIGROVE_TINYXML_DIR "${PROJECT_SOURCE_DIR}/third_party/tinyxml/src"
    CACHE PATH "Folder with the TinyXML 2.6.2 sources")
if(NOT EXISTS "${LEXIGROVE_TINYXML_DIR}/tinyxml.h")
    message(FATAL_ERROR "TinyXML sources not found in ${LEXIGROVE_TINYXML_DIR}: run scripts/setup")
endif()
add_library(tinyxml STATIC
    ${LEXIGROVE_TINYXML_DIR}/tinyxml.cpp
    ${LEXIGROVE_TINYXML_DIR}/tinyxmlparser.cpp
    ${LEXIGROVE_TINYXML_DIR}/tinyxmlerror.cpp
    ${LEXIGROVE_TINYXML_DIR}/tinystr.cpp)
target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)
target_include_directories(tinyxml SYSTEM PUBLIC ${LEXIGROVE_TINYXML_DIR})
# Third-party code: keep its own warnings out of our warnings-as-errors.
target_compile_options(tinyxml PRIVATE -w)
