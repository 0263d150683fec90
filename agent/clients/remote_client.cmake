# The protocol clients' interface and the choice of client.
add_library(hvm_remote_client STATIC
  ${CMAKE_CURRENT_LIST_DIR}/remote_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/client_factory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/listing_merge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/upload_backup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/streamed_upload.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_text.cpp)
target_include_directories(hvm_remote_client PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_remote_client PUBLIC hvm_service hvm_platform moorlib)
# The service calls clients through this interface (with the undefined-behaviour
# sanitizer also checks their types), so the two libraries need each other:
# CMake then names them twice on a link line.
target_link_libraries(hvm_service PUBLIC hvm_remote_client)
if(TARGET hvm_channel)
  target_link_libraries(hvm_remote_client PUBLIC hvm_channel)
endif()

hvm_add_test(streamed_upload_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/streamed_upload_test.cpp
  LIBS hvm_remote_client)
hvm_add_test(server_text_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/server_text_test.cpp
  LIBS hvm_remote_client)
hvm_add_test(upload_backup_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/upload_backup_test.cpp
  LIBS hvm_remote_client)
