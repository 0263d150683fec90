# The shared connection table: the section, the user blocks and the log level.
add_library(hvm_shared_section STATIC ${CMAKE_CURRENT_LIST_DIR}/shared_section.cpp)
target_include_directories(hvm_shared_section PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_shared_section PUBLIC hvm_platform moorlib hvm_channel)

hvm_add_test(shared_section_test
  SOURCES ${CMAKE_SOURCE_DIR}/agent/app/tests/shared_section_block_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/session_section_test.cpp
  LIBS hvm_shared_section)
