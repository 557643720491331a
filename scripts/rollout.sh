#!/bin/bash
# Rolls an update image out to boards in the field, in waves, over ssh: each board gets the
# image streamed, runs it with "aipeer start --follow", and sends back its report and its
# state after the update (aipeer capture). The program rollout of the build decides: which
# boards a wave takes, whether a board did as its rehearsed plan said, when to halt, and the
# field's status. This script only runs the processes.
#   scripts/rollout.sh [OPTIONS] --plan PLAN.json --boards FILE IMAGE
set -uo pipefail

usage() {
    cat <<'TXT'
Usage: rollout.sh [OPTIONS] --plan PLAN.json --boards FILE IMAGE
       rollout.sh [OPTIONS] --resume
Rolls IMAGE out to the boards of FILE (one a line: HOST BOARD_DIR, where BOARD_DIR is the
board's folder that the plan rehearsed, scripts/rehearse.sh --json) in waves. On each board,
over ssh: the image is streamed to it, "aipeer start --follow" runs it, and the update's
report and the board's state after it ("aipeer capture": its PS-Keys, /etc and flash size)
come back. Each board is held to its plan (outcome, failed steps and their reasons, PS-Keys,
flash size, /etc lines), and its differences are named. A wave
stops, and no later wave starts, once the boards that went wrong exceed the limits. A board
whose /etc/data.txt already names the image's versions (its plan's version table), read as
the update's version check reads them, is not updated again.

Options:
  --waves LIST      each wave takes the rollout up to that many boards, or that share of
                    them (default 1,5%,25%,100%)
  --jobs N          boards updated at a time (default 4)
  --max-unexpected N|P%  halt once more boards than this ended unlike their plan, could
                    not be reached, or had no daemon answering (default 0: the first)
  --max-nok N|P%    halt once more boards than this ended NOK (default: no limit)
  --out DIR         the rollout's folder: its state (state.json), each board's fetched
                    files (boards/NAME/), the status (status.txt, status.json,
                    status.html) (default build/rollout)
  --resume          go on with the rollout of --out after a halt or an interruption: no
                    board that ran or began to run is updated again; --max-unexpected and
                    --max-nok may change
  --retry BOARD     with --resume: run BOARD again (repeatable): a board under way (once
                    its update is seen to have ended, or never to have begun), unreachable
                    or not answering
  --time-limit SECONDS  a board's whole session, after which it counts as not answering
                    (default 900)
  --timeout SECONDS how long aipeer waits for each answer on the board (default 120)
  --sshloginfile FILE  run the boards' sessions from the machines of FILE (GNU parallel's
                    --sshloginfile), each with this project at the same path
  --ssh COMMAND     how to reach a board (default: ssh -o BatchMode=yes; host keys are
                    checked as ssh checks them), run as COMMAND HOST SHELL_COMMAND
  --aipeer COMMAND  the peer tool on the board (default: aipeer)
  --capture-image PATH  for boards that take only signed images: the signed read-only
                    update (aipeer capture-image, mkupdate sign) at PATH on the board
  --build DIR       this PC's build, with the program rollout (default: build/host)
  --emulator CMD    run the build's rollout under CMD (a cross build)
  -h, --help        show this help
  -V, --version     show the version
Exit status:
  0  every board ended as its plan said (updated, NOK as planned, or already updated)
  1  the rollout halted, or a board ended unlike its plan, could not be reached or had no
     daemon answering
  2  usage error, or wrong input (a plan of another image, a board the plan lacks, a
     rollout already begun in --out without --resume)
  3  not every board has run (waves short of 100%, an interruption, a board under way)
TXT
}

