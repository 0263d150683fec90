# Error texts, string resources and the choice of language library.
add_library(hvm_errtext STATIC
  ${CMAKE_CURRENT_LIST_DIR}/error_texts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/string_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/language.cpp)
target_include_directories(hvm_errtext PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_errtext PUBLIC hvm_platform ${CMAKE_DL_LIBS})

hvm_add_test(error_texts_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/error_texts_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/language_test.cpp
  LIBS hvm_errtext)
# The tests load the language libraries from the build's lib folder.
add_dependencies(error_texts_test moorlangde moorlangfr moorlangit moorlangnl moorlanghu)
