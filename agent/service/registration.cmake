# Registration and drive mapping, and the agent-wide ping and housekeeping threads.
add_library(hvm_registration STATIC
  ${CMAKE_CURRENT_LIST_DIR}/registration.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registration_disconnect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registration_drive_link.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registration_housekeeping.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registration_ping.cpp)
target_include_directories(hvm_registration PUBLIC ${CMAKE_SOURCE_DIR})
# The client factory, the string resources and the drive letters are configured after this
# folder; the generator expressions resolve once every target is known.
target_link_libraries(hvm_registration PUBLIC hvm_service
  $<TARGET_NAME_IF_EXISTS:hvm_remote_client> $<TARGET_NAME_IF_EXISTS:hvm_errtext>
  $<TARGET_NAME_IF_EXISTS:hvm_sites> $<TARGET_NAME_IF_EXISTS:hvm_shared_section>
  hvm_platform moorlib Threads::Threads)
