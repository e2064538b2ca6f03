# Installation and the Debian packages.
#
# `cmake --install` puts everything in place; `cpack -G DEB` in a build
# folder configured with CMAKE_INSTALL_PREFIX=/usr makes one Debian package
# of each component, the way Debian splits a program that serves some
# machines and is a client on others:
#   tarpon-client   tarponrc alone, for machines with TCP/IP only
#   tarpon-gateway  tarpons, tarpon, the emulated SNA node, the service
#   tarpon-web      tarpon-web, its service, page, catalogues and API
#   libtarpon-dev   the engine's and the gateway client's programmatic
#                   interfaces: headers under include/tarpon, static
#                   libraries under lib/tarpon, a CMake package "Tarpon"
# scripts/package.sh makes them and tries them out. Each package keeps its
# documentation, copyright and changelog in /usr/share/doc/<package>. The
# install folders are set in the top CMakeLists.txt, before any folder
# reads them.
include(GNUInstallDirs)
set(etc ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(systemd_units ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
set(doc_root ${CMAKE_INSTALL_DATAROOTDIR}/doc)
set(gateway_doc ${doc_root}/tarpon-gateway)

# Each package's copyright, changelog and lintian's overrides with their
# reasons (dist/deb/<package>/lintian-overrides).
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/dist/changelog.gz
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/dist/changelog
    > ${PROJECT_BINARY_DIR}/dist/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/dist/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/dist/changelog.gz)
foreach(pair client:tarpon-client gateway:tarpon-gateway web:tarpon-web
    dev:libtarpon-dev)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES dist/copyright ${PROJECT_BINARY_DIR}/dist/changelog.gz
    DESTINATION ${doc_root}/${package} COMPONENT ${component})
  install(FILES dist/deb/${package}/lintian-overrides RENAME ${package}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    COMPONENT ${component})
endforeach()

# Manual pages, compressed as Debian keeps them, each in its program's
# package.
set(tarpon_man_pages)
foreach(pair tarpon.1:gateway tarponrc.1:client tarpon-blocklist.1:gateway
    tarpons.8:gateway tarpon-web.8:web)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 page)
  list(GET pair 1 component)
  set(source ${PROJECT_SOURCE_DIR}/man/${page})
  set(packed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${source} > ${packed}
    DEPENDS ${source} VERBATIM)
  list(APPEND tarpon_man_pages ${packed})
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${packed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${tarpon_man_pages})

# tarpon-client: the remote client.
install(TARGETS tarponrc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT client)

# tarpon-gateway: the gateway, the local client and the emulated SNA node
# they link, the list of common passwords the gateway loads by default and
# the tool that builds such lists.
install(TARGETS tarpon tarpon-blocklist RUNTIME
  DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gateway)
install(TARGETS tarpons RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
  COMPONENT gateway)
if(TARPON_COMMON_PASSWORDS)
  install(FILES ${TARPON_COMMON_PASSWORDS}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon COMPONENT gateway)
endif()
# The gateway as a service, run by the system user tarpon (postinst creates
# it): the unit, its settings and log rotation, and the node configuration
# it starts with, which keeps the emulated host's user database in the
# service's state folder. The files under /etc are the package's conffiles
# (dist/deb/tarpon-gateway/conffiles).
configure_file(${PROJECT_SOURCE_DIR}/dist/tarpons.service.in
  ${PROJECT_BINARY_DIR}/dist/tarpons.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dist/tarpons.service
  DESTINATION ${systemd_units} COMPONENT gateway)
install(FILES dist/tarpons.default DESTINATION ${etc}/default RENAME tarpons
  COMPONENT gateway)
install(FILES dist/tarpons.logrotate DESTINATION ${etc}/logrotate.d
  RENAME tarpons COMPONENT gateway)
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
# postinst makes it readable by the group tarpon only.
install(FILES ${PROJECT_BINARY_DIR}/dist/sna-node.conf
  DESTINATION ${etc}/tarpon COMPONENT gateway)
# The user database, without users, that postinst puts into
# /var/lib/tarpon when there is none; the example's users are documentation.
install(FILES dist/users.db DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon
  COMPONENT gateway)
# The hooks the gateway may run (-on-event, -on-change-sync; docs/hooks.md).
install(PROGRAMS dist/hooks/notify-mail dist/hooks/sync-ldap
  DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/tarpon/hooks COMPONENT gateway)
# The guides the settings and manual pages name, the example node, and the
# HAProxy configuration of docs/scaling.md.
install(FILES README.md docs/admin-guide.md docs/sna-node.md docs/hooks.md
  docs/scaling.md docs/blocklist.md docs/account-limit.md
  DESTINATION ${gateway_doc} COMPONENT gateway)
install(FILES examples/sna-node.conf examples/users.db
  DESTINATION ${gateway_doc}/examples COMPONENT gateway)
install(FILES dist/haproxy/tarpons.cfg DESTINATION ${gateway_doc}/examples
  RENAME haproxy-tarpons.cfg COMPONENT gateway)

# tarpon-web and what it reads at start: its page, catalogues, script,
# style sheet and the API's OpenAPI document (docs/openapi.json); a service
# of its own user, tarpon-web, whose folder /etc/tarpon-web for the
# certificate and key postinst makes.
install(TARGETS tarpon-web RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
  COMPONENT web)
install(FILES web/assets/page.html docs/openapi.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon-web COMPONENT web)
install(DIRECTORY web/assets/i18n web/assets/static
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tarpon-web COMPONENT web)
configure_file(${PROJECT_SOURCE_DIR}/dist/tarpon-web.service.in
  ${PROJECT_BINARY_DIR}/dist/tarpon-web.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dist/tarpon-web.service
  DESTINATION ${systemd_units} COMPONENT web)
install(FILES dist/tarpon-web.default DESTINATION ${etc}/default
  RENAME tarpon-web COMPONENT web)
install(FILES docs/api.md DESTINATION ${doc_root}/tarpon-web COMPONENT web)

# libtarpon-dev. The libraries keep their short folder names, so they live
# in a folder of their own; find_package(Tarpon) gives Tarpon::engine and
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
  ARCHIVE DESTINATION ${TARPON_LIBDIR} COMPONENT dev)
# engine/tarpon.h takes the option words (option_line.h), whose passwords
# are Secrets (secret.h).
install(FILES contract/tarpon_rc.h contract/api_result.h contract/sna_services.h
  contract/option_line.h contract/secret.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarpon/contract COMPONENT dev)
install(FILES engine/tarpon.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarpon/engine COMPONENT dev)
install(FILES gateway_client/tarpon_gateway.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarpon/gateway_client COMPONENT dev)
install(EXPORT TarponTargets NAMESPACE Tarpon::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarpon COMPONENT dev)
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarponConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarponConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarpon)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarponConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarponConfig.cmake
  ${PROJECT_BINARY_DIR}/TarponConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarpon COMPONENT dev)

install(FILES docs/internals.md DESTINATION ${doc_root}/libtarpon-dev
  COMPONENT dev)

include(cmake/packages.cmake)
