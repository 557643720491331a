#!/bin/bash
# A picture of a page as a reader's browser draws it: Debian's Chromium without a screen
# (scripts/deps.sh --browser installs it), to look at a rehearsal's plan.html before
# calling it done.
#   scripts/page-screenshot.sh [--width PX] [--height PX] PAGE PNG
# The browser starts with a new, empty profile of its own and reaches for nothing outside:
# no network, no updates, no sync, no first-run pages.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

usage() {
    cat <<'TXT'
Usage: page-screenshot.sh [--width PX] [--height PX] PAGE PNG
Draws the HTML file PAGE in headless Chromium and writes what a window of the given size
shows (its top; a taller window takes in more of the page) to PNG.

Options:
  --width PX    the window's width (default 1280)
  --height PX   the window's height (default 1600)
  -h, --help    show this help
  -V, --version show the version

Exit status: 0 the picture was written; 1 the browser wrote none; 2 a usage error, a page
that can't be read, or no Chromium (scripts/deps.sh --browser installs it).
TXT
}

fail() {
    echo "page-screenshot.sh: $1" >&2
    exit "${2:-2}"
}

width=1280 height=1600
while [ $# -gt 0 ]; do
    case "$1" in
        --width|--height)
            [[ ${2:-} =~ ^[1-9][0-9]{0,4}$ ]] || fail "$1 takes a number of pixels"
            if [ "$1" = --width ]; then width=$2; else height=$2; fi
            shift 2 ;;
        -h|--help) usage; exit 0 ;;
        -V|--version) exec "$root/scripts/project-version" page-screenshot.sh ;;
        --) shift; break ;;
        -*) fail "unknown option $1 (see --help)" ;;
        *) break ;;
    esac
done
[ $# -eq 2 ] || fail "expected PAGE and PNG (see --help)"
page=$1 png=$2
{ [ -f "$page" ] && [ -r "$page" ]; } || fail "$page: no page to read there"
browser=$(command -v chromium || command -v chromium-browser) ||
    fail "no Chromium here: scripts/deps.sh --browser installs it"
png_dir=$(cd "$(dirname "$png")" && pwd) || fail "$png: no folder to write it in"
png_path="$png_dir/$(basename "$png")"
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
rm -f "$png_path"
"$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --hide-scrollbars --window-size="$width,$height" \
    --screenshot="$png_path" "file://$(realpath "$page")" >"$profile/browser.log" 2>&1 || true
if [ ! -s "$png_path" ]; then
    cat "$profile/browser.log" >&2
    fail "$png: the browser wrote no picture" 1
fi
