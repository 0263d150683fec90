# hvm_add_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2])
# Builds one GoogleTest program and registers each of its cases with CTest.
# Label "integration" marks tests that start real servers or need the FUSE
# mount; the sanitizer build runs everything else.
function(hvm_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # Where the sources and the build are, for tests that start programs or servers.
  target_compile_definitions(${name} PRIVATE
    HVM_SOURCE_DIR_PATH="${CMAKE_SOURCE_DIR}" HVM_BINARY_DIR_PATH="${CMAKE_BINARY_DIR}")
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABELS}"
               ENVIRONMENT "HVM_BINARY_DIR=${CMAKE_BINARY_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()
