# The Linux package: install rules for the client (not zemd) and CPack's DEB
# generator. `scripts/build linux` runs cpack; the .deb lands in build/linux/.

# The icon in the hicolor theme, made from assets/icon.ico at build time.
set(ZEM_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
add_custom_command(
  OUTPUT ${ZEM_ICON_DIR}/stamp
  COMMAND ${CMAKE_COMMAND} -DICO=${PROJECT_SOURCE_DIR}/assets/icon.ico -DOUT=${ZEM_ICON_DIR}
          -DNAME=zem-cloud-disk -P ${PROJECT_SOURCE_DIR}/cmake/write_icons.cmake
  COMMAND ${CMAKE_COMMAND} -E touch ${ZEM_ICON_DIR}/stamp
  DEPENDS ${PROJECT_SOURCE_DIR}/assets/icon.ico ${PROJECT_SOURCE_DIR}/cmake/write_icons.cmake
  COMMENT "Icon PNGs from icon.ico"
  VERBATIM)
add_custom_target(zem_icons ALL DEPENDS ${ZEM_ICON_DIR}/stamp)

# The user unit as installed: the agent lives in /usr/bin.
file(READ ${PROJECT_SOURCE_DIR}/scripts/systemd/corvane.service unit)
string(REGEX REPLACE "^(#[^\n]*\n)+" "# systemd user unit for the ZEM云盘 sync agent.\n# Enable: systemctl --user enable --now corvane\n" unit "${unit}")
string(REPLACE "%h/.local/bin/corvane" "/usr/bin/corvane" unit "${unit}")
file(WRITE ${CMAKE_BINARY_DIR}/package/corvane.service "${unit}")

install(TARGETS corvane keygate register populate RUNTIME DESTINATION bin)
install(FILES ${CMAKE_BINARY_DIR}/package/corvane.service DESTINATION lib/systemd/user)
install(FILES ${PROJECT_SOURCE_DIR}/assets/linux/zem-keygate.desktop DESTINATION share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/assets/linux/zem-corvane-autostart.desktop
        DESTINATION /etc/xdg/autostart RENAME zem-corvane.desktop)
install(DIRECTORY ${ZEM_ICON_DIR}/hicolor DESTINATION share/icons)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zem-cloud-disk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "ZEM")
set(CPACK_PACKAGE_CONTACT "ZEM IT <it@zem.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZEM云盘 desktop client: the cloud disk as a folder")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fuse3, libfuse3-3 | libfuse3-4, libcurl4 | libcurl4t64, libssl3 | libssl3t64, libc6, libstdc++6")
set(CPACK_STRIP_FILES ON)
include(CPack)
