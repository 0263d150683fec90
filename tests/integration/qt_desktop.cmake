# The desktop front end against Apache: a site added in the site manager is
# connected (its password asked at connect) and shows its state in the list.
if(TARGET hvm_qt)
  find_package(Qt6 QUIET COMPONENTS Widgets Test)  # imported targets are per folder
  hvm_add_test(qt_desktop_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/qt_desktop_test.cpp
            ${CMAKE_SOURCE_DIR}/agent/app/tests/app_test_driver.cpp
    LIBS hvm_qt Qt6::Test
    LABELS integration)
endif()
