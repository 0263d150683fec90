# The request service: file entries, local copies, the request loop and its operations.
add_library(hvm_service STATIC
  ${CMAKE_CURRENT_LIST_DIR}/file_time.cpp
  ${CMAKE_CURRENT_LIST_DIR}/path_order.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entry_cache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/open_handle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pending_answer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/path_forms.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_copy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entry_report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/name_pattern.cpp
  ${CMAKE_CURRENT_LIST_DIR}/operation_steps.cpp
  ${CMAKE_CURRENT_LIST_DIR}/create_operation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/close_cleanup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/read_operation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/write_operation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/content_push.cpp
  ${CMAKE_CURRENT_LIST_DIR}/copy_range_operation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/query_information.cpp
  ${CMAKE_CURRENT_LIST_DIR}/set_information.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rename_operation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/directory_query.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_control.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_loop.cpp)
target_include_directories(hvm_service PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_service PUBLIC hvm_platform moorlib Threads::Threads)
if(TARGET hvm_channel)
  target_link_libraries(hvm_service PUBLIC hvm_channel)
endif()

if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/tests/service_tests.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/tests/service_tests.cmake)
endif()
