#!/bin/bash
# Builds and runs every test: on this PC, with AddressSanitizer and UndefinedBehaviorSanitizer,
# and for the board (powerpc-linux-gnu) under qemu-ppc. Each test runs in a sandbox of its own.
#   scripts/test.sh [host] [asan] [ppc]    (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help)
        echo "Usage: scripts/test.sh [--one-at-a-time] [host] [asan] [ppc]"
        echo "Builds and runs the named suites (default: all three): host, this PC; asan, with"
        echo "AddressSanitizer and UndefinedBehaviorSanitizer; ppc, the board's build under qemu-ppc."
        echo "The suites run side by side (each one's whole output in build/PRESET/suite.log);"
        echo "--one-at-a-time runs them one after the other, their output as it comes."
        echo "Exit status: 0 when every suite passed, 1 when a test failed, 2 for an unknown build."
        exit 0 ;;
esac
side_by_side=1
if [ "${1:-}" = --one-at-a-time ]; then
    side_by_side=0
    shift
fi
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(host asan ppc)
need_all=""
for preset in "${presets[@]}"; do
    case "$preset" in
        host|asan) ;;
        ppc) need_all="--all" ;;
        *) echo "test.sh: unknown build '$preset' (host, asan, ppc; see --help)" >&2; exit 2 ;;
    esac
done
scripts/deps.sh $need_all
jobs=$(nproc)
builds=()
for preset in "${presets[@]}"; do
    echo "=== $preset: build ==="
    scripts/configure-preset.sh "$preset"
    cmake --build --preset "$preset" -j"$jobs"
    # ldd can read only this machine's programs: a cross build's libraries are the cross
    # packages'.
    [ "$preset" = ppc ] || builds+=("build/$preset")
done
# What a fresh machine would lack fails here, not later in a suite.
scripts/check-deps.sh --all --fuzz --coverage "${builds[@]}"
# Twelve tests at a time per suite (the presets' count): they mostly wait for the board's clock.
status=0
if [ $side_by_side -eq 0 ]; then
    for preset in "${presets[@]}"; do
        echo "=== $preset: tests ==="
        ctest --preset "$preset" || status=1
    done
    exit $status
fi
# Side by side: where the suites wait for the board's clock, one suite's waits are another's
# processor time, so the whole takes less than one after the other; on a machine with no
# processor time to spare it takes about as long. The tests hold on a busy machine
# (scripts/stress-check.sh runs them beside each other and busy loops).
suites=()
# (Called by the trap alone.)
# shellcheck disable=SC2317
stop_suites() {
    for pid in "${suites[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop_suites EXIT
trap 'exit 130' INT TERM
echo "=== tests: ${presets[*]} side by side ==="
for preset in "${presets[@]}"; do
    ctest --preset "$preset" > "build/$preset/suite.log" 2>&1 &
    suites+=($!)
done
for i in "${!presets[@]}"; do
    preset=${presets[$i]} result=0
    wait "${suites[$i]}" || result=$?
    echo "=== $preset: $(grep -E 'tests passed|Total Test time' "build/$preset/suite.log" |
                       tr '\n' ' ')(whole output: build/$preset/suite.log) ==="
    if [ $result -ne 0 ]; then
        # The whole of it: what the failed tests printed, and the list of them at its end.
        cat "build/$preset/suite.log"
        status=1
    fi
done
suites=()
exit $status
