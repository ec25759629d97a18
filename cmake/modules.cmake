# One library per source folder, linking only downward. Sources and tests are
# picked up by glob so that a new module needs no edit here.

# corvane_module(<target> <folder> [DEPS <targets...>])
function(corvane_module target folder)
  cmake_parse_arguments(M "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS "${folder}/*.cpp")
  if(srcs)
    add_library(${target} STATIC ${srcs})
    target_link_libraries(${target} PUBLIC ${M_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${M_DEPS})
  endif()
endfunction()

# corvane_tests(<name> <folder> <libs...>): one GoogleTest executable for every
# *_test.cpp in the folder; tests are labelled "unit". Suites whose name ends in
# "Concurrency" or begins with "Tsan" are listed a second time (prefix "tsan.")
# with the label "tsan", so that the tsan preset runs them under ThreadSanitizer;
# TSAN_FILTER adds gtest patterns of other suites that belong there too.
# corvane_tests(<name> <folder> [TSAN_FILTER <patterns>] <libs...>)
function(corvane_tests name folder)
  cmake_parse_arguments(T "" "TSAN_FILTER" "" ${ARGN})
  if(NOT CORVANE_TESTS)
    return()
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS "${folder}/*_test.cpp")
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${T_UNPARSED_ARGUMENTS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    CORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    CORVANE_BUILT_ASSETS_DIR="${PROJECT_BINARY_DIR}/apps/corvane/generated/assets"
    CORVANE_TEST_DATA_DIR="${folder}/data")
  gtest_discover_tests(${name} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
  set(tsan_filter "*Concurrency.*:Tsan*.*")
  if(T_TSAN_FILTER)
    string(APPEND tsan_filter ":${T_TSAN_FILTER}")
  endif()
  gtest_discover_tests(${name} TEST_PREFIX "tsan." TEST_FILTER "${tsan_filter}"
    PROPERTIES LABELS tsan DISCOVERY_TIMEOUT 60)
endfunction()
