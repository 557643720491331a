#!/bin/bash
# Installs a build into scratch root file systems (DESTDIR, prefix /usr), whole and component
# by component, makes its CPack tarball twice, and checks that
#   - the component "daemon" holds usr/sbin/update_process alone,
#   - the component "peer" holds usr/bin/aipeer and its manual page,
#   - the component "host" holds usr/bin/mkupdate and its manual page (nothing on a cross
#     build, which has no mkupdate), and the whole installation those three,
#   - the package holds the board's two components and nothing else, and two runs of cpack
#     give the same bytes.
#   scripts/install-check.sh BUILD_FOLDER      (a configured and built folder, e.g. build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: install-check.sh BUILD_FOLDER}
build=$(cd "$build" && pwd)
daemon='usr/sbin/update_process'
peer=$'usr/bin/aipeer\nusr/share/man/man1/aipeer.1'
host=""
if [ -e "$build/mkupdate" ]; then host=$'usr/bin/mkupdate\nusr/share/man/man1/mkupdate.1'; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
check() {  # what, expected listing, listing
    if [ "$3" = "$2" ]; then
        echo "install-check: $1 holds ${3//$'\n'/ }"
    else
        echo "install-check: $1 holds other files than expected:"
        diff <(echo "$2") <(echo "$3") || true
        status=1
    fi
}
files() { (cd "$1" && find . \( -type f -o -type l \) | sed 's#^\./##' | sort); }
joined() { printf '%s\n' "$@" | sed '/^$/d' | sort; }

DESTDIR="$work/all" cmake --install "$build" --prefix /usr >/dev/null
check "cmake --install (DESTDIR, prefix /usr)" "$(joined "$daemon" "$peer" "$host")" \
      "$(files "$work/all")"
for component in daemon peer host; do
    mkdir -p "$work/$component"
    DESTDIR="$work/$component" cmake --install "$build" --prefix /usr \
        --component "$component" >/dev/null
    check "the component $component" "$(joined "${!component}")" "$(files "$work/$component")"
done

(cd "$build" && cpack -B "$work/package" >/dev/null)
tarball=$(find "$work/package" -maxdepth 1 -name '*.tar.gz')
echo "install-check: cpack made $(basename "$tarball")"
check "the package" "$(joined "$daemon" "$peer")" \
      "$(tar -tzf "$tarball" | grep -v '/$' | sed 's#^\./##' | sort)"
sleep 1  # a package that took the time of the run would differ now
(cd "$build" && cpack -B "$work/again" >/dev/null)
if cmp -s "$tarball" "$work/again/$(basename "$tarball")"; then
    echo "install-check: a second cpack run gives the same bytes"
else
    echo "install-check: a second cpack run gives other bytes"
    status=1
fi
exit $status
