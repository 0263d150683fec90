# The WebDAV client against real servers (Apache, lighttpd) and the fixture
# server, all started on loopback by the tests themselves.
if(TARGET hvm_webdav)
  add_library(hvm_webdav_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/webdav_test_support.cpp)
  target_link_libraries(hvm_webdav_test_support PUBLIC hvm_webdav hvm_service GTest::gtest)
  target_compile_definitions(hvm_webdav_test_support PRIVATE HVM_SOURCE_DIR_PATH="${CMAKE_SOURCE_DIR}")
  hvm_add_test(webdav_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/webdav_apache_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/webdav_fixture_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/webdav_lighttpd_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/webdav_read_ahead_test.cpp
    LIBS hvm_webdav_test_support
    LABELS integration)
  if(TARGET hvm_app)
    hvm_add_test(webdav_relisting_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/webdav_relisting_test.cpp
      LIBS hvm_webdav_test_support hvm_app
      LABELS integration)
  endif()
endif()
