# Installation and the Debian package.
#
# `cmake --install` puts the three programs, the engine's and the gateway
# client's programmatic interfaces (headers under include/tarpon, static
# libraries under lib/tarpon, a CMake package "Tarpon"), the manual pages,
# the tarpons service unit and the example node configuration in place.
# `cpack -G DEB` in a build folder configured with CMAKE_INSTALL_PREFIX=/usr
# makes the Debian package; scripts/package.sh does both and tries it out.
# The install folders are set in the top CMakeLists.txt, before any folder
# reads them.
include(GNUInstallDirs)

install(TARGETS tarpon tarponrc tarpon-blocklist
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The list of common passwords the gateway loads by default.
if(TARPON_COMMON_PASSWORDS)
  install(FILES ${TARPON_COMMON_PASSWORDS}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon)
endif()
install(TARGETS tarpons RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# tarpon-web and what it reads at start: its page, catalogues, script,
# style sheet and the API's OpenAPI document (docs/openapi.json).
install(TARGETS tarpon-web RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES web/assets/page.html docs/openapi.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon-web)
install(DIRECTORY web/assets/i18n web/assets/static
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon-web)

# The libraries keep their short folder names, so they live in a folder of
# their own; find_package(Tarpon) gives Tarpon::engine and
# Tarpon::gateway_client with what they link, and the emulated SNA node as
# Tarpon::sna: the engine links no SNA provider, so a program links
# Tarpon::sna or its own library of the entry points of
# tarpon/contract/sna_services.h. The interfaces (tarpon/engine/tarpon.h,
# tarpon/gateway_client/tarpon_gateway.h) include the return codes and the
# result record from tarpon/contract/.
set(TARPON_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tarpon)
install(TARGETS trace sna_services tarpon_contract sna prompt engine comm
  gateway_client
  EXPORT TarponTargets
  ARCHIVE DESTINATION ${TARPON_LIBDIR})
install(FILES contract/tarpon_rc.h contract/api_result.h contract/sna_services.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarpon/contract)
install(FILES engine/tarpon.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarpon/engine)
install(FILES gateway_client/tarpon_gateway.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarpon/gateway_client)
install(EXPORT TarponTargets NAMESPACE Tarpon::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarpon)
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarponConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarponConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarpon)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarponConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarponConfig.cmake
  ${PROJECT_BINARY_DIR}/TarponConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarpon)

# Manual pages, compressed as Debian keeps them.
set(tarpon_man_pages)
foreach(page tarpon.1 tarponrc.1 tarpon-blocklist.1 tarpons.8 tarpon-web.8)
  set(source ${PROJECT_SOURCE_DIR}/man/${page})
  set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${source} > ${packed}
    DEPENDS ${source} VERBATIM)
  list(APPEND tarpon_man_pages ${packed})
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${packed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${tarpon_man_pages})

# The gateway as a service, run by the system user tarpon (dist/postinst
# creates it): the unit, its settings and log rotation, and the node
# configuration it starts with, which keeps the emulated host's user
# database in the service's state folder. The files under /etc are the
# package's conffiles (dist/conffiles).
configure_file(${PROJECT_SOURCE_DIR}/dist/tarpons.service.in
  ${PROJECT_BINARY_DIR}/dist/tarpons.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dist/tarpons.service
  DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
set(etc ${CMAKE_INSTALL_FULL_SYSCONFDIR})
install(FILES dist/tarpons.default DESTINATION ${etc}/default RENAME tarpons)
# tarpon-web as a service of its own user, tarpon-web (dist/postinst).
configure_file(${PROJECT_SOURCE_DIR}/dist/tarpon-web.service.in
  ${PROJECT_BINARY_DIR}/dist/tarpon-web.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dist/tarpon-web.service
  DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
install(FILES dist/tarpon-web.default DESTINATION ${etc}/default
  RENAME tarpon-web)
install(FILES dist/tarpons.logrotate DESTINATION ${etc}/logrotate.d
  RENAME tarpons)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/examples/sna-node.conf)
file(READ ${PROJECT_SOURCE_DIR}/examples/sna-node.conf node_config)
string(REGEX REPLACE "\nusers = users[.]db[^\n]*"
  "\nusers = /var/lib/tarpon/users.db  ; the service's state folder"
  service_node_config "${node_config}")
if(service_node_config STREQUAL node_config)
  message(FATAL_ERROR "examples/sna-node.conf names no users = users.db")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/dist/sna-node.conf "${service_node_config}")
# dist/postinst makes it readable by the group tarpon only.
install(FILES ${PROJECT_BINARY_DIR}/dist/sna-node.conf
  DESTINATION ${etc}/tarpon)
# The user database that dist/postinst puts into /var/lib/tarpon when there
# is none.
install(FILES examples/users.db DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon)

# The hooks the gateway may run (-on-event, -on-change-sync; docs/hooks.md).
install(PROGRAMS dist/hooks/notify-mail dist/hooks/sync-ldap
  DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/tarpon/hooks)

# Documentation and the example node; Debian's copyright and changelog, and
# lintian's overrides with their reasons.
install(FILES dist/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tarpon)
install(FILES README.md docs/sna-node.md docs/hooks.md dist/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/sna-node.conf examples/users.db
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/dist/changelog.gz
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/dist/changelog
    > ${PROJECT_BINARY_DIR}/dist/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/dist/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/dist/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/dist/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tarpon)
set(CPACK_PACKAGE_VENDOR "Tarpon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarpon maintainers <tarpon@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "change host passwords over SNA LU 6.2, locally or through a TCP/IP gateway")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarpon changes a user's password at a host security service over an SNA
LU 6.2 conversation. tarpon runs the change on a machine with SNA, tarpons
is a TCP/IP gateway that runs it for machines without SNA, and tarponrc is
the gateway's client. An emulated SNA node stands in for an SNA product.
The package also holds the static libraries and headers of the
password-change engine and of the gateway client.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' packages come from dpkg-shlibdeps (libsystemd0 among them,
# for the gateway's notifications to systemd); adduser for postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# tarpon-web decodes forms and queries with uriparser (found by shlibdeps).
# The package ships /etc/logrotate.d/tarpons for a log file of the gateway.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
# The shipped hooks: notify-mail reads events with jq and mails through a
# sendmail (msmtp-mta is one that needs no privilege); sync-ldap runs
# ldappasswd.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS_HOOKS "jq, ldap-utils, msmtp-mta")
set(CPACK_STRIP_FILES ON)
# Linking the static libraries needs the inih and OpenSSL libraries too.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
  "libinih-dev, libssl-dev, pkg-config, ${CPACK_DEBIAN_PACKAGE_SUGGESTS_HOOKS}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/conffiles
  ${PROJECT_SOURCE_DIR}/dist/postinst ${PROJECT_SOURCE_DIR}/dist/prerm
  ${PROJECT_SOURCE_DIR}/dist/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
