#!/bin/bash
# Line and branch coverage of the daemon's sources (src/, without tests and benchmarks) by the
# host suite: builds with gcc's coverage counters (build/coverage), runs every test on the
# simulated board, and prints the coverage of each file and the totals. An HTML report with
# every line goes to build/coverage/coverage.html.
#   scripts/coverage.sh [CTEST OPTIONS...]     e.g. scripts/coverage.sh -R SdpCheck
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --coverage
build=$PWD/build/coverage
echo "=== coverage: build ==="
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DBTLAP_COVERAGE=ON -DBTLAP_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# The test runner (scripts/coverage-board-run) gathers every sandbox's counters here.
counters=$build/coverage-counters
rm -rf "$counters" "$counters.new" "$counters.lock"
find "$build" -name '*.gcda' -delete
echo "=== coverage: tests ==="
status=0
BTLAP_COVERAGE_COUNTERS=$counters ctest --test-dir "$build" -j 4 --output-on-failure "$@" ||
    status=$?
# Back beside the notes files of the build, where gcov looks for them.
if [ -d "$counters$build" ]; then cp -R "$counters$build/." "$build/"; fi

echo "=== coverage: src/ ==="
# A read that the SIGBUS guard abandons (an image cut short) leaves its function by a jump, so
# gcov's derived branch counts there come out negative; gcovr skips those few lines (and says
# so) instead of giving up on the whole report.
gcovr --root . --object-directory "$build" --filter 'src/' \
      --exclude '.*_test\.cpp$' --exclude '.*_bench\.cpp$' --exclude 'src/btlink/logged_test\.h$' \
      --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
      --json "$build/coverage.json" "$build"
gcovr --root . --add-tracefile "$build/coverage.json" --txt
gcovr --root . --add-tracefile "$build/coverage.json" --txt --branches \
      --html-details "$build/coverage.html" --print-summary
[ $status -eq 0 ] || echo "coverage: some tests failed (the figures count what ran)"
exit $status
