# cmake/packaging_windows.cmake -- the Windows zip: `cpack -G ZIP` in the windows build folder
# writes kelvane-<version>-windows-x64.zip with kelvane.exe, kelvane-pack.exe, README.txt and
# LICENSE.txt at its top, the way a technician copies them.
set(CMAKE_INSTALL_BINDIR .)

install(FILES ${PROJECT_SOURCE_DIR}/dist/windows/README.txt DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "Varnek Systems")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kelvane-${PROJECT_VERSION}-windows-x64)
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
