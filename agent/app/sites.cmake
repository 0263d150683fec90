# Sites: the site table in the registry, the site manager's operations, the
# password cipher, drive letters, and the command-line site manager moorsites.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

add_library(hvm_sites STATIC
  ${CMAKE_CURRENT_LIST_DIR}/sites.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sites_values.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sites_first_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/site_manager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/site_manager_cache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/password_cipher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/drive_letters.cpp)
target_include_directories(hvm_sites PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_sites PUBLIC hvm_platform moorlib hvm_shared_section hvm_errtext
                      PRIVATE OpenSSL::Crypto)

add_executable(moorsites ${CMAKE_CURRENT_LIST_DIR}/moorsites_main.cpp)
target_link_libraries(moorsites PRIVATE hvm_sites)

hvm_add_test(sites_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/sites_store_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/sites_manager_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/sites_merge_test.cpp
  LIBS hvm_sites)

# Runs the built program on a scratch HOME.
hvm_add_test(sites_moorsites_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/sites_moorsites_test.cpp)
add_dependencies(sites_moorsites_test moorsites)
