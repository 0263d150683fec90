# URL coding of server paths, shared by the WebDAV and HTTP listing clients.
add_library(hvm_urlcode STATIC ${CMAKE_CURRENT_LIST_DIR}/url_coding.cpp)
target_include_directories(hvm_urlcode PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_urlcode PUBLIC hvm_platform moorlib)

hvm_add_test(url_coding_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/url_coding_test.cpp
  LIBS hvm_urlcode)
