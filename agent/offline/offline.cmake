# The offline cache (journal, list of changes, local tree), synchronisation
# and the offline folder client.
add_library(hvm_offline STATIC
  ${CMAKE_CURRENT_LIST_DIR}/record_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_tree.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offline_cache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/synchronizer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connection_sync_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offline_commands.cpp)
target_include_directories(hvm_offline PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_offline PUBLIC hvm_remote_client hvm_errtext hvm_service hvm_platform moorlib Threads::Threads)

set(HVM_OFFLINE_TESTS ${CMAKE_CURRENT_LIST_DIR}/tests)
hvm_add_test(offline_cache_test
  SOURCES ${HVM_OFFLINE_TESTS}/offline_cache_test.cpp
  LIBS hvm_offline)
hvm_add_test(offline_sync_test
  SOURCES ${HVM_OFFLINE_TESTS}/synchronizer_test.cpp
  LIBS hvm_offline)
hvm_add_test(offline_file_client_test
  SOURCES ${HVM_OFFLINE_TESTS}/file_client_test.cpp
  LIBS hvm_offline)

