# Every test ends in one of four outcomes (tests/README.md): passed (0),
# failed (1), skipped (77) and "setup broke" (99, after a line "SETUP FAILED:
# TEST: REASON" from tests/support/init.sh or ostrel_ostreld_fixture.h).
# CTest knows a single skip code and no third kind of result, so a broken
# setup is recognised by that line: with the regular expression below CTest
# marks the test failed and its result line says
#   ***Failed  Error regular expression found in output. Regex=[SETUP FAILED]
# where a failed product check says only ***Failed.
set(OSTREL_SETUP_FAILED_PROPERTIES FAIL_REGULAR_EXPRESSION "SETUP FAILED")

# ostrel_add_gtest(NAME SOURCES src... [LIBS lib...] [PROPERTIES name value...])
# Builds one GoogleTest executable and registers its cases with CTest.
function(ostrel_add_gtest name)
  # PROPERTIES are test properties every discovered test gets besides ours.
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  # One main for every unit test program: a broken setup exits 99.
  if(NOT TARGET ostrel_gtest_main)
    add_library(ostrel_gtest_main STATIC ${PROJECT_SOURCE_DIR}/tests/support/ostrel_gtest_main.cpp)
    target_link_libraries(ostrel_gtest_main PUBLIC GTest::gtest)
    target_include_directories(ostrel_gtest_main PUBLIC ${PROJECT_SOURCE_DIR}/tests/support)
    if(NOT OSTREL_BUILD_TESTS)
      set_target_properties(ostrel_gtest_main PROPERTIES EXCLUDE_FROM_ALL ON)
    endif()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # Without tests (a package build) the target stays defined, for the calls
  # that refer to it, but is not built.
  if(NOT OSTREL_BUILD_TESTS)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ostrel_gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "OSTREL_BUILD_DIR=${CMAKE_BINARY_DIR}"
                         ${OSTREL_SETUP_FAILED_PROPERTIES} ${ARG_PROPERTIES})
endfunction()

# ostrel_test_uses_ostreld(TARGET)
# A unit test program that starts ostreld through ostrel_ostreld_fixture.h:
# it knows where the fixture script is, and ostreld is built before it.
function(ostrel_test_uses_ostreld target)
  target_compile_definitions(${target} PRIVATE
    OSTREL_OSTRELD_FIXTURE_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/ostreld_fixture.sh")
  add_dependencies(${target} ostreld)
endfunction()

# ostrel_add_shell_test(NAME SCRIPT [ARGS...])
# Registers an end-to-end script that drives the built binaries; it starts
# with tests/support/init.sh.  The script gets the build directory in
# $BUILD_DIR, the source tree in $SOURCE_DIR and its CTest name in
# $OSTREL_TEST_NAME; exit status 77 means "skipped", 99 "setup broke".
function(ostrel_add_shell_test name script)
  add_test(NAME ${name} COMMAND bash ${script} ${ARGN})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};SOURCE_DIR=${CMAKE_SOURCE_DIR};OSTREL_TEST_NAME=${name}"
    SKIP_RETURN_CODE 77
    ${OSTREL_SETUP_FAILED_PROPERTIES})
endfunction()
