# The installed layout and the Debian package.
#
#   bin/quellbox                      set-user-id root unless QUELLBOX_INSTALL_SETUID is OFF
#   libexec/quellbox/                 the firewall and routing-table tools (tools/CMakeLists.txt)
#   lib/systemd/system/               the headless mode's unit
#   share/doc/quellbox/               README and help
#   share/applications, share/icons   the desktop entry and icon, when the GUI ships them
#
# `cpack -G DEB` in a build tree configured with CMAKE_INSTALL_PREFIX=/usr builds the package.
include(GNUInstallDirs)

option(QUELLBOX_INSTALL_SETUID
       "Install quellbox set-user-id root: it drops to the real user at once and raises itself only to run the firewall command and open the packet queue"
       ON)

set(_quellbox_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(QUELLBOX_INSTALL_SETUID)
  list(APPEND _quellbox_mode SETUID)
endif()
install(TARGETS quellbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} PERMISSIONS ${_quellbox_mode})

set(_quellbox_resources ${PROJECT_SOURCE_DIR}/resources)
install(FILES ${_quellbox_resources}/quellbox-headless.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quellbox)
# Parts the desktop front end brings along, installed when they are there.
if(EXISTS ${_quellbox_resources}/quellbox.desktop)
  install(FILES ${_quellbox_resources}/quellbox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
foreach(_icon quellbox.svg quellbox.png)
  if(EXISTS ${_quellbox_resources}/${_icon})
    get_filename_component(_extension ${_icon} LAST_EXT)
    if(_extension STREQUAL ".svg")
      install(FILES ${_quellbox_resources}/${_icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    else()
      install(FILES ${_quellbox_resources}/${_icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
    endif()
  endif()
endforeach()
foreach(_help help QuellboxHelp)
  if(IS_DIRECTORY ${_quellbox_resources}/${_help})
    install(DIRECTORY ${_quellbox_resources}/${_help}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quellbox/help)
  endif()
endforeach()

# Debian package: shared-library dependencies from dpkg-shlibdeps, plus the programs run.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellbox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quellbox maintainers <quellbox@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "traffic shaper for a file-sharing server's uploads")
set(CPACK_PACKAGE_DESCRIPTION
    "Caps the upload bandwidth of chosen TCP ports through the kernel's packet queue (NFQUEUE),\nslows downloads by holding acknowledgements back, and shares the upload between the\nserver's clients by priority. Desktop window and headless mode.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iptables, net-tools")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
