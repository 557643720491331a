#!/bin/bash
# The tools' manual pages, made with help2man from their --help and --version. The board's
# build can't run its own programs, so the pages live in the tree (man/) and are installed from
# there; the host suite checks that they still say what --help says, and that mandoc finds
# nothing in them to warn of.
#   scripts/man-pages.sh MKUPDATE AIPEER            writes man/mkupdate.1 and man/aipeer.1
#   scripts/man-pages.sh --check MKUPDATE AIPEER    fails when a page differs from what the
#                                                   programs say now (the month aside)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
check=""
if [ "${1:-}" = "--check" ]; then check=yes; shift; fi
[ $# -eq 2 ] || { echo "usage: man-pages.sh [--check] MKUPDATE AIPEER" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
page() {  # program path, name, summary
    # The first line of --version only: the next names the commit, which each commit changes.
    help2man --no-info --no-discard-stderr --name "$3" \
        --version-string "$("$1" --version | head -n 1)" --output "$work/$2.1" "$1"
    # help2man dates a page "Month Year", which man pages' readers can't parse: the first of
    # that month, as a date they read.
    local month
    month=$(sed -n 's/^\.TH [^ ]* "[^"]*" "\([A-Z][a-z]* [0-9]*\)".*/\1/p' "$work/$2.1")
    [ -z "$month" ] || sed -i "/^\.TH /s/\"$month\"/\"$(date -d "1 $month" +%Y-%m-%d)\"/" "$work/$2.1"
    if ! mandoc -T lint -W warning "$work/$2.1" >&2; then
        echo "man-pages: mandoc warns of the page of $2 --help" >&2
        status=1
    fi
    if [ -z "$check" ]; then
        cp "$work/$2.1" "$here/man/$2.1"
        echo "man-pages: wrote man/$2.1"
    elif ! diff -u <(sed '/^\.TH /s/"[0-9]*-[0-9]*-01"/"MONTH"/' "$here/man/$2.1") \
                   <(sed '/^\.TH /s/"[0-9]*-[0-9]*-01"/"MONTH"/' "$work/$2.1"); then
        echo "man-pages: man/$2.1 differs from $2 --help; run scripts/man-pages.sh" >&2
        status=1
    fi
}
page "$1" mkupdate "build, check and list update images of the BT-LAP update daemon"
page "$2" aipeer "talk to the BT-LAP update daemon as its peer"
exit $status
