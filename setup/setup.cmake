# moorsetup: installs the driver as a systemd service and the agent as a user unit.
if(TARGET hvm_app AND TARGET hvm_shell)
  add_library(hvm_setup STATIC ${CMAKE_CURRENT_LIST_DIR}/setup_steps.cpp)
  target_include_directories(hvm_setup PUBLIC ${CMAKE_SOURCE_DIR})

  add_executable(moorsetup ${CMAKE_CURRENT_LIST_DIR}/moorsetup_main.cpp)
  target_link_libraries(moorsetup PRIVATE hvm_setup hvm_app hvm_shell PkgConfig::LIBXML2)

  hvm_add_test(setup_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/setup_steps_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/tests/moorsetup_test.cpp
    LIBS hvm_setup hvm_platform)
  add_dependencies(setup_test moorsetup)
endif()