usage_error() { echo "rollout.sh: $*" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# One board's sessions (run by GNU parallel, here or on another machine): its /etc/data.txt
# first, then the update; what came back stays in OUT/boards/NAME.
if [ "${1:-}" = --session ]; then
    shift
    out=$1 name=$2 host=$3 limit=$4 ssh_command=$5 remote=$6 image=$7
    read -ra ssh <<< "$ssh_command"
    dir=$out/boards/$name
    rm -rf "$dir" && mkdir -p "$dir" || exit 1
    status=0
    timeout "$limit" "${ssh[@]}" "$host" 'cat /etc/data.txt' > "$dir/data-before.txt" \
        2> "$dir/ssh.err" || status=$?
    echo "$status" > "$dir/data-status"
    echo "$name"
    exit 0
fi
if [ "${1:-}" = --update ]; then
    shift
    out=$1 name=$2 host=$3 limit=$4 ssh_command=$5 remote=$6 image=$7
    read -ra ssh <<< "$ssh_command"
    dir=$out/boards/$name
    mkdir -p "$dir" || exit 1
    status=0
    timeout "$limit" "${ssh[@]}" "$host" "$remote" < "$image" > "$dir/result.tar" \
        2>> "$dir/ssh.err" || status=$?
    echo "$status" > "$dir/ssh-status"
    if [ -s "$dir/result.tar" ]; then tar -xf "$dir/result.tar" -C "$dir" 2>> "$dir/ssh.err"; fi
    rm -f "$dir/result.tar"
    echo "$name"
    exit 0
fi

retries=() waves="" jobs=4 max_unexpected="" max_nok="" out=build/rollout resume="" limit=900 timeout=120
sshloginfile="" ssh_command="ssh -o BatchMode=yes" aipeer=aipeer capture_image="" emulator=""
build="$root/build/host" plan="" boards=""
value() { [ $# -ge 2 ] || usage_error "$1 needs a value (see --help)"; }
while [ $# -gt 0 ]; do
    case "$1" in
        --waves) value "$@"; waves=$2; shift 2 ;;
        --jobs) value "$@"; jobs=$2; shift 2 ;;
        --max-unexpected) value "$@"; max_unexpected=$2; shift 2 ;;
        --max-nok) value "$@"; max_nok=$2; shift 2 ;;
        --out) value "$@"; out=$2; shift 2 ;;
        --resume) resume=1; shift ;;
        --retry) value "$@"; retries+=("$2"); shift 2 ;;
        --time-limit) value "$@"; limit=$2; shift 2 ;;
        --timeout) value "$@"; timeout=$2; shift 2 ;;
        --sshloginfile) value "$@"; sshloginfile=$2; shift 2 ;;
        --ssh) value "$@"; ssh_command=$2; shift 2 ;;
        --aipeer) value "$@"; aipeer=$2; shift 2 ;;
        --capture-image) value "$@"; capture_image=$2; shift 2 ;;
        --build) value "$@"; build=$2; shift 2 ;;
        --emulator) value "$@"; emulator=$2; shift 2 ;;
        --plan) value "$@"; plan=$2; shift 2 ;;
        --boards) value "$@"; boards=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        -V|--version) exec "$root/scripts/project-version" rollout.sh ;;
        --) shift; break ;;
        -*) usage_error "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
