# Helpers shared by every subsystem, tool, test, benchmark and fuzz target.

# tidewell_library(<name> SOURCES ... [DEPS ...])
#   The library tw_<name> of one subsystem folder; headers are reached as
#   "<name>/<header>.h" from src/.
function(tidewell_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(tw_${name} STATIC ${ARG_SOURCES})
    target_include_directories(tw_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tw_${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(tw_${name} INTERFACE)
    target_include_directories(tw_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tw_${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# tidewell_test(<name> LABELS ... SOURCES ... [LIBS ...])
#   A GoogleTest program whose tests are registered with CTest one by one,
#   carrying the given labels (the subsystem folder, plus e2e where it applies).
function(tidewell_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    TIDEWELL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TIDEWELL_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # Discovered tests take their properties as one flat list, so a list of
  # labels cannot pass through it; the labels go on the test folder instead,
  # which CTest gives to every test defined there.
  get_property(labels DIRECTORY PROPERTY LABELS)
  list(APPEND labels ${ARG_LABELS})
  list(REMOVE_DUPLICATES labels)
  set_property(DIRECTORY PROPERTY LABELS "${labels}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()

# tidewell_fuzz(<name> SOURCES ... [LIBS ...])
#   A libFuzzer target; its seed corpus is the folder "corpus" beside its
#   CMakeLists.txt. The test command runs it briefly over that corpus: the
#   list of targets and corpora is written to <build>/fuzz-targets.txt.
function(tidewell_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz_all ${name})
  file(APPEND ${PROJECT_BINARY_DIR}/fuzz-targets.txt
    "${CMAKE_CURRENT_BINARY_DIR}/${name} ${CMAKE_CURRENT_SOURCE_DIR}/corpus\n")
endfunction()

# tidewell_bench(<name> SOURCES ... [LIBS ...])
function(tidewell_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()
include(Subdirs)
