#!/bin/bash
# The board's daemon within its budget: builds update_process for the board in the build type
# MinSizeRel (build/ppc-MinSizeRel, the build CI makes), strips a copy as it goes onto the
# board and prints its text, data and bss, and from the link's map (update_process.map) what
# each object brings to that text: its code and its read-only data, largest first, then what
# the linker adds (library call stubs, relocations, dynamic symbols). Fails when its text
# exceeds 96 KiB, or when it needs a shared library beyond the C and C++ runtime (libc, libm,
# libstdc++, libgcc_s and the dynamic loader).
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

# The map lists every section the link kept under the output section it went into, as
# " NAME ADDRESS SIZE FILE" or, for a long name, " NAME" with the rest on the next line.
# Code: what went into .init, .text and .fini; read-only data: .rodata and the unwind tables,
# the latter as each object brought it, before the link kept one copy of each string that
# several objects hold (a row of its own). The rest of the text is the linker's: relocations,
# the dynamic symbols and their names, the program's headers.
section_bytes() {
    powerpc-linux-gnu-readelf -SW "$stripped" | sed -n 's/^ *\[ *[0-9]*\] //p' |
        awk -v pattern="$1" '
            $1 ~ pattern {
                for (i = 1; i <= length($5); i++)
                    bytes = bytes * 16 + index("0123456789abcdef", substr($5, i, 1)) - 1
                total += bytes; bytes = 0
            }
            END { print total + 0 }'
}
relocations=$(section_bytes '^\.rela\.')
symbols=$(section_bytes '^\.(dynsym|dynstr|gnu\.hash|gnu\.version.*)$')
read_only=$(section_bytes '^\.(rodata|rodata1|eh_frame|eh_frame_hdr)$')
echo "what each object brings to the text (code, read-only data: bytes; share of $text):"
awk -v total="$text" -v relocations="$relocations" -v symbols="$symbols" \
    -v read_only="$read_only" '
    function number(hex,   digits, n, i) {
        digits = tolower(substr(hex, 3))
        for (i = 1; i <= length(digits); i++)
            n = n * 16 + index("0123456789abcdef", substr(digits, i, 1)) - 1
        return n + 0
    }
    function keep(name, file, size) {
        # The stubs for calls into the shared libraries come under the first object.
        if (name == ".glink") file = "(linker: stubs for calls into shared libraries)"
        sub(/.*\//, "", file)
        if (output ~ /^\.(init|text|fini)$/) code[file] += size
        else if (output ~ /^\.(rodata|rodata1|eh_frame|eh_frame_hdr)$/) {
            data[file] += size
            data_counted += size
        } else return
        seen[file] = 1
    }
    function row(bytes, codeBytes, dataBytes, label) {
        printf "%d\t%7d %7d %5.1f%%  %s\n", bytes, codeBytes, dataBytes, 100 * bytes / total, label
    }
    /^Linker script and memory map/ { mapped = 1; next }
    !mapped { next }
    /^[^ ]/ { output = $1; pending = ""; next }
    /^ [^ *]/ && NF == 1 { pending = $1; next }
    /^ [^ *]/ && NF >= 4 && $2 ~ /^0x/ && $3 ~ /^0x/ { keep($1, $4, number($3)) }
    pending != "" && NF >= 3 && $1 ~ /^0x/ && $2 ~ /^0x/ { keep(pending, $3, number($2)) }
    { pending = "" }
    END {
        for (file in seen) {
            row(code[file] + data[file], code[file], data[file], file)
            counted += code[file] + data[file]
        }
        merged = read_only - data_counted
        row(merged, 0, merged, "(linker: strings held by several objects, kept once)")
        row(relocations, 0, relocations, "(linker: relocations)")
        row(symbols, 0, symbols, "(linker: dynamic symbols, their names and versions)")
        rest = total - counted - merged - relocations - symbols
        row(rest, 0, rest, "(linker: headers, notes, padding)")
    }' "$build/update_process.map" | sort -t "$(printf '\t')" -k1,1nr -k2 | cut -f2-

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
