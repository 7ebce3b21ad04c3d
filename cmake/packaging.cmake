# cmake/packaging.cmake -- what `cmake --install` puts where beside the two programs (their
# install() rules sit with their targets in src/app/ and tools/), and the Debian package CPack
# makes of it: `cpack -G DEB` in a release build folder writes kelvane_<version>_<arch>.deb.
#
# Nothing else has install rules, so the tests, benchmarks and the demo package stay out.
include(GNUInstallDirs)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()

set(KELVANE_DIST_DIR ${PROJECT_SOURCE_DIR}/dist)
set(KELVANE_DIST_BINARY_DIR ${PROJECT_BINARY_DIR}/dist)
set(KELVANE_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvane)
set(KELVANE_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd unit goes, relative to the install prefix")
set(KELVANE_PACKAGE_DATE "Wed, 09 Dec 2026 12:00:00 +0000")  # this release, for the changelog

# Folders the rules create are 0755 whatever the umask of the one who installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The man pages carry the version; they and the Debian changelog are installed compressed as
# Debian wants them: gzip -9 without the name and time stamp, so rebuilds give equal bytes.
find_program(KELVANE_GZIP gzip REQUIRED)
set(kelvane_compressed)
foreach(source man/kelvane.1 man/kelvane-pack.1 debian/changelog)
  get_filename_component(name ${source} NAME)
  configure_file(${KELVANE_DIST_DIR}/${source} ${KELVANE_DIST_BINARY_DIR}/in/${name} @ONLY)
  add_custom_command(
    OUTPUT ${KELVANE_DIST_BINARY_DIR}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${KELVANE_DIST_BINARY_DIR}/in/${name} ${KELVANE_DIST_BINARY_DIR}/${name}
    COMMAND ${KELVANE_GZIP} -9nf ${KELVANE_DIST_BINARY_DIR}/${name}
    DEPENDS ${KELVANE_DIST_BINARY_DIR}/in/${name}
    VERBATIM)
  list(APPEND kelvane_compressed ${KELVANE_DIST_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(kelvane_dist_files ALL DEPENDS ${kelvane_compressed})

install(FILES ${KELVANE_DIST_BINARY_DIR}/kelvane.1.gz ${KELVANE_DIST_BINARY_DIR}/kelvane-pack.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KELVANE_DIST_DIR}/kelvane.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
foreach(side 16 32 64)
  install(FILES ${PROJECT_SOURCE_DIR}/src/app/gui/resources/icon${side}.png
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${side}x${side}/apps
          RENAME kelvane.png)
endforeach()
install(FILES ${KELVANE_DIST_DIR}/kelvane.svg
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
install(FILES ${KELVANE_DIST_DIR}/systemd/kelvane@.service DESTINATION ${KELVANE_SYSTEMD_UNIT_DIR})
# A version without a Debian revision makes a native package: its changelog is changelog.gz.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${KELVANE_DIST_DIR}/debian/copyright
              ${KELVANE_DIST_BINARY_DIR}/changelog.gz
        DESTINATION ${KELVANE_DOC_DIR})

# The Debian package. Its dependencies come from dpkg-shlibdeps (dpkg-dev) on the installed
# programs, plus adduser for the postinst that makes the service's user.
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "Varnek Systems")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Varnek Systems <packages@varnek-systems.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serves a packaged set of files to devices over FTP and HTTP")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
# The summary above is the synopsis line; this is the extended description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kelvane hands one packaged set of files, typically a device's firmware image
and its version note, to devices on a local network. The package is a
read-only archive appended to Kelvane's own executable: devices log in over
anonymous, read-only, active-mode FTP to list and download it, and a browser
reads the package's pages over HTTP/1.0. The server runs in a window or
headless, and a systemd template unit (kelvane@.service) runs packaged
servers as the kelvane system user.
.
kelvane-pack builds such a package from a folder, and lists, verifies,
extracts and strips packages.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KELVANE_DIST_DIR}/debian/postinst ${KELVANE_DIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
