#!/bin/bash
# Captures a board's state from this PC into a board folder that a rehearsal takes: over ssh,
# "aipeer capture" on the board runs the read-only update and writes the folder in the
# board's /tmp, which comes back here in one tar stream; the board keeps nothing of it.
#   scripts/capture-board.sh [OPTIONS] HOST DIR
set -euo pipefail

usage() {
    cat <<'TXT'
Usage: capture-board.sh [OPTIONS] HOST DIR
Captures the state of the board HOST into DIR, a new board folder as a rehearsal takes it
(scripts/rehearse.sh --board DIR). Over ssh, "aipeer capture" on the board runs the
read-only update (its one step reads the module's PS-Keys; nothing on the board changes)
and writes the folder: module.psr (the dump, with the firmware and start lines), etc/ (the
board's /etc files, its update keys and security version) and flash (the flash's size).
The folder is fetched into DIR and seeded once (sim/seed-board), which shows what a
rehearsal of it will take from the sample board.

Options:
  --sign KEY.pem  for a board that takes only signed images: sign the read-only update
                  (made by this build's aipeer capture-image) with the makers' key
                  (mkupdate sign)
  --security-version N  with --sign: the security version to sign with, the
                        board's own: a lower one is refused, a higher one raises the
                        board's
  --passin ARG    with --sign: the passphrase of KEY.pem, as mkupdate takes it
  --image IMAGE   run IMAGE, the read-only update signed already, in place of aipeer's own
  --flash         also fetch the flash's contents (DIR/flash.bin); the board's /tmp must
                  hold them for a moment
  --follow        show the update's steps as it runs
  --timeout SECONDS  how long aipeer waits for each answer (default 120)
  --ssh COMMAND   how to reach the board (default: ssh), run as COMMAND HOST SHELL_COMMAND
  --aipeer COMMAND  the peer tool on the board (default: aipeer)
  --build DIR     this PC's build, with aipeer and mkupdate for --sign (default: build/host)
  -h, --help      show this help
  -V, --version   show the version
Exit status:
  0  the board is captured into DIR
  1  the capture failed on the board (the read-only update ended NOK, or the folder could
     not be written) or here (the image could not be signed, the folder does not seed);
     when the board refused the update for its signature, what to capture with is said
     (--sign KEY.pem, --security-version N)
  2  usage error, an image that is not the read-only update, or DIR exists
  3  the board's daemon did not answer in time
  4  the board could not be reached (ssh failed) or its shell failed
TXT
}

usage_error() { echo "capture-board.sh: $*" >&2; exit 2; }
fail() { echo "capture-board.sh: $*" >&2; exit 1; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ssh_command=ssh aipeer=aipeer build="$root/build/host" key="" security_version="" passin=""
image="" flash="" follow="" timeout=120
value() { [ $# -ge 2 ] || usage_error "$1 needs a value (see --help)"; }
while [ $# -gt 0 ]; do
    case "$1" in
        --sign) value "$@"; key=$2; shift 2 ;;
        --security-version) value "$@"; security_version=$2; shift 2 ;;
        --passin) value "$@"; passin=$2; shift 2 ;;
        --image) value "$@"; image=$2; shift 2 ;;
        --flash) flash=--flash; shift ;;
        --follow) follow=--follow; shift ;;
        --timeout) value "$@"; timeout=$2; shift 2 ;;
        --ssh) value "$@"; ssh_command=$2; shift 2 ;;
        --aipeer) value "$@"; aipeer=$2; shift 2 ;;
        --build) value "$@"; build=$2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        -V|--version) exec "$root/scripts/project-version" capture-board.sh ;;
        --) shift; break ;;
        -*) usage_error "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
[ $# -eq 2 ] || usage_error "expected HOST DIR (see --help)"
host=$1 dir=$2
[ -z "$key" ] || [ -z "$image" ] || usage_error "--sign and --image: one image at a time"
if [ -z "$key" ] && { [ -n "$security_version" ] || [ -n "$passin" ]; }; then
    usage_error "--security-version and --passin go with --sign"
fi
[[ $timeout =~ ^[1-9][0-9]*$ ]] || usage_error "--timeout takes seconds, not '$timeout'"
[ -z "$image" ] || [ -f "$image" ] || usage_error "no image $image"
if [ -e "$dir" ] || [ -L "$dir" ]; then usage_error "$dir exists: the capture makes it"; fi
parent=$(dirname "$dir")
[ -d "$parent" ] || usage_error "no folder $parent for $dir"
read -ra ssh <<< "$ssh_command"

# The work folder beside DIR, so that the fetched folder is renamed into place.
work=$(mktemp -d "$parent/.capture-board.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ -n "$key" ]; then
    for program in aipeer mkupdate; do
        [ -x "$build/$program" ] || fail "$build/$program not found (cmake --build --preset host)"
    done
    image=$work/capture.img
    "$build/aipeer" capture-image "$image"
    "$build/mkupdate" sign --key "$key" ${security_version:+--security-version "$security_version"} \
        ${passin:+--passin "$passin"} "$image" || fail "the read-only update could not be signed"
fi

# On the board (a POSIX shell): the folder in a fresh folder of /tmp, aipeer's output on
# standard error, the folder on standard output as tar, and nothing left behind. The image,
# when there is one, comes on standard input.
image_option=""
[ -z "$image" ] || image_option="--image -"
remote="board=\$(mktemp -d /tmp/capture.XXXXXX) || exit 4
trap 'rm -rf \"\$board\"' EXIT
$aipeer --timeout $timeout $follow $flash $image_option capture \"\$board/board\" >&2 || exit \$?
tar -cf - -C \"\$board\" board || exit 4"

# What to do when the board refused the read-only update for its signature, from aipeer's
# words (on standard error, shown as they come and kept for this).
signature_hint() {
    local version
    if [ -z "$key" ] && [ -z "$image" ] &&
        grep -q "aipeer's read-only update is unsigned" "$work/board.err"; then
        echo "capture-board.sh: $host takes only signed images: capture with --sign KEY.pem" \
            "(the makers' key)"
    fi
    version=$(sed -n "s/.*the board's security version is \([0-9]*\):.*/\1/p" \
        "$work/board.err" | head -n 1)
    if [ -n "$version" ]; then
        echo "capture-board.sh: $host's security version is $version: capture with" \
            "--sign KEY.pem --security-version $version"
    fi
}

set +e
"${ssh[@]}" "$host" "$remote" < "${image:-/dev/null}" 2>&1 > "$work/board.tar" |
    tee "$work/board.err" >&2
status=${PIPESTATUS[0]}
set -e
case $status in
    0) ;;
    1|2|3) echo "capture-board.sh: the capture on $host failed (aipeer's exit status $status)" >&2
           signature_hint >&2
           exit "$status" ;;
    *) echo "capture-board.sh: $host could not be reached, or its shell failed (status $status)" >&2
       exit 4 ;;
esac
tar -xf "$work/board.tar" -C "$work" --no-same-owner ||
    fail "what came from $host is not the board's folder"
[ -f "$work/board/module.psr" ] || fail "what came from $host holds no module.psr"
# What a rehearsal of it will take from the sample board.
if ! "$root/sim/seed-board" "$work/board" "$work/state" "$work/etc" > "$work/seed.txt"; then
    fail "the folder fetched from $host does not seed (sim/seed-board)"
fi
mv "$work/board" "$dir"
echo "capture-board.sh: $host captured into $dir"
sed 's/^/  /' "$work/seed.txt"
