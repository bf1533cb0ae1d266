# Install layout and the Linux .deb (CPack). scripts/package builds the
# packages; the Windows .zip is put together there from the cross build.
include(GNUInstallDirs)

install(TARGETS CmdTavixEMV RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/demo/CmdTavixEMV.ini
              ${PROJECT_SOURCE_DIR}/docs/operator-guide.txt
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/cmdtavixemv)

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME cmdtavixemv)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "Tavix production test <production-test@tavix.invalid>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "End-of-line test tool for the Tavix USB smart-card reader")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Console tool for the production line: reports the plugged-in reader's USB\n\
identity and tests card after card through it with the script in\n\
CmdTavixEMV.ini (PASS or FAILED, with a log). A commented sample\n\
configuration and the operator guide are in /usr/share/doc/cmdtavixemv.")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_STRIP_FILES ON)
  # The libraries the binary links (libpcsclite1 among them) come from
  # dpkg-shlibdeps; the card service daemon is needed at run time.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "pcscd")
  include(CPack)
endif()
