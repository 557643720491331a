#!/bin/bash
# The board's daemon within its budget: builds update_process for the board in the build type
# MinSizeRel (build/ppc-MinSizeRel, the build CI makes), strips a copy as it goes onto the
# board and prints its text, data and bss. Fails when its text exceeds 96 KiB, or when it
# needs a shared library beyond the C and C++ runtime (libc, libm, libstdc++, libgcc_s and the
# dynamic loader).
#   scripts/size-check.sh [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ppc-MinSizeRel}
text_budget=$((96 * 1024))
scripts/deps.sh --all
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel -DBTLAP_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake >/dev/null
cmake --build "$build" -j"$(nproc)" --target update_process >/dev/null

stripped=$build/update_process.stripped
powerpc-linux-gnu-strip -o "$stripped" "$build/update_process"
read -r text data bss _ < <(powerpc-linux-gnu-size "$stripped" | tail -n 1)
bytes=$(stat -c %s "$stripped")
echo "update_process (board, MinSizeRel, stripped): text $text, data $data, bss $bss bytes;" \
     "file $bytes bytes"
status=0
if [ "$text" -gt "$text_budget" ]; then
    echo "size-check: text of $text bytes is over the budget of $text_budget bytes (96 KiB)"
    status=1
else
    echo "size-check: text within the budget of $text_budget bytes (96 KiB):" \
         "$((text_budget - text)) bytes to spare"
fi

needed=$(powerpc-linux-gnu-readelf -d "$stripped" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
echo "needs: ${needed//$'\n'/ }"
for library in $needed; do
    case "$library" in
        libc.so.*|libm.so.*|libstdc++.so.*|libgcc_s.so.*|ld.so.*|ld-linux*.so.*) ;;
        *) echo "size-check: needs $library, which is not part of the C or C++ runtime"
           status=1 ;;
    esac
done
exit $status
