#!/bin/bash
# Builds and runs every test: on this PC, with AddressSanitizer and UndefinedBehaviorSanitizer,
# and for the board (powerpc-linux-gnu) under qemu-ppc. Each test runs in a sandbox of its own.
#   scripts/test.sh [host] [asan] [ppc]    (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    -h|--help)
        echo "Usage: scripts/test.sh [host] [asan] [ppc]"
        echo "Builds and runs the named suites (default: all three): host, this PC; asan, with"
        echo "AddressSanitizer and UndefinedBehaviorSanitizer; ppc, the board's build under qemu-ppc."
        echo "Exit status: 0 when every suite passed, 1 when a test failed, 2 for an unknown build."
        exit 0 ;;
esac
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
status=0
for preset in "${presets[@]}"; do
    echo "=== $preset: tests ==="
    # Twelve at a time (the presets' count): the tests mostly wait for the board's clock.
    ctest --preset "$preset" || status=1
done
exit $status
