# The offline cache beside raw curl (1,000 files down into the cache and
# synchronised back up): `cmake --build <dir> --target offline_bench`.
if(TARGET quenlode AND TARGET moorgate AND TARGET moornook)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_target(offline_bench
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/offline_bench.py
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
    DEPENDS quenlode moorgate moorsites moornook
    USES_TERMINAL)
endif()
