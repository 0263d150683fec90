# The Debian package: `cpack -G DEB` in a build folder whose targets are built.
# Programs in /usr/bin, libraries (moorlib, the language libraries) in
# /usr/lib beside them (the programs find them as ../lib), the systemd units,
# the desktop entry, the Dolphin and Nemo actions; the post-install step runs
# moorsetup.
include(GNUInstallDirs)
foreach(program quenlode moorgate moorsites moorproxy moorshell moorquick moornook moorsetup)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION bin)
  endif()
endforeach()
foreach(library moorlib moorlangde moorlangfr moorlangit moorlangnl moorlanghu)
  if(TARGET ${library})
    install(TARGETS ${library} LIBRARY DESTINATION lib)
  endif()
endforeach()

if(TARGET moorsetup AND TARGET moorshell AND TARGET moorquick)
  # Units and actions are made by the programs themselves, so the package
  # ships exactly what moorsetup and --install-actions write.
  set(HVM_STAGE ${CMAKE_BINARY_DIR}/package-stage)
  add_custom_command(
    OUTPUT ${HVM_STAGE}/etc/systemd/system/quenlode.service ${HVM_STAGE}/etc/systemd/user/moorgate.service
           ${HVM_STAGE}/share/kio/servicemenus/halvenmoor-moorshell.desktop
           ${HVM_STAGE}/share/kio/servicemenus/halvenmoor-moorquick.desktop
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${HVM_STAGE}
    COMMAND $<TARGET_FILE:moorsetup> --units-only --root ${HVM_STAGE} --bindir /usr/bin
    COMMAND ${CMAKE_COMMAND} -E env XDG_DATA_HOME=${HVM_STAGE}/share XDG_CONFIG_HOME=${HVM_STAGE}/config
            $<TARGET_FILE:moorshell> --install-actions /usr/bin
    COMMAND ${CMAKE_COMMAND} -E env XDG_DATA_HOME=${HVM_STAGE}/share XDG_CONFIG_HOME=${HVM_STAGE}/config
            $<TARGET_FILE:moorquick> --install-actions /usr/bin
    DEPENDS moorsetup moorshell moorquick
    COMMENT "Unit files and file-manager actions for the package")
  add_custom_target(package_files ALL DEPENDS ${HVM_STAGE}/etc/systemd/system/quenlode.service)
  install(FILES ${HVM_STAGE}/etc/systemd/system/quenlode.service DESTINATION lib/systemd/system)
  install(FILES ${HVM_STAGE}/etc/systemd/user/moorgate.service DESTINATION lib/systemd/user)
  install(DIRECTORY ${HVM_STAGE}/share/kio ${HVM_STAGE}/share/nemo DESTINATION share)
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/package/halvenmoor.desktop DESTINATION share/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/package/halvenmoor.svg DESTINATION share/icons/hicolor/scalable/apps)

set(CPACK_PACKAGE_NAME halvenmoor)
set(CPACK_PACKAGE_VENDOR "Halvenmoor")
set(CPACK_PACKAGE_CONTACT "Halvenmoor developers <halvenmoor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Remote file stores (WebDAV, FTP, SFTP) as local drives")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3, libfuse3-3, libcurl4, libxml2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libssh-4, libproxy1v5")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/package/postinst ${CMAKE_CURRENT_LIST_DIR}/package/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