[[ $jobs =~ ^[1-9][0-9]*$ ]] || usage_error "--jobs takes a number, not '$jobs'"
[[ $limit =~ ^[1-9][0-9]*$ ]] || usage_error "--time-limit takes seconds, not '$limit'"
[[ $timeout =~ ^[1-9][0-9]*$ ]] || usage_error "--timeout takes seconds, not '$timeout'"
[ -z "$sshloginfile" ] || [ -f "$sshloginfile" ] || usage_error "no file $sshloginfile"
[ -x "$build/rollout" ] || { echo "rollout.sh: $build/rollout not found (cmake --build --preset host)" >&2; exit 2; }
read -ra rollout <<< "$emulator"
rollout+=("$build/rollout")
limits=()
[ -z "$max_unexpected" ] || limits+=(--max-unexpected "$max_unexpected")
[ -z "$max_nok" ] || limits+=(--max-nok "$max_nok")
state=$out/state.json
if [ -n "$resume" ]; then
    if [ $# -ne 0 ] || [ -n "$plan" ] || [ -n "$boards" ] || [ -n "$waves" ]; then
        usage_error "--resume goes on with the rollout of --out as it began: no IMAGE, --plan, --boards or --waves"
    fi
    [ -f "$state" ] || usage_error "no rollout to resume in $out (no $state)"
    [ -f "$out/image" ] || usage_error "no image in $out"
    for board in "${retries[@]}"; do "${rollout[@]}" retry "$state" "$board" || exit 2; done
    "${rollout[@]}" "${limits[@]}" resume "$state" || exit 2
    image=$out/image
else
    [ ${#retries[@]} -eq 0 ] || usage_error "--retry goes with --resume"
    [ $# -eq 1 ] || usage_error "expected IMAGE (see --help)"
    if [ -z "$plan" ] || [ -z "$boards" ]; then usage_error "--plan and --boards are needed (see --help)"; fi
    [ -f "$1" ] || usage_error "no image $1"
    [ ! -e "$state" ] || usage_error "$out holds a rollout already: --resume goes on with it"
    mkdir -p "$out" || exit 2
    "${rollout[@]}" ${waves:+--waves "$waves"} "${limits[@]}" --plan "$plan" --boards "$boards" \
        --image "$1" init "$state" || exit 2
    # The image stays with the state, so that a resume sends the same bytes.
    cp "$1" "$out/image.new" && mv "$out/image.new" "$out/image" || exit 2
    image=$out/image
fi
out=$(cd "$out" && pwd) image=$out/image state=$out/state.json

# On the board (a POSIX shell): the image from standard input into a fresh folder of /tmp,
# the update followed to its final notice, then (once the daemon has answered) the board's
# state read by a capture; all of it back on standard output as tar, nothing left behind.
capture_option=""
[ -z "$capture_image" ] || capture_option="--image $capture_image"
remote="dir=\$(mktemp -d /tmp/rollout.XXXXXX) || exit 4
trap 'rm -rf \"\$dir\"' EXIT
cat > \"\$dir/update.img\" || exit 4
status=0
$aipeer --timeout $timeout --follow start \"\$dir/update.img\" > \"\$dir/peer.txt\" 2>&1 || status=\$?
echo \$status > \"\$dir/peer-status\"
rm -f \"\$dir/update.img\"
cp /tmp/update.log \"\$dir/update.log\" 2>/dev/null
if [ \$status -le 1 ]; then
    captured=0
    $aipeer --timeout $timeout $capture_option capture \"\$dir/board\" > \"\$dir/capture.txt\" 2>&1 || captured=\$?
    echo \$captured > \"\$dir/capture-status\"
fi
tar -cf - -C \"\$dir\" ."

# Runs one kind of session (--session, --update) on the boards named on standard input (NAME
# HOST, tab-separated), GNU parallel printing each board's name once its session is done.
sessions() {  # KIND
    local where=()
    if [ -n "$sshloginfile" ]; then
        where=(--sshloginfile "$sshloginfile" --basefile "$image" --return "$out/boards/{1}"
               --cleanup)
    fi
    parallel --quote --jobs "$jobs" --colsep '\t' "${where[@]}" --line-buffer \
        "$root/scripts/rollout.sh" "$1" "$out" '{1}' '{2}' "$limit" "$ssh_command" \
        "$remote" "$image"
}

trap 'echo "rollout.sh: interrupted; --resume goes on" >&2; exit 130' INT TERM
while next=$("${rollout[@]}" next "$state" 2>/dev/null) && [ -n "$next" ]; do
    wave=$(head -n 1 <<< "$next")
    echo "rollout.sh: wave $wave"
    # The boards whose /etc/data.txt names the image's versions already are not updated.
    tail -n +2 <<< "$next" | cut -f1,2 | sessions --session > /dev/null
    ready=()
    while IFS=$'\t' read -r name host _; do
        dir=$out/boards/$name
        if [ "$(cat "$dir/data-status" 2>/dev/null)" = 0 ] &&
            "${rollout[@]}" holds "$state" "$name" "$dir/data-before.txt"; then
            continue
        fi
        ready+=("$name"$'\t'"$host")
    done < <(tail -n +2 <<< "$next")
    # The updates, --jobs boards at a time: each marked under way before its session, and
    # recorded as it ends; once the rollout halts, no more start.
    for ((at = 0; at < ${#ready[@]}; at += jobs)); do
        batch=""
        for entry in "${ready[@]:at:jobs}"; do
            "${rollout[@]}" begin "$state" "${entry%%$'\t'*}" || break
            batch+=$entry$'\n'
        done
        [ -n "$batch" ] || break
        while read -r name; do
            "${rollout[@]}" record "$state" "$name" "$out/boards/$name"
        done < <(printf '%s' "$batch" | sessions --update)
    done
done

"${rollout[@]}" status --json "$out/status.json" --page "$out/status.html" "$state" > "$out/status.txt"
status=$?
cat "$out/status.txt"
exit $status
