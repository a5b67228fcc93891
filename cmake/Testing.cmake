# zr_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>] [TIMEOUT <s>] [THREADED])
# Builds a GoogleTest executable beside the code it tests and registers it with CTest.
#
# THREADED marks a suite whose code or test starts threads (an ORB, a worker,
# a second process's calls): it gets the CTest label "threaded" and the target
# zr_threaded_tests builds it, so the thread-sanitizer stage builds and runs
# exactly the marked suites. In a build without sanitizer an unmarked suite
# runs with a preloaded pthread_create that fails it at its first thread.
if(ZR_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  add_custom_target(zr_threaded_tests)
  if(ZR_SANITIZER STREQUAL "")
    add_library(zr_no_threads SHARED ${CMAKE_CURRENT_LIST_DIR}/NoThreads.c)
    set_target_properties(zr_no_threads PROPERTIES C_VISIBILITY_PRESET default)
  endif()
endif()

function(zr_add_test name)
  if(NOT ZR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "THREADED" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  # A test's own headers (a fixture beside it) are published to the test alone.
  if(ARG_SOURCES MATCHES "\\.h(;|$)")
    zr_publish_headers(${name})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  # A few times the suite's run in a sanitizer build on a busy machine, so a
  # hang fails in well under a minute; longer suites name their own.
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_THREADED)
    list(APPEND ARG_LABELS threaded)
    add_dependencies(zr_threaded_tests ${name})
  elseif(TARGET zr_no_threads)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "LD_PRELOAD=$<TARGET_FILE:zr_no_threads>")
    add_dependencies(${name} zr_no_threads)
  endif()
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
