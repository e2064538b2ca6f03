# The Debian packages, one of each install component (cmake/install.cmake),
# made by `cpack -G DEB`: their names, descriptions, relations and
# maintainer scripts (dist/deb/<package>/).
set(CPACK_PACKAGE_NAME tarpon)
set(CPACK_PACKAGE_VENDOR "Tarpon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarpon maintainers <tarpon@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client gateway web dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE tarpon)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' packages come from dpkg-shlibdeps (libsystemd0 among them,
# for the gateway's notifications to systemd; uriparser for tarpon-web).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Every package takes over its files from the one package "tarpon" that
# held them all before.
set(tarpon_old_package "tarpon")
set(intro "Tarpon changes a user's password at a host security service over an
SNA LU 6.2 conversation: tarpon runs the change on a machine with SNA,
tarpons is a TCP/IP gateway that runs it for machines without SNA,
tarponrc is the gateway's client and tarpon-web a page and JSON API in
front of the gateway.")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME tarpon-client)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION
  "change host passwords through a Tarpon gateway over TCP/IP
${intro}
.
This package holds tarponrc alone, for machines that reach a gateway over
TCP/IP and have no SNA: no service, no system user.")

set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME tarpon-gateway)
set(CPACK_DEBIAN_GATEWAY_DESCRIPTION
  "change host passwords over SNA LU 6.2: local client and TCP/IP gateway
${intro}
.
This package holds tarpon, the gateway tarpons as a systemd service of the
system user tarpon, the emulated SNA node that stands in for an SNA
product, with an empty host user database and the example's in
/usr/share/doc/tarpon-gateway/examples, the list of common passwords and
the hooks.")
# adduser for postinst; /etc/logrotate.d/tarpons for a log file; the
# shipped hooks: notify-mail reads events with jq and mails through a
# sendmail (msmtp-mta is one that needs no privilege); sync-ldap runs
# ldappasswd.
set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SUGGESTS
  "tarpon-web, haproxy, jq, ldap-utils, msmtp-mta")

set(CPACK_DEBIAN_WEB_PACKAGE_NAME tarpon-web)
set(CPACK_DEBIAN_WEB_DESCRIPTION
  "change host passwords through a Tarpon gateway: web page and JSON API
${intro}
.
This package holds tarpon-web as a systemd service of the system user
tarpon-web, its page, scripts, style sheet, catalogues and the API's
OpenAPI document. It sends each change to a tarpons gateway, on this
machine (tarpon-gateway) or another.")
set(CPACK_DEBIAN_WEB_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_WEB_PACKAGE_RECOMMENDS "tarpon-gateway")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarpon-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "change host passwords over SNA LU 6.2: development files
${intro}
.
This package holds the static libraries and headers of the
password-change engine, the gateway client and the emulated SNA node, and
a CMake package (find_package(Tarpon)).")
# find_package(Tarpon) needs OpenSSL's; Tarpon::sna needs inih through
# pkg-config.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libssl-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "libinih-dev, pkg-config")

foreach(component CLIENT GATEWAY WEB DEV)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONFLICTS ${tarpon_old_package})
  set(CPACK_DEBIAN_${component}_PACKAGE_REPLACES ${tarpon_old_package})
endforeach()
set(deb ${PROJECT_SOURCE_DIR}/dist/deb)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA ${deb}/tarpon-gateway/conffiles
  ${deb}/tarpon-gateway/postinst ${deb}/tarpon-gateway/prerm
  ${deb}/tarpon-gateway/postrm)
set(CPACK_DEBIAN_WEB_PACKAGE_CONTROL_EXTRA ${deb}/tarpon-web/conffiles
  ${deb}/tarpon-web/postinst ${deb}/tarpon-web/prerm ${deb}/tarpon-web/postrm)
include(CPack)
