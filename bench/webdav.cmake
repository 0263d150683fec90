# WebDAV client throughput against Apache on loopback, beside raw libcurl.
if(TARGET hvm_webdav_test_support)
  add_executable(webdav_bench ${CMAKE_CURRENT_LIST_DIR}/webdav_bench.cpp)
  target_link_libraries(webdav_bench PRIVATE hvm_webdav_test_support)
  target_compile_definitions(webdav_bench PRIVATE HVM_SOURCE_DIR_PATH="${CMAKE_SOURCE_DIR}")
endif()
