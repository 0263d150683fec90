# moornook: the offline folder commands and the file managers' actions.
# Included from agent/offline/offline.cmake, and from shell/CMakeLists.txt
# where that includes every shell .cmake file; the first inclusion wins.
if(TARGET moornook)
  return()
endif()
add_library(hvm_moornook STATIC
  ${CMAKE_CURRENT_LIST_DIR}/moornook_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/moornook_actions.cpp)
target_include_directories(hvm_moornook PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_moornook PUBLIC hvm_platform moorlib)
if(TARGET hvm_channel)
  target_link_libraries(hvm_moornook PUBLIC hvm_channel)
endif()

add_executable(moornook ${CMAKE_CURRENT_LIST_DIR}/moornook_main.cpp)
target_link_libraries(moornook PRIVATE hvm_moornook)

hvm_add_test(moornook_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/moornook_test.cpp
  LIBS hvm_moornook)
