# Install layout and the Debian package. The deb is built with the prefix /usr
# (`make deb`); `make install PREFIX=...` installs anywhere else.
if(NOT TAVLO_BUILD_APP OR TAVLO_BUILD_FUZZ)
  return()
endif()
include(GNUInstallDirs)

set(TAVLO_INSTALL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/tavlo-companion.service.in
               ${PROJECT_BINARY_DIR}/packaging/tavlo-companion.service @ONLY)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavlo-companion.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/tavlo-companion.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tavlo-companion.service
        DESTINATION lib/systemd/user)
# /etc/xdg/autostart for the /usr prefix, PREFIX/etc/xdg/autostart otherwise.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(TAVLO_AUTOSTART_DIR /etc/xdg/autostart)
else()
  set(TAVLO_AUTOSTART_DIR ${CMAKE_INSTALL_SYSCONFDIR}/xdg/autostart)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavlo-companion-autostart.desktop
        DESTINATION ${TAVLO_AUTOSTART_DIR} RENAME tavlo-companion.desktop)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavlo-companion)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tavlo <support@tavlo.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop companion of the Tavlo phone app")
set(CPACK_PACKAGE_DESCRIPTION "Serves the Tavlo phone app on TCP port 18765, advertises it by DNS-SD, \
finds local language models (Ollama, LM Studio, command-line tools) and turns requests into packs. \
Shows a tray icon with a panel on desktops that have a system tray.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)  # /etc/xdg/autostart lands in the package, not on the build machine
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends from the linked libraries
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tailscale, ollama")
include(CPack)
