# One library per source folder, linking only downward. Sources and tests are
# picked up by glob so that a new module needs no edit here.

# corvane_module(<target> <folder> [DEPS <targets...>])
function(corvane_module target folder)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS "${folder}/*.cpp")
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_link_libraries(${target} PUBLIC ${M_DEPS})
    if(CORVANE_PCH)
      set(pch <fmt/format.h> <algorithm> <atomic> <chrono> <filesystem> <functional> <memory>
              <mutex> <optional> <string> <string_view> <thread> <vector>)
      if(NOT target STREQUAL "corvane_platform")  # the OS layer reads no JSON
        list(APPEND pch <nlohmann/json.hpp>)
      endif()
      target_precompile_headers(${target} PRIVATE ${pch})
    endif()
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${M_DEPS})
  endif()
endfunction()

# Which tests a build holds. "all": every test and the tools the whole-program
# tests start. "unit": the GoogleTest binaries only (what the asan preset runs).
# "tsan": only the test files that hold a suite the tsan label runs (what the
# tsan preset runs), so a ThreadSanitizer build compiles none of the others.
set(CORVANE_TEST_SCOPE "all" CACHE STRING "Tests to build: all, unit or tsan")
set_property(CACHE CORVANE_TEST_SCOPE PROPERTY STRINGS all unit tsan)

# Precompiled headers for the test binaries and the modules, in unoptimised
# builds (the sanitizer presets) without a compiler cache. A cache cannot reuse
# a compilation that reads a precompiled header; and with optimisation on, GCC
# 12 reports its own std::string code inlined from a precompiled libstdc++ as
# overflowing (false positives that a build without them never shows).
if(CMAKE_CXX_COMPILER_LAUNCHER OR NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(corvane_pch_default OFF)
else()
  set(corvane_pch_default ON)
endif()
option(CORVANE_PCH "Precompile the heavy headers (GoogleTest, fmt, nlohmann, the standard library)"
       ${corvane_pch_default})

# corvane_tests(<name> <folder> <libs...>): one GoogleTest executable for every
# *_test.cpp in the folder; tests are labelled "unit". Suites whose name ends in
# "Concurrency" or begins with "Tsan" are listed a second time (prefix "tsan.")
# with the label "tsan", so that the tsan preset runs them under ThreadSanitizer;
# TSAN_FILTER adds gtest patterns of other suites that belong there too.
# SERIAL_FILTER names the tests that time what other processes do (the X
# server, the sound server): ctest runs them alone, as the load of the other
# tests would otherwise be in their figures.
# corvane_tests(<name> <folder> [TSAN_FILTER <patterns>] [SERIAL_FILTER <patterns>] <libs...>)
function(corvane_tests name folder)
  cmake_parse_arguments(T "" "TSAN_FILTER;SERIAL_FILTER" "" ${ARGN})
  if(NOT CORVANE_TESTS)
    return()
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS "${folder}/*_test.cpp")
  set(tsan_filter "*Concurrency.*:Tsan*.*")
  if(T_TSAN_FILTER)
    string(APPEND tsan_filter ":${T_TSAN_FILTER}")
  endif()
  if(CORVANE_TEST_SCOPE STREQUAL "tsan")
    # Keep the files that declare a suite the filter names: "Suite*.Test*"
    # gives the suite pattern "Suite\w*".
    set(suites "")
    string(REPLACE ":" ";" patterns "${tsan_filter}")
    foreach(p ${patterns})
      string(REGEX REPLACE "\\..*$" "" suite "${p}")
      string(REPLACE "*" "[A-Za-z0-9_]*" suite "${suite}")
      list(APPEND suites "${suite}")
    endforeach()
    list(JOIN suites "|" suites)
    set(kept "")
    foreach(f ${srcs})
      file(STRINGS "${f}" hits REGEX "^[ \t]*TEST(_F|_P)?\\([ \t]*(${suites})[ \t]*,")
      if(hits)
        list(APPEND kept "${f}")
      endif()
    endforeach()
    # A suite added to a file changes what is kept: look again on an edit.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${srcs})
    set(srcs ${kept})
  endif()
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${T_UNPARSED_ARGUMENTS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    CORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    CORVANE_BUILT_ASSETS_DIR="${PROJECT_BINARY_DIR}/apps/corvane/generated/assets"
    CORVANE_TEST_DATA_DIR="${folder}/data")
  # Test code is compiled for the checks it makes, not for speed or a debugger:
  # -O1 and line tables cost half the time of -O2 -g. The code under test keeps
  # the build type's flags.
  target_compile_options(${name} PRIVATE $<$<CONFIG:RelWithDebInfo>:-O1> $<$<CONFIG:RelWithDebInfo>:-g1>)
  if(CORVANE_PCH)
    target_precompile_headers(${name} PRIVATE
      <gtest/gtest.h> <gmock/gmock.h> <fmt/format.h> <nlohmann/json.hpp>
      <algorithm> <atomic> <chrono> <filesystem> <functional> <map> <memory> <mutex>
      <optional> <string> <string_view> <thread> <vector>)
  endif()
  if(NOT CORVANE_TEST_SCOPE STREQUAL "tsan")
    if(T_SERIAL_FILTER)
      gtest_discover_tests(${name} TEST_FILTER "-${T_SERIAL_FILTER}"
        PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
      gtest_discover_tests(${name} TEST_FILTER "${T_SERIAL_FILTER}"
        PROPERTIES LABELS unit RUN_SERIAL TRUE DISCOVERY_TIMEOUT 60)
    else()
      gtest_discover_tests(${name} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
    endif()
  endif()
  gtest_discover_tests(${name} TEST_PREFIX "tsan." TEST_FILTER "${tsan_filter}"
    PROPERTIES LABELS tsan DISCOVERY_TIMEOUT 60)
endfunction()
