# The FTP client against pyftpdlib (MLSD, LIST forms, faults) and vsftpd
# (LIST, explicit and implicit TLS), all started on loopback by the tests.
# hvm_webdav_test_support (ServerScript, RecordingUi) is declared by webdav.cmake, after this file.
if(TARGET hvm_ftp AND TARGET hvm_webdav)
  add_library(hvm_ftp_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/ftp_test_support.cpp)
  target_link_libraries(hvm_ftp_test_support PUBLIC hvm_ftp hvm_webdav_test_support GTest::gtest)
  hvm_add_test(ftp_integration_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ftp_fixture_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/ftp_vsftpd_test.cpp
    LIBS hvm_ftp_test_support
    LABELS integration)
endif()
