# The agent's frame: start-up, the instance socket, connecting sites, the
# shell notification queue, and the program moorgate that puts it together.
add_library(hvm_app STATIC
  ${CMAKE_CURRENT_LIST_DIR}/instance_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/startup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/startup_main_loop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connect_site.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shell_notify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal_password.cpp
  ${CMAKE_CURRENT_LIST_DIR}/upload_notice.cpp)
target_include_directories(hvm_app PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_app PUBLIC hvm_offline hvm_registration hvm_sites hvm_shared_section hvm_errtext
  hvm_service hvm_platform moorlib Threads::Threads)

add_executable(moorgate ${CMAKE_CURRENT_LIST_DIR}/moorgate_main.cpp)
target_link_libraries(moorgate PRIVATE hvm_app hvm_webdav $<TARGET_NAME_IF_EXISTS:hvm_ftp>)
target_link_libraries(moorgate PRIVATE hvm_httplist)
if(TARGET hvm_sftp)
  target_link_libraries(moorgate PRIVATE hvm_sftp)
  target_compile_definitions(moorgate PRIVATE HVM_HAVE_SFTP)
endif()

set(HVM_APP_TESTS ${CMAKE_CURRENT_LIST_DIR}/tests)
foreach(test instance_channel startup registration connect_site housekeeping upload_notice)
  if(EXISTS ${HVM_APP_TESTS}/app_${test}_test.cpp)
    hvm_add_test(app_${test}_test
      SOURCES ${HVM_APP_TESTS}/app_${test}_test.cpp ${HVM_APP_TESTS}/app_test_driver.cpp
      LIBS hvm_app)
  endif()
endforeach()
# The notice texts are checked in every language library.
add_dependencies(app_upload_notice_test moorlangde moorlangfr moorlangit moorlangnl moorlanghu)
