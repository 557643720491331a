# GoogleTest: on this PC Debian's built library (libgtest-dev), which no suite has to compile
# again; for the board, built from Debian's sources, as no PowerPC build of it exists.
if(CMAKE_CROSSCOMPILING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # No test uses GoogleMock: the board's suite would build it for nothing.
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Each test runs in a sandbox of its own with the board's file system; on a cross build the
# emulator runs the board's binaries inside it. The board's clock runs BTLAP_CLOCK_SPEED times
# faster than real time, so that the daemon's waits (its time-outs, pauses and alarms, the
# module's line, the DFU program) take a fraction of their length: less under the emulator,
# where the same work takes longer against the same board times.
if(CMAKE_CROSSCOMPILING)
  set(default_clock_speed 5)
elseif(BTLAP_SANITIZE)
  set(default_clock_speed 10)
else()
  set(default_clock_speed 20)
endif()
set(BTLAP_CLOCK_SPEED ${default_clock_speed} CACHE STRING
    "How many times faster than real time the simulated board's clock runs in the tests")
# Tests whose names begin with "SlowClock" run at a slower clock: their steps wait for the
# module's answers, or for the update's end, under alarms of 5 to 30 board seconds, which at
# the suite's clock are a fraction of a second of real time that a busy machine's delays
# alone could outlast.
set(default_slow_clock_speed 5)
if(CMAKE_CROSSCOMPILING OR BTLAP_SANITIZE)
  set(default_slow_clock_speed 2)
endif()
set(BTLAP_SLOW_CLOCK_SPEED ${default_slow_clock_speed} CACHE STRING
    "The board's clock speed for the tests whose names begin with SlowClock")
set(board_run ${PROJECT_SOURCE_DIR}/sim/board-run --clock-speed ${BTLAP_CLOCK_SPEED} --)
# The coverage build's runner keeps the counters that the sandbox would otherwise drop.
if(BTLAP_COVERAGE)
  set(board_run ${PROJECT_SOURCE_DIR}/scripts/coverage-board-run
                --clock-speed ${BTLAP_CLOCK_SPEED} --)
endif()
set(board_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
string(JOIN " " board_emulator_text ${board_emulator})

# A test's time limit catches a hang, not a slow machine: the stress check runs twenty
# suites' worth of work on two processors, where a rehearsal that takes 15 s alone has taken
# over 180 s.
set(test_timeout 600)

# The tests' own code is compiled unoptimised (below), but for the board: under the emulator
# every start of a test program translates the code it runs, and unoptimised code is twice as
# much to translate. At -O1 a start of the system tests' program took 0.08 s of processor time
# against 0.18, and the whole PowerPC suite 157 s against 222, for about a fifth more compiling
# of the test programs.
set(test_code_optimise -O0)
if(CMAKE_CROSSCOMPILING)
  set(test_code_optimise -O1)
endif()

function(add_board_tests target)
  target_link_libraries(${target} PRIVATE project_options GTest::gtest_main)
  # The test programs' own sources are GoogleTest's macros and templates: compiling them took
  # most of each suite's build. They are not optimised (the daemon's objects they test keep the
  # suite's build type; the board's build, above) and keep line tables only, for a failing
  # test's backtrace; the headers nearly all of them include are compiled once per program.
  target_compile_options(${target} PRIVATE ${test_code_optimise} -g1)
  # Eight sources to a compiler run: each run instantiated GoogleTest's and the library's
  # templates again for its own few tests, most of a test program's compiling. So a name a
  # test file keeps to itself must be one that no other test file uses.
  set_target_properties(${target} PROPERTIES UNITY_BUILD ${BTLAP_UNITY} UNITY_BUILD_BATCH_SIZE 8)
  target_compile_options(${target} PRIVATE ${test_code_sanitize_options})
  target_precompile_headers(${target} PRIVATE <gtest/gtest.h> <algorithm> <filesystem> <map>
                            <optional> <regex> <string> <vector>)
  set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR ${board_run} ${board_emulator})
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST
                       TEST_FILTER "-SmallTmp/*:SlowClock*" PROPERTIES TIMEOUT ${test_timeout})
endfunction()

# Tests whose faults need a full /tmp (their names begin with "SmallTmp/") run on a board
# whose /tmp holds 2 MiB, so that filling it is quick and takes nothing from this machine.
# The discovery takes the emulator that the target has when it is called.
set(board_run_small_tmp ${PROJECT_SOURCE_DIR}/sim/board-run --tmp-size 2M
                       --clock-speed ${BTLAP_CLOCK_SPEED} --)
set(board_run_slow_clock ${PROJECT_SOURCE_DIR}/sim/board-run
                         --clock-speed ${BTLAP_SLOW_CLOCK_SPEED} --)
if(BTLAP_COVERAGE)
  set(board_run_slow_clock ${PROJECT_SOURCE_DIR}/scripts/coverage-board-run
                           --clock-speed ${BTLAP_SLOW_CLOCK_SPEED} --)
endif()
# The tests of target that filter selects, run by runner (a board-run command line).
function(add_board_tests_run_by target filter runner)
  set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR ${runner} ${board_emulator})
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST
                       TEST_FILTER "${filter}" PROPERTIES TIMEOUT ${test_timeout})
  set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR ${board_run} ${board_emulator})
