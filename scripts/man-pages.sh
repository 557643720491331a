#!/bin/bash
# The manual pages of the programs people run, made with help2man from their --help and
# --version, and from man/PROGRAM.h2m: the sections that --help has no room for (FILES,
# EXAMPLES, SEE ALSO). The "Exit status:" paragraph of --help becomes the page's EXIT STATUS.
# The board's build can't run its own programs, so the pages live in the tree (man/) and are
# installed from there (aipeer's and mkupdate's); the host suite checks that they still say
# what --help says, that each has its sections, and that mandoc finds nothing in them to warn
# of.
#   scripts/man-pages.sh BUILD            writes man/PROGRAM.1 for every program below
#   scripts/man-pages.sh --check BUILD    fails when a page differs from what the programs say
#                                         now (the month aside)
# BUILD is a host build folder, with mkupdate, aipeer, rehearse and powercut.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
check=""
if [ "${1:-}" = "--check" ]; then check=yes; shift; fi
[ $# -eq 1 ] || { echo "usage: man-pages.sh [--check] BUILD" >&2; exit 2; }
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
sections=("NAME" "SYNOPSIS" "DESCRIPTION" "EXIT STATUS" "FILES" "EXAMPLES" "SEE ALSO")
page() {  # program path, name, summary
    local program=$1 name=$2 out="$work/$2.1"
    # The first line of --version only: the next names the commit, which each commit changes.
    help2man --no-info --no-discard-stderr --name "$3" --include "$here/man/$name.h2m" \
        --version-string "$("$program" --version | head -n 1)" --output "$out" "$program"
    # help2man dates a page "Month Year", which man pages' readers can't parse: the first of
    # that month, as a date they read.
    local month
    month=$(sed -n 's/^\.TH [^ ]* "[^"]*" "\([A-Z][a-z]* [0-9]*\)".*/\1/p' "$out")
    [ -z "$month" ] || sed -i "/^\.TH /s/\"$month\"/\"$(date -d "1 $month" +%Y-%m-%d)\"/" "$out"
    # --help ends with its exit status, as a paragraph or a list under "Exit status:": the
    # page's section of that name.
    perl -0pi -e 's/^\.PP\nExit status: */.SH "EXIT STATUS"\n/m; s/^\.SS "Exit status:"$/.SH "EXIT STATUS"/m' "$out"
    local section
    for section in "${sections[@]}"; do
        if ! grep -Eq "^\.SH \"?$section\"?$" "$out"; then
            echo "man-pages: the page of $name has no $section" >&2
            status=1
        fi
    done
    if ! mandoc -T lint -W warning "$out" >&2; then
        echo "man-pages: mandoc warns of the page of $name" >&2
        status=1
    fi
    if [ -z "$check" ]; then
        cp "$out" "$here/man/$name.1"
        echo "man-pages: wrote man/$name.1"
    elif ! diff -u <(sed '/^\.TH /s/"[0-9]*-[0-9]*-01"/"MONTH"/' "$here/man/$name.1") \
                   <(sed '/^\.TH /s/"[0-9]*-[0-9]*-01"/"MONTH"/' "$out"); then
        echo "man-pages: man/$name.1 differs from $name --help; run scripts/man-pages.sh" >&2
        status=1
    fi
}
page "$build/mkupdate" mkupdate "build, check and list update images of the BT-LAP update daemon"
page "$build/aipeer" aipeer "talk to the BT-LAP update daemon as its peer"
page "$build/rehearse" rehearse "report what an update did in a rehearsal's runs"
page "$here/scripts/rehearse.sh" rehearse.sh "rehearse an update on simulated twins of real boards"
page "$here/scripts/capture-board.sh" capture-board.sh "capture a board's state into a board folder"
page "$here/sim/seed-board" seed-board "seed the simulated board from a board's folder"
page "$here/sim/make-fleet" make-fleet "make a fleet of board folders for a rehearsal"
page "$here/sim/board-run" board-run "run a command on the simulated board"
page "$here/scripts/page-screenshot.sh" page-screenshot.sh "draw a rehearsal's page in headless Chromium"
page "$here/scripts/fleet-benchmark.sh" fleet-benchmark.sh "time and measure the plan of a large fleet"
page "$build/powercut" powercut "build and check the states a power cut could leave in the board's /etc"
page "$here/scripts/power-cut-check.sh" power-cut-check.sh "check an update against power cuts at every write under /etc"
exit $status
