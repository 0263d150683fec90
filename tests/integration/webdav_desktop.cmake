# The WebDAV client and what the desktop decides: the automatic proxy
# (libproxy, the environment, the Internet settings) and the program in the
# foreground (Xvfb). Each is a program of its own: both change process-wide
# state (the environment, DISPLAY, libproxy's factory made once per process).
if(TARGET hvm_webdav_test_support)
  hvm_add_test(webdav_auto_proxy_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/webdav_auto_proxy_test.cpp
    LIBS hvm_webdav_test_support
    LABELS integration)
  add_dependencies(webdav_auto_proxy_test moorproxy)
  if(X11_FOUND)
    hvm_add_test(webdav_excel_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/webdav_excel_test.cpp
      LIBS hvm_webdav_test_support X11::X11
      LABELS integration)
  endif()
endif()
