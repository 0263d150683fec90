# hvm_channel: the channel records (header only) and the trace name tables.
add_library(hvm_channel STATIC ${CMAKE_CURRENT_SOURCE_DIR}/ntstatus.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/site_passwords.cpp)
target_include_directories(hvm_channel PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_channel PUBLIC hvm_platform)

file(GLOB HVM_CHANNEL_TEST_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/tests/channel/*.cpp)
if(HVM_CHANNEL_TEST_SOURCES)
  hvm_add_test(channel_tests SOURCES ${HVM_CHANNEL_TEST_SOURCES} LIBS hvm_channel)
endif()
