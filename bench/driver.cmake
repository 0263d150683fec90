# The driver through its mount beside tmpfs: stat calls and 64 KiB reads per second.
if(TARGET quenlode)
  add_executable(driver_bench
    ${CMAKE_SOURCE_DIR}/bench/driver_bench.cpp
    ${CMAKE_SOURCE_DIR}/driver/tests/scripted_agent.cpp)
  target_link_libraries(driver_bench PRIVATE hvm_channel hvm_platform Threads::Threads)
  add_dependencies(driver_bench quenlode)
  target_compile_definitions(driver_bench PRIVATE QUENLODE_BINARY="$<TARGET_FILE:quenlode>")
endif()
