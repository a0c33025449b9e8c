# Install rules for Linux and the Debian package (cpack -G DEB makes vennick_<version>_amd64.deb):
# the program, its menu entry and icons, its manual page, and the files Debian wants in its
# documentation folder. Configured with CMAKE_INSTALL_PREFIX=/usr for the package.
include(GNUInstallDirs)

set(VENNICK_MAINTAINER "The Vennick developers <vennick@example.org>"
    CACHE STRING "The Debian package's maintainer")
set(vennick_packaging ${CMAKE_SOURCE_DIR}/packaging/linux)
set(vennick_docdir ${CMAKE_INSTALL_DATADIR}/doc/vennick)  # named after the package

install(TARGETS Vennick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${vennick_packaging}/vennick.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/vennick.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN LISTS VENNICK_ICON_SIZES)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/icons/vennick-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME vennick.png)
endforeach()

# Debian keeps manual pages and changelogs compressed, without a time stamp (gzip -n).
set(vennick_generated ${CMAKE_BINARY_DIR}/packaging)
configure_file(${vennick_packaging}/Vennick.1 ${vennick_generated}/Vennick.1 @ONLY)
configure_file(${vennick_packaging}/changelog.in ${vennick_generated}/changelog @ONLY)
add_custom_command(
  OUTPUT ${vennick_generated}/Vennick.1.gz ${vennick_generated}/changelog.gz
  COMMAND gzip -9nkf Vennick.1 changelog
  DEPENDS ${vennick_generated}/Vennick.1 ${vennick_generated}/changelog
  WORKING_DIRECTORY ${vennick_generated}
  VERBATIM)
add_custom_target(vennick_packaging_docs ALL
                  DEPENDS ${vennick_generated}/Vennick.1.gz ${vennick_generated}/changelog.gz)
install(FILES ${vennick_generated}/Vennick.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${vennick_generated}/changelog.gz ${vennick_packaging}/copyright
        DESTINATION ${vennick_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vennick)
set(CPACK_PACKAGE_VENDOR Vennick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VENNICK_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port line logger for measuring instruments")
set(CPACK_PACKAGE_DESCRIPTION "\
Vennick listens on one serial port (RS-232C) for short text lines from a
measuring instrument or reader, shows them in a small always-on-top window and
writes them in batches to time-named text files in a log directory. Lines not
yet written survive a crash in a journal. The interface is in Japanese.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # vennick_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Debian's Qt 6 packages, found by dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic")  # the Japanese texts
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
