# Program settings (proxy, start at login) and the updater: shared by both
# front ends, so they live outside the Qt target.
add_library(hvm_settings STATIC
  ${CMAKE_CURRENT_LIST_DIR}/program_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/updater.cpp)
target_include_directories(hvm_settings PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_settings PUBLIC hvm_sites hvm_webdav hvm_platform moorlib
                      PRIVATE PkgConfig::CURL PkgConfig::LIBXML2 OpenSSL::Crypto)
target_link_libraries(moorgate PRIVATE hvm_settings)

hvm_add_test(settings_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/settings_program_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/app_test_driver.cpp
  LIBS hvm_settings hvm_app)

# Starts an HTTPS server on loopback (tests/servers/https_files.sh).
hvm_add_test(updater_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/updater_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/app_test_driver.cpp
  LIBS hvm_settings hvm_app
  LABELS integration)
