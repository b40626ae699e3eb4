# Fuzz targets of the parsers of outside input.
#
# ostrel_add_fuzzer(NAME SOURCES <files> LIBS <libs> CORPUS <dir>)
#   SOURCES define `extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t)`
#   (and may define LLVMFuzzerInitialize) and may include fuzz_support.h;
#   CORPUS is the folder of seed inputs kept in the tree.
#
# With OSTREL_FUZZ=ON (a clang build, see `make fuzz`) every target is a
# libFuzzer binary built with -fsanitize=fuzzer,address,undefined, the whole
# tree is instrumented for coverage, and CTest runs each target (label "fuzz")
# for OSTREL_FUZZ_SECONDS seconds (environment, default 3) from its seeds.
# Otherwise the same sources are linked with a small driver that runs every
# seed once, so the plain and the sanitizer builds check that the targets
# build and their seeds pass.

option(OSTREL_FUZZ "Build libFuzzer targets (needs clang) instead of seed replayers" OFF)

if(OSTREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "OSTREL_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(NOT TARGET ostrel_fuzzers)
  add_custom_target(ostrel_fuzzers)
endif()

set(OSTREL_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/fuzz)

function(ostrel_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_SOURCES OR NOT ARG_CORPUS)
    message(FATAL_ERROR "ostrel_add_fuzzer(${name}): SOURCES and CORPUS are required")
  endif()
  get_filename_component(corpus ${ARG_CORPUS} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  if(OSTREL_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${ARG_SOURCES} ${OSTREL_FUZZ_DIR}/replay_main.cpp)
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  # fuzz_support.h: APR and a pool per input, and OSTREL_FUZZ_CHECK.
  target_include_directories(${name} PRIVATE ${OSTREL_FUZZ_DIR})
  add_dependencies(ostrel_fuzzers ${name})
  if(OSTREL_FUZZ)
    set(test_name fuzz_${name})
    add_test(NAME ${test_name}
             COMMAND sh ${OSTREL_FUZZ_DIR}/run-fuzzer.sh $<TARGET_FILE:${name}> ${corpus}
                     ${CMAKE_BINARY_DIR}/fuzz-work/${name})
  else()
    set(test_name fuzz_${name}_seeds)
    add_test(NAME ${test_name} COMMAND ${name} ${corpus})
  endif()
  set_tests_properties(${test_name} PROPERTIES LABELS fuzz)
endfunction()
