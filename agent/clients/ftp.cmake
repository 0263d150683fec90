# The FTP client: sessions over libcurl, listings, the reading job, uploads.
add_library(hvm_ftp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ftp_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_error_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_folder_listing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_listing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_upload.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ftp_streamed_stor.cpp)
target_include_directories(hvm_ftp PUBLIC ${CMAKE_SOURCE_DIR})
# Error texts live with the application frame, configured after this folder.
# hvm_webdav for the agent's proxy settings, which FTP sites share.
target_link_libraries(hvm_ftp PUBLIC PkgConfig::CURL hvm_remote_client hvm_webdav
  $<TARGET_NAME_IF_EXISTS:hvm_errtext> moorlib hvm_platform)

hvm_add_test(ftp_unit_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ftp_listing_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/ftp_session_test.cpp
  LIBS hvm_ftp)
