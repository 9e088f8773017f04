# Debian packages (cpack -G DEB, see scripts/package.sh):
#   wexora_<version>_amd64.deb              the desktop program, wexora-sync, pages,
#                                           desktop entry and icon
#   wexora-drive-server_<version>_amd64.deb the reference server and its systemd unit
# Library dependencies come from dpkg-shlibdeps; what the programs load at run
# time (the SQLite driver plugin, OpenSSL for TLS) is named by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wexora)
set(CPACK_PACKAGE_VENDOR "Wexora Drive")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Wexora Drive developers <dev@wexora.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME wexora)
set(CPACK_DEBIAN_CLIENT_FILE_NAME wexora_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "libqt5sql5-sqlite, libssl3")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "Wexora Drive desktop client and headless sync command
Keeps local folders in step with folders on a Wexora drive server: the
desktop program (wexora) and the same engine as a command (wexora-sync).")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME wexora-drive-server)
set(CPACK_DEBIAN_SERVER_FILE_NAME wexora-drive-server_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libqt5sql5-sqlite")
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "Wexora reference drive server
The drive server the Wexora client is tested and measured against, with a
systemd unit that runs it as a user of its own.")

include(CPack)
