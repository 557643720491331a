#!/bin/bash
# The suites on a busy machine: the host suite at 16 tests at a time beside the sanitizer
# suite and two busy loops per core, in rounds (default two in a row); then once beside the
# board's suite under qemu-ppc, where the board is slowest. A test that passes only on a quiet
# machine races another process's speed; this is where it shows. The builds must be built
# (scripts/test.sh host asan ppc builds them).
#   scripts/stress-check.sh [ROUNDS] [--ppc N]    (--ppc 0: no round beside the ppc suite)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=2
ppc_rounds=1
while [ $# -gt 0 ]; do
    case "$1" in
        --ppc) [ $# -ge 2 ] || { echo "stress-check.sh: --ppc needs a count" >&2; exit 2; }
               ppc_rounds=$2; shift 2 ;;
        -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) rounds=$1; shift ;;
    esac
done
case "$rounds" in
    ''|*[!0-9]*|0) echo "stress-check.sh: bad count of rounds '$rounds'" >&2; exit 2 ;;
esac
case "$ppc_rounds" in
    ''|*[!0-9]*) echo "stress-check.sh: bad count of ppc rounds '$ppc_rounds'" >&2; exit 2 ;;
esac
for suite in host asan ppc; do
    [ "$suite" != ppc ] || [ "$ppc_rounds" -gt 0 ] || continue
    [ -f "build/$suite/CTestTestfile.cmake" ] ||
        { echo "stress-check.sh: no $suite build (scripts/test.sh $suite builds it)" >&2; exit 2; }
done
logs=build/stress
mkdir -p "$logs"

# The busy loops and a partner suite still running end with the check, however it ends.
busy=()
partner=""
# (Called by the trap alone.)
# shellcheck disable=SC2317
stop_load() {
    for pid in "${busy[@]}" $partner; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop_load EXIT
trap 'exit 130' INT TERM
for ((i = 0; i < 2 * $(nproc); i++)); do
    (while :; do :; done) &
    busy+=($!)
done

summary() {  # LOG: ctest's count of passed tests and its time
    grep -E 'tests passed|Total Test time' "$1" | tr '\n' ' '
}

# The partner suite of each round: asan in the first ROUNDS, then ppc.
partners=()
for ((round = 1; round <= rounds; round++)); do partners+=(asan); done
for ((round = 1; round <= ppc_rounds; round++)); do partners+=(ppc); done
status=0
round=0
for other in "${partners[@]}"; do
    round=$((round + 1))
    echo "=== stress round $round of ${#partners[@]}: host (16 at a time) beside $other, ${#busy[@]} busy loops ==="
    start=$SECONDS
    ctest --preset "$other" > "$logs/$other-$round.log" 2>&1 &
    partner=$!
    failed=()
    ctest --preset host -j16 > "$logs/host-$round.log" 2>&1 || failed+=(host)
    wait "$partner" || failed+=("$other")
    partner=""
    for suite in host "$other"; do
        echo "$suite: $(summary "$logs/$suite-$round.log")"
    done
    echo "round $round took $((SECONDS - start)) s"
    for suite in "${failed[@]}"; do
        echo "--- $suite failed in round $round (its whole output: $logs/$suite-$round.log) ---"
        sed -n '/tests failed out of/,$p' "$logs/$suite-$round.log"
        status=1
    done
    [ $status -eq 0 ] || break
done
exit $status
