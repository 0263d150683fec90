# The SFTP client on libssh, which the agent loads at run time: only its
# headers are needed to build.
find_path(HVM_LIBSSH_INCLUDE libssh/sftp.h)
if(HVM_LIBSSH_INCLUDE)
  add_library(hvm_sftp STATIC
    ${CMAKE_CURRENT_LIST_DIR}/sftp_address.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sftp_client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sftp_host_keys.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sftp_library.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sftp_listing.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sftp_names.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sftp_read_stream.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sftp_transfers.cpp)
  target_include_directories(hvm_sftp PUBLIC ${CMAKE_SOURCE_DIR})
  target_include_directories(hvm_sftp SYSTEM PUBLIC ${HVM_LIBSSH_INCLUDE})
  # Error texts and the language library live with the application frame,
  # configured after this folder.
  target_link_libraries(hvm_sftp PUBLIC hvm_remote_client $<TARGET_NAME_IF_EXISTS:hvm_errtext> moorlib
    hvm_platform ${CMAKE_DL_LIBS})

  hvm_add_test(sftp_unit_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/sftp_address_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/sftp_known_hosts_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/sftp_library_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/sftp_names_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/sftp_read_stream_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/sftp_write_limits_test.cpp
    LIBS hvm_sftp)
endif()
