# moorshell and moorquick: the drives' shell commands, server-side folder
# copy and delete, and the file-manager actions that call them.
add_library(hvm_shell STATIC
  ${CMAKE_CURRENT_LIST_DIR}/drive_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shell_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_manager_actions.cpp)
target_include_directories(hvm_shell PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_shell PUBLIC moorlib hvm_platform)

add_executable(moorshell ${CMAKE_CURRENT_LIST_DIR}/moorshell_main.cpp)
target_link_libraries(moorshell PRIVATE hvm_shell)
add_executable(moorquick ${CMAKE_CURRENT_LIST_DIR}/moorquick_main.cpp)
target_link_libraries(moorquick PRIVATE hvm_shell)

hvm_add_test(shell_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/drive_path_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/shell_commands_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/file_manager_actions_test.cpp
  LIBS hvm_shell)
