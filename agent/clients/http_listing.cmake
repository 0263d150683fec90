# The plain HTTP listing client: a WebDAV client that lists folders from the
# server's HTML index pages and keeps the drive read-only.
add_library(hvm_httplist STATIC
  ${CMAKE_CURRENT_LIST_DIR}/http_index_page.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_listing_client.cpp)
target_include_directories(hvm_httplist PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_httplist PUBLIC hvm_webdav hvm_urlcode PkgConfig::LIBXML2)

hvm_add_test(http_index_page_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/http_index_page_test.cpp
  LIBS hvm_httplist)
target_compile_definitions(http_index_page_test PRIVATE
  HVM_INDEX_PAGES_DIR="${CMAKE_CURRENT_LIST_DIR}/tests/index_pages")
