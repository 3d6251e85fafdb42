# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the desktop integration and the man page, and lets CPack build a
# Debian package whose dependencies dpkg-shlibdeps derives from the binaries.

if(DEVSCOUT_BUILD_GUI)
  install(FILES ${PROJECT_SOURCE_DIR}/data/devscout.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/data/devscout.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# Debian ships man pages compressed, without a time stamp in the gzip header.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(DEVSCOUT_MAN_PAGE ${PROJECT_BINARY_DIR}/data/devscout-cli.1.gz)
add_custom_command(
  OUTPUT ${DEVSCOUT_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/data
  COMMAND ${GZIP_PROGRAM} -9nc ${PROJECT_SOURCE_DIR}/data/devscout-cli.1 > ${DEVSCOUT_MAN_PAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/data/devscout-cli.1
  VERBATIM)
add_custom_target(devscout-man-page ALL DEPENDS ${DEVSCOUT_MAN_PAGE})
install(FILES ${DEVSCOUT_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME devscout)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "devscout developers")
set(CPACK_PACKAGE_CONTACT "devscout developers <devscout@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "find embedded network devices, set them up and install firmware")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "devscout finds embedded network devices on the local IPv4 segments by UDP\n\
broadcast, lists them, gives them a new address and installs firmware on\n\
them. The package holds the window (devscout), the command line for\n\
scripts (devscout-cli) and a simulated device for trying both out\n\
(devscout-simdevice).")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian 12 ships Qt's X11 platform plugin inside libqt6gui6, which the
# derived dependencies already name.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
