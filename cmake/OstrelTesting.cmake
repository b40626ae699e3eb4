# ostrel_add_gtest(NAME SOURCES src... [LIBS lib...])
# Builds one GoogleTest executable and registers its cases with CTest.
function(ostrel_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # Without tests (a package build) the target stays defined, for the calls
  # that refer to it, but is not built.
  if(NOT OSTREL_BUILD_TESTS)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "OSTREL_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# ostrel_add_shell_test(NAME SCRIPT [ARGS...])
# Registers an end-to-end script that drives the built binaries.  The script
# gets the build directory in $BUILD_DIR and the source tree in $SOURCE_DIR;
# exit status 77 means "skipped".
function(ostrel_add_shell_test name script)
  add_test(NAME ${name} COMMAND bash ${script} ${ARGN})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    SKIP_RETURN_CODE 77)
endfunction()
