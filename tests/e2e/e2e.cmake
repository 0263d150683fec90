# End-to-end tests through the real mount: quenlode, moorgate, moorsites and
# Apache mod_dav on loopback, driven by ordinary programs. Each test class
# brings up a system of its own, so the classes may run side by side.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  foreach(group FileOperations Folders LargeFiles Refresh Connecting Faults DataFaults
                NewFileRequests RandomOperations HttpListing HttpListingPython HttpListingNginx HttpListingLighttpd
                SftpFiles SftpFaults SftpRandomOperations)
    add_test(NAME e2e.${group}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/e2e_test.py
                     ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${group})
    set_tests_properties(e2e.${group} PROPERTIES
      LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 400)
  endforeach()
endif()
