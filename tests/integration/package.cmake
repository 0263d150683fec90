# The Debian package, built with cpack and unpacked into a throw-away root.
if(TARGET moorsetup AND TARGET moorshell)
  add_test(NAME package.Deb COMMAND ${CMAKE_CURRENT_LIST_DIR}/deb_package_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(package.Deb PROPERTIES LABELS integration SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
