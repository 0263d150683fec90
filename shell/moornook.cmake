# moornook: the offline folder commands and their file-manager actions.
add_executable(moornook ${CMAKE_CURRENT_LIST_DIR}/moornook_main.cpp)
target_link_libraries(moornook PRIVATE hvm_shell)

hvm_add_test(moornook_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/moornook_test.cpp
  LIBS hvm_shell)