endfunction()
function(add_small_tmp_board_tests target)
  add_board_tests_run_by(${target} "SmallTmp/*" "${board_run_small_tmp}")
endfunction()
function(add_slow_clock_board_tests target)
  add_board_tests_run_by(${target} "SlowClock*" "${board_run_slow_clock}")
endfunction()

# The sanitizer suite looks for undefined behaviour in the code under test; in the tests' own
# code, GoogleTest's macros, its checks doubled their compiling for nothing. AddressSanitizer
# stays on everywhere.
set(test_code_sanitize_options)
if(BTLAP_SANITIZE)
  set(test_code_sanitize_options -fno-sanitize=undefined)
endif()

# Unit tests: every operation against the simulated board's devices.
file(GLOB_RECURSE unit_test_sources CONFIGURE_DEPENDS src/*_test.cpp sim/*_test.cpp)
# Every test program refuses to run outside the simulated board.
set(board_guard ${PROJECT_SOURCE_DIR}/tests/support/board_guard.cpp)
add_executable(unit_tests ${unit_test_sources} ${tool_test_sources} ${board_guard})
target_link_libraries(unit_tests PRIVATE daemon_core board_sim ${tool_libraries} test_support)
# The daemon's removals of a name go through the tests' unlinkat, so that a test can put
# something at the name just after (another process racing the daemon, made deterministic).
target_link_options(unit_tests PRIVATE -Wl,--wrap=unlinkat)
add_board_tests(unit_tests)

# Helpers shared by the tests: a peer on the AI socket, the daemon as a child, files.
file(GLOB test_support_sources CONFIGURE_DEPENDS tests/support/*.cpp)
list(REMOVE_ITEM test_support_sources ${board_guard})
# On the build host the tests compress with the tools' own zlib code; the board's build has
# no zlib and packs with the host's gzip program.
list(REMOVE_ITEM test_support_sources ${PROJECT_SOURCE_DIR}/tests/support/gzip_program.cpp)
if(CMAKE_CROSSCOMPILING)
  target_sources(mkupdate_images PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/gzip_program.cpp)
endif()
add_library(test_support STATIC ${test_support_sources})
# The RSA keys the tests take, made by openssl once per build (the script says why).
set(test_key_pool ${PROJECT_BINARY_DIR}/test-keys)
add_custom_command(OUTPUT ${test_key_pool}/rsa-4096-1.pem
                   COMMAND ${PROJECT_SOURCE_DIR}/tests/support/make-key-pool ${test_key_pool}
                   DEPENDS ${PROJECT_SOURCE_DIR}/tests/support/make-key-pool
                   COMMENT "Making the tests' RSA keys" VERBATIM)
add_custom_target(test_key_pool DEPENDS ${test_key_pool}/rsa-4096-1.pem)
add_dependencies(test_support test_key_pool)
target_link_libraries(test_support PUBLIC project_options GTest::gtest ${tool_libraries})
# Test code as the test programs' own: unoptimised, line tables, GoogleTest precompiled.
target_compile_options(test_support PRIVATE ${test_code_optimise} -g1 ${test_code_sanitize_options})
target_precompile_headers(test_support PRIVATE <gtest/gtest.h> <string> <vector>)
target_compile_definitions(test_support PUBLIC
  "SIM_DAEMON_PATH=\"$<TARGET_FILE:update_process_sim>\""
  "BOARD_EMULATOR=\"${board_emulator_text}\""
  "PROJECT_SOURCE_PATH=\"${PROJECT_SOURCE_DIR}\""
  "PROJECT_BINARY_PATH=\"${PROJECT_BINARY_DIR}\""
  "TEST_KEY_POOL_PATH=\"${test_key_pool}\""
  # (For the rehearsals that a test runs on boards of its own.)
  "BOARD_SLOW_CLOCK_SPEED=\"${BTLAP_SLOW_CLOCK_SPEED}\"")

# System tests: the simulated-board daemon driven through its real AI socket.
file(GLOB system_test_sources CONFIGURE_DEPENDS tests/*_test.cpp)
add_executable(system_tests ${system_test_sources} ${board_guard})
target_link_libraries(system_tests PRIVATE test_support daemon_core board_sim)
add_dependencies(system_tests update_process_sim ${tool_libraries})
add_board_tests(system_tests)
add_small_tmp_board_tests(system_tests)
add_slow_clock_board_tests(system_tests)

# Benchmarks (host builds only: they compare against the host's zlib).
file(GLOB_RECURSE bench_sources CONFIGURE_DEPENDS src/*_bench.cpp)
# Measured on this machine's plain build only: under the sanitizers the figures mean nothing.
if(bench_sources AND NOT CMAKE_CROSSCOMPILING AND NOT BTLAP_SANITIZE)
  find_package(benchmark REQUIRED)
  find_package(ZLIB REQUIRED)
  # Built when asked for (cmake --build ... --target benchmarks): the suites don't run them.
  add_executable(benchmarks EXCLUDE_FROM_ALL ${bench_sources})
  target_link_libraries(benchmarks PRIVATE daemon_core board_sim benchmark::benchmark ZLIB::ZLIB)
endif()

# The manual pages in man/ say what the programs' --help says (host builds: help2man runs
# them).
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME man_pages
           COMMAND ${board_run} ${PROJECT_SOURCE_DIR}/scripts/man-pages.sh --check
                   ${PROJECT_BINARY_DIR})
endif()
