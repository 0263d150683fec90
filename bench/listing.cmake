# `ls -l` of wide folders, each listed cold, beside curl's PROPFIND of the
# same folder: `cmake --build <dir> --target listing_bench`.
if(TARGET quenlode AND TARGET moorgate AND TARGET moorsites)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_target(listing_bench
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/listing_bench.py ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}
    DEPENDS quenlode moorgate moorsites
    USES_TERMINAL)
endif()
