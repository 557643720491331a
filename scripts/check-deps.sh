#!/bin/bash
# Checks that every program the scripts, CMake files, CI and tests run, and every shared library
# the built programs load, comes from a package that scripts/deps.sh installs, from one of
# theirs that pulls in, or from Debian's required ones: on a fresh machine nothing else is
# there, whatever this one has. Names each that doesn't, with its package; exit 1 then.
#   scripts/check-deps.sh [--all] [--fuzz] [--coverage] [--browser] [BUILD_DIR...]
# The options are deps.sh's; each BUILD_DIR's programs are looked at with ldd (a build for this
# machine's architecture: a cross build's libraries come from the cross packages).
set -euo pipefail
cd "$(dirname "$0")/.."
options=()
builds=()
for arg in "$@"; do
    case "$arg" in
        --all|--fuzz|--coverage|--browser) options+=("$arg") ;;
        -*) echo "check-deps.sh: unknown option $arg" >&2; exit 2 ;;
        *) builds+=("$arg") ;;
    esac
done

mapfile -t listed < <(scripts/deps.sh --list "${options[@]}")
closure=" $(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
            --no-breaks --no-replaces --no-enhances "${listed[@]}" 2>/dev/null |
            grep -v '^ ' | tr -d '<>' | sort -u | tr '\n' ' ') "
if [ "$closure" = "  " ]; then
    echo "check-deps.sh: apt-cache knows none of the packages (run apt-get update)" >&2
    exit 2
fi

# The packages of installed files, from one query of the package database for them all (a
# query per file took most of the check's minute). A file that no package installed is no
# package's; with /bin merged into /usr/bin, the database may know a program under either
# name. A diverted file's lines "diversion by PACKAGE from/to: PATH" are not its owner's.
declare -A owner=()
learn_owners() {  # PATH...
    local line path package
    [ $# -gt 0 ] || return 0
    while IFS= read -r line; do
        case "$line" in "diversion by "*) continue ;; esac
        path=${line##*: }
        package=${line%: *}
        package=${package%%:*}
        package=${package%%,*}
        [ -n "${owner[$path]:-}" ] || owner[$path]=$package
    done < <(dpkg -S "$@" 2>/dev/null || true)
}
# (After learn_owners: the package of a file, or nothing.)
package_of() {  # PATH
    echo "${owner[$1]:-${owner[${1#/usr}]:-}}"
}

# True when package is on a fresh machine once deps.sh has run.
provided() {
    case "$closure" in *" $1 "*) return 0 ;; esac
    case "$(dpkg-query -W -f='${Essential} ${Priority}' "$1" 2>/dev/null)" in
        yes*|*required|*important) return 0 ;;
    esac
    return 1
}

missing=()

# Programs: the command words of the shell scripts and CI (heredocs and comments left out), the
# commands of the CMake files, and those that the tests hand to the shell.
command_words() {
    local file
    for file in "$@"; do
        awk '
            heredoc != "" { if ($0 == heredoc || $0 ~ "^[ \t]*" heredoc "$") heredoc = ""; next }
            /<<-?[ \t]*'"'"'?[A-Z_]+'"'"'?/ {
                match($0, /<<-?[ \t]*'"'"'?[A-Z_]+/)
                heredoc = substr($0, RSTART, RLENGTH); sub(/^<<-?[ \t]*'"'"'?/, "", heredoc)
            }
            { sub(/(^|[ \t])#.*/, ""); print }
        ' "$file"
    done | grep -oE '(^[[:space:]]*|[|;&`]|\$\(|COMMAND[[:space:]]+|exec[[:space:]]+|then[[:space:]]+|do[[:space:]]+)[a-z][a-z0-9+._-]{2,}' |
        sed -E 's/^(.*[|;&`(]|[[:space:]]*COMMAND[[:space:]]+|[[:space:]]*(exec|then|do)[[:space:]]+|[[:space:]]*)//'
}
mapfile -t shell_files < <(git ls-files scripts sim .ci |
                            grep -vE '\.(cpp|h|psr|o|dfu)$|/[^/]*\.txt$' | grep -v '^sim/boards/')
cmake_commands=$(git ls-files CMakeLists.txt 'cmake/*.cmake' | xargs grep -hoE 'COMMAND[[:space:]]+[a-z][a-z0-9+._-]{2,}' |
                 awk '{ print $2 }')
# Each of | ; & ends a command: tr maps each of them to a line's end.
# shellcheck disable=SC2020
test_commands=$(git ls-files '*.cpp' | xargs grep -hoE '(system|popen)\(\(?"[^"]*' |
                sed -E 's/^[a-z]+\(\(?"//' | tr '|;&' '\n\n\n' | sed -E 's/^[[:space:]]*(cd [^ ]+ )?//')
# Each used file as "PATH WHAT": PATH resolved, WHAT what the message names.
uses=()
for word in $( { command_words "${shell_files[@]}"; printf '%s\n' "$cmake_commands";
                 printf '%s\n' "$test_commands" | awk '{ print $1 }'; } | sort -u); do
    path=$(command -v "$word" 2>/dev/null) || continue
    case "$path" in /usr/bin/*|/usr/sbin/*|/bin/*|/sbin/*) ;; *) continue ;; esac
    uses+=("$(readlink -f "$path") program $word")
done

# Libraries: what each built program of this machine's architecture loads.
for build in "${builds[@]}"; do
    [ -d "$build" ] || { echo "check-deps.sh: no build folder $build" >&2; exit 2; }
    while read -r program; do
        while read -r library; do
            uses+=("$(readlink -f "$library") library $library, loaded by $program")
        done < <(ldd "$program" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// { print $3 }')
    done < <(find "$build" -maxdepth 2 -type f -perm -u+x -newer "$build/CMakeCache.txt" \
                  -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print 2>/dev/null)
done

paths=()
for use in "${uses[@]}"; do paths+=("${use%% *}"); done
mapfile -t paths < <(printf '%s\n' "${paths[@]}" | sort -u)
learn_owners "${paths[@]}"
unknown=()
for path in "${paths[@]}"; do
    [ -n "$(package_of "$path")" ] || [ "${path#/usr}" = "$path" ] || unknown+=("${path#/usr}")
done
learn_owners "${unknown[@]}"
for use in "${uses[@]}"; do
    package=$(package_of "${use%% *}")
    [ -n "$package" ] || continue
    what=${use#* }
    case "$what" in
        program*) provided "$package" || missing+=("$what ($package)") ;;
        *) provided "$package" || missing+=("${what%%,*} ($package),${what#*,}") ;;
    esac
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "check-deps.sh: a fresh machine set up by scripts/deps.sh ${options[*]} lacks:" >&2
    printf '  %s\n' "${missing[@]}" | sort -u >&2
    exit 1
fi
echo "check-deps.sh: every program and library used comes from scripts/deps.sh ${options[*]}"
