# End-to-end tests of FTP sites through the real mount: quenlode, moorgate,
# moorsites and vsftpd on loopback.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  foreach(group FtpFiles FtpLargeFiles FtpRandomOperations FtpsExplicit FtpsImplicit FtpFaults)
    add_test(NAME e2e.${group}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/ftp_e2e_test.py
                     ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${group})
    set_tests_properties(e2e.${group} PROPERTIES
      LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 400)
  endforeach()
endif()
