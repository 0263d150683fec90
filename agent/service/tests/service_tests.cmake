# Unit tests of the request service: the real loop behind a scripted driver.
hvm_add_test(service_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/fake_client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scripted_driver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/loop_fixture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/request_loop_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/copy_range_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/piece_size_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shared_area_loop_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/entry_cache_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/site_record_layout_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/client_factory_test.cpp
  LIBS hvm_remote_client hvm_service)
