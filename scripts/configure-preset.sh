#!/bin/bash
# Configures a preset's build folder only when it needs it: when it has no cache yet or the
# presets changed since: a changed CMakeLists.txt is seen by the build itself, and configuring
# on every run would only cost time.
#   scripts/configure-preset.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
folder=build/$preset
stamp=$(cat CMakePresets.json cmake/powerpc-linux-gnu.cmake | sha256sum | cut -d' ' -f1)
if [ -f "$folder/CMakeCache.txt" ] && [ -f "$folder/Makefile" ] &&
   [ "$(cat "$folder/preset.stamp" 2>/dev/null)" = "$stamp" ]; then
    exit 0
fi
cmake --preset "$preset" >/dev/null
echo "$stamp" >"$folder/preset.stamp"
