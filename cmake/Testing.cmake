# zr_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>] [TIMEOUT <s>])
# Builds a GoogleTest executable beside the code it tests and registers it with CTest.
if(ZR_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
endif()

function(zr_add_test name)
  if(NOT ZR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  # A test's own headers (a fixture beside it) are published to the test alone.
  if(ARG_SOURCES MATCHES "\\.h(;|$)")
    zr_publish_headers(${name})
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  # A few times the test's normal run, so a test that loops for ever fails in
  # a minute rather than at the suite-wide limit; longer tests name their own.
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
