# End-to-end tests of the shell tools (moorshell, moorquick) on an Apache drive.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites AND TARGET moorshell AND TARGET moorquick)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME e2e.ShellTools
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/shell_e2e_test.py
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ShellTools)
  set_tests_properties(e2e.ShellTools PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 400)
  add_test(NAME e2e.ServerCopies
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/shell_e2e_test.py
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ServerCopies)
  set_tests_properties(e2e.ServerCopies PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 400)
endif()

