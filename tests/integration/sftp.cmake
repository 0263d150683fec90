# The SFTP client against OpenSSH's sshd, started on loopback by the tests
# with a throw-away host key and a test account (needs root).
if(TARGET hvm_sftp)
  hvm_add_test(sftp_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sftp_openssh_test.cpp
    LIBS hvm_sftp hvm_service
    LABELS integration)
endif()
