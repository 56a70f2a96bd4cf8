# The Debian package of the dictionary service (a build configured with
# LEXIGROVE_SERVICE_PACKAGE, the `deb` preset):
#
#   cmake --preset deb && cmake --build --preset deb --target lexigrove-service
#   (cd build/deb && cpack -G DEB)  ->  build/deb/lexigrove-service_<version>_amd64.deb
#
# The stripped binary in /usr/bin, the systemd unit, docs/service.md, the
# copyright and a changelog. It depends on the libraries the binary links
# (dpkg-shlibdeps) and on the core FreeDict dictionaries it serves, and
# recommends every other one of scripts/dictionaries.

set(doc share/doc/lexigrove-service)
install(TARGETS lexigrove-service RUNTIME DESTINATION bin COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/service/lexigrove-service.service
        DESTINATION /lib/systemd/system COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/docs/service.md ${PROJECT_SOURCE_DIR}/service/debian/copyright
        DESTINATION ${doc} COMPONENT service)
# Debian's changelog is compressed with gzip -9n (no name, no time).
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/service/debian/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/service/debian/changelog VERBATIM)
add_custom_target(lexigrove_service_changelog ALL DEPENDS ${changelog})
add_dependencies(lexigrove-service lexigrove_service_changelog)
install(FILES ${changelog} DESTINATION ${doc} COMPONENT service)

# The dictionaries: the core set as dependencies, the rest as recommendations.
file(READ ${PROJECT_SOURCE_DIR}/scripts/dictionaries dictionaries)
foreach(set core all)
    string(REGEX MATCH "${set}_dictionaries=\\(([^)]*)\\)" _ "${dictionaries}")
    string(REGEX MATCHALL "dict-freedict-[a-z]+-[a-z]+" ${set} "${CMAKE_MATCH_1}")
endforeach()
list(REMOVE_ITEM all ${core})
list(JOIN core ", " core_depends)
list(JOIN all ", " recommends)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lexigrove-service)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Brambix)
set(CPACK_PACKAGE_CONTACT "Lexigrove maintainers <lexigrove@brambix.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dictionary service for the Lexigrove plugin")
# The extended description; its synopsis is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "lexigrove-service answers the Lexigrove plugin's dictionary lookups over\n"
    "HTTP from the FreeDict dictionaries Debian packages. It runs under systemd\n"
    "and may run as several instances behind a reverse proxy.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${core_depends}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${recommends}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_ALL service)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};service;/")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)
