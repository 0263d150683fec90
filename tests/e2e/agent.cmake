# The whole system end to end: quenlode, moorgate and Apache on loopback.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites)
  add_test(NAME agent_e2e COMMAND ${CMAKE_CURRENT_LIST_DIR}/agent_e2e.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(agent_e2e PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
# A driver started as root and an agent of an ordinary user (needs root).
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites)
  add_test(NAME shared_daemon_e2e
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/shared_daemon_e2e.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(shared_daemon_e2e PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
