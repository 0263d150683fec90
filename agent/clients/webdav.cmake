# The WebDAV client: transport over libcurl, multistatus with libxml2, listing,
# range reads, uploads and locks.
file(GLOB HVM_WEBDAV_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/webdav_*.cpp)
add_library(hvm_webdav STATIC ${HVM_WEBDAV_SOURCES})
# Runs an automatic proxy configuration script for the agent, in an
# environment of its own.
add_executable(moorproxy ${CMAKE_CURRENT_LIST_DIR}/moorproxy_main.cpp)
target_link_libraries(moorproxy PRIVATE hvm_webdav)
target_include_directories(hvm_webdav PUBLIC ${CMAKE_SOURCE_DIR})
# Error texts live with the application frame, configured after this folder;
# the generator expression resolves once every target is known.
target_link_libraries(hvm_webdav PUBLIC PkgConfig::CURL PkgConfig::LIBXML2 hvm_urlcode
  hvm_remote_client $<TARGET_NAME_IF_EXISTS:hvm_errtext> moorlib hvm_platform ${CMAKE_DL_LIBS})
# OpenSSL (libcurl's TLS library) only to learn that a server asks for a client certificate.
pkg_check_modules(HVM_OPENSSL IMPORTED_TARGET openssl)
if(TARGET PkgConfig::HVM_OPENSSL)
  target_link_libraries(hvm_webdav PRIVATE PkgConfig::HVM_OPENSSL)
  target_compile_definitions(hvm_webdav PRIVATE HVM_HAVE_OPENSSL)
endif()

set(HVM_WEBDAV_TESTS ${CMAKE_CURRENT_LIST_DIR}/tests)
hvm_add_test(webdav_unit_test
  SOURCES ${HVM_WEBDAV_TESTS}/webdav_auto_proxy_test.cpp
          ${HVM_WEBDAV_TESTS}/webdav_dates_test.cpp
          ${HVM_WEBDAV_TESTS}/webdav_multistatus_test.cpp
          ${HVM_WEBDAV_TESTS}/webdav_transport_test.cpp
  LIBS hvm_webdav)
