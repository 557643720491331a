#!/bin/bash
# Installs a build into a scratch root file system (DESTDIR, prefix /usr) and makes its CPack
# tarball, and checks that both hold the daemon as usr/sbin/update_process and the tools
# as usr/bin/mkupdate and usr/bin/aipeer, and nothing else.
#   scripts/install-check.sh BUILD_FOLDER      (a configured and built folder, e.g. build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: install-check.sh BUILD_FOLDER}
build=$(cd "$build" && pwd)
expected=$'usr/bin/aipeer\nusr/bin/mkupdate\nusr/sbin/update_process'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
check() {  # what, listing
    if [ "$2" = "$expected" ]; then
        echo "install-check: $1 holds $(echo $2)"
    else
        echo "install-check: $1 holds other files than expected:"
        diff <(echo "$expected") <(echo "$2") || true
        status=1
    fi
}

DESTDIR="$work/rootfs" cmake --install "$build" --prefix /usr >/dev/null
check "cmake --install (DESTDIR, prefix /usr)" \
      "$(cd "$work/rootfs" && find . \( -type f -o -type l \) | sed 's#^\./##' | sort)"

(cd "$build" && cpack -B "$work/package" >/dev/null)
tarball=$(find "$work/package" -maxdepth 1 -name '*.tar.gz')
echo "install-check: cpack made $(basename "$tarball")"
check "the package" "$(tar -tzf "$tarball" | grep -v '/$' | sed 's#^\./##' | sort)"
exit $status
