#!/bin/bash
# The rollout check: a fleet of simulated boards in the field (sim/field-ssh), planned by a
# rehearsal of their folders, rolled out in four waves with surprises that the plan didn't
# foresee: a module that refuses a key, a board that can't be reached, a board whose daemon is
# killed in the middle of its update. The rollout must halt in the wave of the first surprise
# with the verdict "unexpected", and a resume must finish the rest without updating any board
# twice. Prints the figures (times, counts) and checks the status JSON against its schema.
#   scripts/rollout-check.sh [--boards N] [--jobs N] [--clock-speed K] [--build DIR] [--out DIR]
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: scripts/rollout-check.sh [OPTIONS]
Rolls the sample update out to a simulated fleet in waves 1,5%,25%,100%, its surprises
placed so that the first halts the third wave; then resumes (--max-unexpected 2, for the
other two in the fourth wave) and checks that the rollout finishes, that no board was
updated twice, and that the status JSON follows its schema.

Options:
  --boards N       the fleet's boards (default 200; at least 60)
  --jobs N         boards updated at a time (default 8)
  --clock-speed K  the boards' clock runs K times faster (default 10)
  --build DIR      the host build (default build/host, built if needed)
  --out DIR        the check's folder, made afresh (default build/rollout-check)
  -h, --help       show this help
Exit status 0 when the rollout halted and finished as it should, 1 otherwise, 2 usage error.
TXT
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
count=200 jobs=8 speed=10 build=$root/build/host out=$root/build/rollout-check
while [ $# -gt 0 ]; do
    case "$1" in
        --boards) count=${2:-}; shift 2 ;;
        --jobs) jobs=${2:-}; shift 2 ;;
        --clock-speed) speed=${2:-}; shift 2 ;;
        --build) build=${2:-}; shift 2 ;;
        --out) out=${2:-}; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "rollout-check.sh: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
done
if ! [[ $count =~ ^[0-9]+$ ]] || [ "$count" -lt 60 ]; then
    echo "rollout-check.sh: --boards takes 60 or more" >&2
    exit 2
fi
if [ ! -x "$build/rollout" ]; then
    cmake --build "$build" -j"$(nproc)" --target rollout rehearse aipeer_sim update_process_sim mkupdate
fi
rm -rf "$out"
mkdir -p "$out"
failed=0
check() {  # WHAT EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then echo "  ok: $1: $3"; else echo "  WRONG: $1: expected $2, got $3"; failed=1; fi
}
seconds() { echo $(( $(date +%s) - $1 )); }
json() {  # EXPRESSION over the status JSON as s
    python3 -c "import json, sys; s = json.load(open(sys.argv[1])); print($1)" "$out/rollout/status.json"
}

start=$(date +%s)
"$root/sim/sample-update/build-image" "$build/mkupdate" "$out/update.img" > /dev/null
"$root/sim/make-fleet" "$out/fleet" "$count" > /dev/null
status=0
"$root/scripts/rehearse.sh" --build "$build" --out "$out/rehearsal" --json "$out/plan.json" \
    --fleet "$out/fleet" "$out/update.img" > "$out/plan.txt" 2>&1 || status=$?
[ $status -le 1 ] || { echo "rollout-check.sh: the rehearsal failed ($status)" >&2; exit 1; }
echo "plan: $count boards in $(seconds "$start") s"

