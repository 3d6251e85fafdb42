# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the desktop integration, the man pages and the package's documents,
# and lets CPack build a Debian package whose library dependencies
# dpkg-shlibdeps derives from the binaries.

# The changelog's latest entry and the AppStream releases name the package's
# version, so that they cannot fall behind it.
set(DEVSCOUT_METAINFO org.devscout.devscout.metainfo.xml)
file(STRINGS ${PROJECT_SOURCE_DIR}/data/changelog DEVSCOUT_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT DEVSCOUT_CHANGELOG_TOP MATCHES "^devscout \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "data/changelog has no entry for version ${PROJECT_VERSION}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/data/${DEVSCOUT_METAINFO} DEVSCOUT_RELEASE
     REGEX "<release version=\"${PROJECT_VERSION}\"")
if(NOT DEVSCOUT_RELEASE)
  message(FATAL_ERROR "data/${DEVSCOUT_METAINFO} has no release ${PROJECT_VERSION}")
endif()

# Debian ships man pages and changelogs compressed, without a time stamp in the
# gzip header.
find_program(GZIP_PROGRAM gzip REQUIRED)
function(devscout_install_gzipped name destination)
  set(out ${PROJECT_BINARY_DIR}/data/${name}.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/data
    COMMAND ${GZIP_PROGRAM} -9nc ${PROJECT_SOURCE_DIR}/data/${name} > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/data/${name}
    VERBATIM)
  add_custom_target(devscout-gzip-${name} ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${destination})
endfunction()

set(DEVSCOUT_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/devscout)
devscout_install_gzipped(devscout-cli.1 ${CMAKE_INSTALL_MANDIR}/man1)
devscout_install_gzipped(devscout-simdevice.1 ${CMAKE_INSTALL_MANDIR}/man1)
devscout_install_gzipped(changelog ${DEVSCOUT_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${DEVSCOUT_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME devscout)

if(DEVSCOUT_BUILD_GUI)
  devscout_install_gzipped(devscout.1 ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/data/devscout.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/data/devscout.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${PROJECT_SOURCE_DIR}/data/${DEVSCOUT_METAINFO}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME devscout)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "devscout developers")
set(CPACK_PACKAGE_CONTACT "devscout developers <devscout-maintainers@lists.devscout.org>")
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
# Qt loads its SQLite driver as a plugin, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS libqt6sql6-sqlite)
# The registry of MAC prefixes that the vendor names come from.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ieee-data)
# devscout-cli doctor reads the packet filter's rules with nft when it is
# there, and says it could not when it is not.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS nftables)
# Debian 12 ships Qt's X11 platform plugin inside libqt6gui6, which the
# derived dependencies already name.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The same modes whatever the builder's umask.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
