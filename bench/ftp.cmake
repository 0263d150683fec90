# The FTP rows of the end-to-end benchmark (Halvenmoor, raw curl and rclone
# mount against one vsftpd on loopback): `cmake --build <dir> --target e2e_ftp_bench`.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_target(e2e_ftp_bench
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/e2e_bench.py
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} --ftp
    DEPENDS quenlode moorgate moorsites
    USES_TERMINAL)
endif()

# The FTP client's own leg beside raw libcurl, against vsftpd on loopback.
if(TARGET hvm_ftp_test_support)
  add_executable(ftp_client_bench ${CMAKE_CURRENT_LIST_DIR}/ftp_client_bench.cpp)
  target_link_libraries(ftp_client_bench PRIVATE hvm_ftp_test_support)
  target_compile_definitions(ftp_client_bench PRIVATE HVM_SOURCE_DIR_PATH="${CMAKE_SOURCE_DIR}")
endif()
