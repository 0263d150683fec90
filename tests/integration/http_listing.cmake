# The plain HTTP listing client against Apache, nginx, lighttpd and Python's
# http.server, each serving index pages on loopback.
# hvm_webdav_test_support comes from webdav.cmake, read after this file.
if(TARGET hvm_httplist)
  hvm_add_test(http_listing_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_listing_test.cpp
    LIBS hvm_httplist hvm_webdav_test_support
    LABELS integration)
endif()
