# The desktop front end on Qt 6 Widgets. Built only when Qt 6 is found; the
# agent then uses it when a display is there and stays headless otherwise.
# Three translation units, no moc: the windows connect lambdas only.
if(NOT HVM_WITH_QT)
  return()
endif()
find_package(Qt6 QUIET COMPONENTS Widgets Test)
if(NOT Qt6_FOUND)
  message(STATUS "Qt 6 not found: moorgate is built without the desktop front end")
  return()
endif()

add_library(hvm_qt STATIC
  ${CMAKE_CURRENT_LIST_DIR}/qt_front_end.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_main_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_dialogs.cpp)
target_include_directories(hvm_qt PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(hvm_qt PUBLIC hvm_app hvm_settings Qt6::Widgets)
# Tells whether the tray's notices go to the desktop's notification service.
find_package(Qt6 QUIET COMPONENTS DBus)
if(TARGET Qt6::DBus)
  target_link_libraries(hvm_qt PRIVATE Qt6::DBus)
  target_compile_definitions(hvm_qt PRIVATE HVM_QT_DBUS)
endif()
target_link_libraries(moorgate PRIVATE hvm_qt)
target_compile_definitions(moorgate PRIVATE HVM_HAVE_QT)

# The desktop entry and the icon (cmake/package, installed by the package),
# also in the build folder's share/ for a desktop that looks there.
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/halvenmoor.desktop
               ${CMAKE_BINARY_DIR}/share/applications/halvenmoor.desktop COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/package/halvenmoor.svg
               ${CMAKE_BINARY_DIR}/share/icons/hicolor/scalable/apps/halvenmoor.svg COPYONLY)

# The windows driven under the offscreen platform; screenshots land in
# <build>/screenshots.
hvm_add_test(qt_front_end_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/qt_front_end_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/../tests/app_test_driver.cpp
  LIBS hvm_qt Qt6::Test)
add_dependencies(qt_front_end_test moorlangde moorlangfr moorlangit moorlangnl moorlanghu)