# The boards in their fleet's order; the surprises on boards that the plan says end OK.
mapfile -t names < <(python3 -c "import json, sys
boards = json.load(open(sys.argv[1]))['boards']
for b in sorted(boards, key=lambda b: b['position']): print(b['board'], b['outcome'])" \
    "$out/plan.json")
ok=()
for entry in "${names[@]}"; do [ "${entry#* }" = OK ] && ok+=("${entry%% *}"); done
boards=()
for entry in "${names[@]}"; do boards+=("${entry%% *}"); done
# The third wave ends at 25% of the fleet, the fourth at 100%: the first surprise in the
# third, the others in the fourth.
pick() {  # FROM: the first board that ends OK at or after position FROM (from 1)
    local i
    for ((i = $1 - 1; i < ${#boards[@]}; i++)); do
        case " ${ok[*]} " in *" ${boards[i]} "*) echo "${boards[i]}"; return ;; esac
    done
}
refusing=$(pick $((count * 20 / 100))) unreachable=$(pick $((count * 60 / 100)))
killed=$(pick $((count * 80 / 100)))
if [ -z "$refusing" ] || [ -z "$unreachable" ] || [ -z "$killed" ]; then
    echo "rollout-check.sh: no OK boards to place the surprises on" >&2
    exit 1
fi
echo "surprises: $refusing refuses &0021, $unreachable unreachable, $killed killed mid-update"

start=$(date +%s)
"$root/sim/field-ssh" --make "$out/field" "${boards[@]/#/$out/fleet/}"
echo '&0021' > "$out/field/$refusing/state/module.refuses"
touch "$out/field/$unreachable/unreachable"
echo 3 > "$out/field/$killed/kill-mid-update"
for board in "${boards[@]}"; do echo "root@$board $out/fleet/$board"; done > "$out/boards.txt"
echo "field: $count boards seeded in $(seconds "$start") s"

rollout=("$root/scripts/rollout.sh" --out "$out/rollout" --build "$build" --jobs "$jobs"
         --timeout 20 --time-limit 600
         --ssh "$root/sim/field-ssh --field $out/field --clock-speed $speed --build $build"
         --aipeer "$build/aipeer_sim")
start=$(date +%s)
status=0
"${rollout[@]}" --plan "$out/plan.json" --boards "$out/boards.txt" "$out/update.img" \
    > "$out/first.txt" 2>&1 || status=$?
echo "first run: $(seconds "$start") s, exit status $status"
check "exit status" 1 "$status"
check "halted in wave" 3 "$(json "s['halted']['wave']")"
check "verdict" unexpected "$(json "s['verdict']")"
check "the surprise" "$refusing unexpected" \
    "$(json "' '.join(b['board'] + ' ' + b['status'] for b in s['boards'] if b['status'] == 'unexpected')")"
check "boards of wave 4 run" 0 "$(json "sum(1 for b in s['boards'] if b['wave'] == 4 and b['status'] != 'not yet')")"
echo "  $(json "s['counts']")"

start=$(date +%s)
status=0
"${rollout[@]}" --resume --max-unexpected 2 > "$out/resumed.txt" 2>&1 || status=$?
echo "resumed: $(seconds "$start") s, exit status $status"
check "exit status" 1 "$status"
check "halted" None "$(json "s['halted']")"
check "boards not yet" 0 "$(json "s['counts']['not_yet'] + s['counts']['under_way']")"
check "verdict" unexpected "$(json "s['verdict']")"
check "unreachable" "$unreachable" "$(json "' '.join(b['board'] for b in s['boards'] if b['status'] == 'unreachable')")"
check "no answer" "$killed" "$(json "' '.join(b['board'] for b in s['boards'] if b['status'] == 'no answer')")"
echo "  $(json "s['counts']")"
twice=0
# The update's session begins so on the board (scripts/rollout.sh).
# shellcheck disable=SC2016
session='dir=$(mktemp -d /tmp/rollout.'
for board in "${boards[@]}"; do
    n=$(grep -cF "$session" "$out/field/$board/sessions" 2>/dev/null || true)
    [ "${n:-0}" -le 1 ] || twice=$((twice + 1))
done
check "boards updated twice" 0 "$twice"
check "schema" valid "$(python3 -c "import json, sys, jsonschema
jsonschema.validate(json.load(open(sys.argv[2])), json.load(open(sys.argv[1]))); print('valid')" \
    "$root/tools/rollout/rollout.schema.json" "$out/rollout/status.json" 2>&1 | tail -n 1)"
echo "status: $out/rollout/status.txt, $out/rollout/status.html"
exit $failed
