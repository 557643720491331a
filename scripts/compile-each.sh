#!/bin/bash
# Every source of the daemon, the simulated board, the tools and the fuzz harnesses compiled
# on its own, as no build does: the rehearsal tool's sources compile as one unit (UNITY_BUILD),
# where a source that misses an include of its own still builds on what the sources before it
# included, and the harnesses build only with clang's libFuzzer, at the end of CI. A
# configure without the unity builds (BTLAP_UNITY=OFF) lists each source's command line in
# compile_commands.json; each runs with -fsyntax-only, which parses and checks the whole
# source, templates instantiated, and writes nothing. Nothing is linked or run.
# With --tests, the test programs' sources too, without their precompiled headers (more than
# three times the work).
#   scripts/compile-each.sh [--tests] [BUILD_FOLDER]     (default build/compile-each)
set -euo pipefail
cd "$(dirname "$0")/.."
tests=OFF
if [ "${1:-}" = --tests ]; then
    tests=ON
    shift
fi
build=${1:-build/compile-each}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DBTLAP_WERROR=ON -DBTLAP_TESTS="$tests" \
      -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON -DBTLAP_UNITY=OFF -DCMAKE_UNITY_BUILD=OFF \
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DBTLAP_COMPILE_EACH=ON >/dev/null
# One NUL-terminated shell command a source, in the folder its build runs in: the build's own
# line, its output option dropped; the generated sources (the build stamp) are left out.
python3 - "$build/compile_commands.json" "$PWD" "$(realpath "$build")" >"$build/compile-each.commands" <<'PYTHON'
import json, shlex, sys
entries = json.load(open(sys.argv[1]))
root, generated = sys.argv[2] + "/", sys.argv[3] + "/"
for entry in entries:
    if not entry["file"].startswith(root) or entry["file"].startswith(generated):
        continue
    words = shlex.split(entry["command"])
    kept = []
    skip = False
    for word in words:
        if skip:
            skip = False
        elif word == "-o":
            skip = True
        else:
            kept.append(word)
    line = "cd " + shlex.quote(entry["directory"]) + " && " + shlex.join(kept + ["-fsyntax-only"])
    sys.stdout.write(line + "\0")
PYTHON
count=$(tr -cd '\0' <"$build/compile-each.commands" | wc -c)
echo "compile-each: $count sources, each on its own"
# Every failure is shown, not only the first. (The command is the child shell's to expand.)
# shellcheck disable=SC2016
if ! xargs -0 -n 1 -P "$(nproc)" bash -c 'eval "$1"' compile-each <"$build/compile-each.commands"; then
    echo "compile-each: a source does not compile on its own (above)" >&2
    exit 1
fi
