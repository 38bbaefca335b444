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
install(FILES ${PROJECT_SOURCE_DIR}/packaging/tavlo-companion.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tavlo-companion)

# The man page and the changelog ship gzipped (-n: no name or time stamp, so
# the same sources give the same package).
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog TAVLO_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT TAVLO_CHANGELOG_TOP MATCHES "^tavlo-companion \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${TAVLO_CHANGELOG_TOP}': "
                      "add an entry for version ${PROJECT_VERSION}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/tavlo-companion.1.in
               ${PROJECT_BINARY_DIR}/packaging/tavlo-companion.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog
               ${PROJECT_BINARY_DIR}/packaging/changelog COPYONLY)
find_program(TAVLO_GZIP gzip REQUIRED)
set(TAVLO_GZIPPED)
foreach(name tavlo-companion.1 changelog)
  set(plain ${PROJECT_BINARY_DIR}/packaging/${name})
  add_custom_command(OUTPUT ${plain}.gz
                     COMMAND ${TAVLO_GZIP} -9n -c ${plain} > ${plain}.gz
                     DEPENDS ${plain}
                     COMMENT "Compressing ${name}")
  list(APPEND TAVLO_GZIPPED ${plain}.gz)
endforeach()
add_custom_target(tavlo_docs ALL DEPENDS ${TAVLO_GZIPPED})
install(FILES ${PROJECT_BINARY_DIR}/packaging/tavlo-companion.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# A native package (no Debian revision in the version) keeps its changelog
# under the plain name.
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz
              ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavlo-companion)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tavlo <support@tavlo.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop companion of the Tavlo phone app")
# Lines of the long description stay under 80 columns (CPack indents them).
set(CPACK_PACKAGE_DESCRIPTION "Serves the Tavlo phone app on TCP port 18765 and advertises it by DNS-SD,
finds local language models (Ollama, LM Studio, the claude and codex tools)
and turns the phone's requests into packs. Shows a tray icon with a panel on
desktops that have a system tray; a systemd user unit runs it headless.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)  # /etc/xdg/autostart lands in the package, not on the build machine
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends from the linked libraries
# claude and codex run sealed by bwrap; shlibdeps adds the libraries to this.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bubblewrap")
# The autostart entry in /etc is the administrator's to edit or disable.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# qt6-wayland: the tray on a Wayland session. A recommendation, not a
# dependency: the systemd unit and X11 desktops do without it (and without the
# Qt Quick libraries it brings); apt installs recommendations by default, and
# `doctor` and the log name it when a Wayland session lacks it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, xdg-utils, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "tailscale, ollama")
include(CPack)
