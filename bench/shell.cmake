# The shell tools beside the ordinary way: `cmake --build <dir> --target shell_bench`.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites AND TARGET moorquick)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_target(shell_bench
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/shell_bench.py ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
    DEPENDS quenlode moorgate moorsites moorquick
    USES_TERMINAL)
endif()
