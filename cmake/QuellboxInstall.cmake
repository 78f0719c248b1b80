# The installed layout and the Debian package.
#
#   bin/quellbox                      the window: mode 0755, no privilege of any kind
#   bin/quellbox-engine               the engine: mode 0750, group quellbox, file capabilities
#                                     cap_net_admin,cap_net_raw+ep (who may shape traffic is
#                                     who is in that group); never set-user-id
#   libexec/quellbox/quellbox-engine  the same program without capabilities (0755), for the
#                                     simulated network of users outside the group
#   libexec/quellbox/                 the firewall and routing-table tools (tools/CMakeLists.txt)
#   lib/systemd/system/               the headless mode's unit
#   lib/tmpfiles.d/quellbox.conf      lets the group take iptables-legacy's lock
#   share/doc/quellbox/               README and help
#   share/applications, share/icons   the desktop entry and icon, when the GUI ships them
#
# `cpack -G DEB` in a build tree configured with CMAKE_INSTALL_PREFIX=/usr builds the package.
include(GNUInstallDirs)

set(_quellbox_group_only OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(TARGETS quellbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS quellbox-engine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        PERMISSIONS ${_quellbox_group_only})
install(TARGETS quellbox-engine RUNTIME DESTINATION libexec/quellbox)
install(FILES ${PROJECT_SOURCE_DIR}/resources/quellbox-tmpfiles.conf DESTINATION lib/tmpfiles.d
        RENAME quellbox.conf)

# The rights, once the files are in place: the group quellbox (made when missing), and the
# capabilities of the engine, which setcap gives last (a change of owner or group takes file
# capabilities away). Only an install by root onto the system does this; a staged install
# (DESTDIR, cpack) leaves it to the package's postinst, since packages do not keep file
# capabilities, and an install by another user gets an engine without capabilities, which
# uses the simulated network.
set(_quellbox_rights [=[
  set(_quellbox_engine "${CMAKE_INSTALL_PREFIX}/@CMAKE_INSTALL_BINDIR@/quellbox-engine")
  set(_quellbox_ipfw "${CMAKE_INSTALL_PREFIX}/libexec/quellbox/quellbox-ipfw")
  execute_process(COMMAND id -u OUTPUT_VARIABLE _quellbox_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT "$ENV{DESTDIR}" STREQUAL "" OR CMAKE_INSTALL_PREFIX MATCHES "/_CPack_Packages/")
    message(STATUS "Staged install: the package gives quellbox-engine its group and capabilities")
  elseif(NOT _quellbox_uid STREQUAL "0")
    message(STATUS "Not installed by root: quellbox-engine has no capabilities (simulated network only)")
  else()
    execute_process(COMMAND getent group quellbox OUTPUT_QUIET RESULT_VARIABLE _quellbox_nogroup)
    if(_quellbox_nogroup)
      execute_process(COMMAND groupadd --system quellbox RESULT_VARIABLE _quellbox_failed)
      if(_quellbox_failed)
        message(FATAL_ERROR "cannot create the group quellbox (groupadd --system quellbox)")
      endif()
    endif()
    find_program(_quellbox_setcap setcap PATHS /usr/sbin /sbin)
    if(NOT _quellbox_setcap)
      message(FATAL_ERROR "setcap is missing (Debian: libcap2-bin): quellbox-engine needs it")
    endif()
    foreach(_quellbox_step
        "chgrp;quellbox;${_quellbox_engine};${_quellbox_ipfw}"
        "chmod;0750;${_quellbox_engine};${_quellbox_ipfw}"
        "${_quellbox_setcap};cap_net_admin,cap_net_raw+ep;${_quellbox_engine}")
      execute_process(COMMAND ${_quellbox_step} RESULT_VARIABLE _quellbox_failed)
      if(_quellbox_failed)
        message(FATAL_ERROR "failed: ${_quellbox_step}")
      endif()
    endforeach()
    message(STATUS "quellbox-engine: group quellbox, cap_net_admin,cap_net_raw+ep; add users with: adduser USER quellbox")
  endif()
]=])
string(CONFIGURE "${_quellbox_rights}" _quellbox_rights @ONLY)
# Run after the tools are in place too (tools/ is added before this file is included).
install(CODE "${_quellbox_rights}")

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
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iptables, net-tools, adduser, libcap2-bin")
# postinst: the system group and user quellbox, the engine's group, mode and capabilities;
# postrm: on purge, the user and the group again.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/cmake/debian/postinst;${PROJECT_SOURCE_DIR}/cmake/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
