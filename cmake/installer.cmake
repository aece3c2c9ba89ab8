# The Windows installer (NSIS), built with the programs when makensis is
# installed: build/windows/ZemCloudDisk-Setup-<version>.exe.
find_program(MAKENSIS makensis)
if(MAKENSIS)
  set(ZEM_INSTALLER ${CMAKE_BINARY_DIR}/ZemCloudDisk-Setup-${PROJECT_VERSION}.exe)
  add_custom_command(
    OUTPUT ${ZEM_INSTALLER}
    COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DBIN_DIR=${ZEM_BIN_DIR}
            -DICON=${PROJECT_SOURCE_DIR}/assets/icon.ico -DOUT=${ZEM_INSTALLER}
            ${PROJECT_SOURCE_DIR}/packaging/installer.nsi
    DEPENDS corvane keygate register populate ${PROJECT_SOURCE_DIR}/packaging/installer.nsi
            ${PROJECT_SOURCE_DIR}/assets/icon.ico
    COMMENT "Windows installer"
    VERBATIM)
  add_custom_target(zem_installer ALL DEPENDS ${ZEM_INSTALLER})
else()
  message(WARNING "makensis (Debian package nsis) not found: no Windows installer")
endif()

# Silent install and uninstall under Wine (a shell script run on the host).
if(MAKENSIS AND CMAKE_HOST_UNIX)
  add_test(NAME installer_wine_test
           COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check_installer.sh ${ZEM_INSTALLER}
                   ${PROJECT_VERSION})
  set_tests_properties(installer_wine_test PROPERTIES TIMEOUT 900)
endif()
