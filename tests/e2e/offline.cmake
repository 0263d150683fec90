# End-to-end tests of the offline cache: moornook's commands on the drive,
# offline connect, synchronisation on connect (on WebDAV, FTP and SFTP), a killed
# synchronisation, seeded random operations on an offline folder.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites AND TARGET moornook)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  foreach(group OfflineRoundTrip FtpOfflineRoundTrip SftpOfflineRoundTrip OfflineKilledSync
                OfflineRandomOperations FtpOfflineRandomOperations SftpOfflineRandomOperations)
    add_test(NAME e2e.${group}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/offline_e2e_test.py
                     ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${group})
    set_tests_properties(e2e.${group} PROPERTIES
      LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 400)
  endforeach()
endif()
