#!/bin/bash
# Installs what building and testing need on Debian 12, when it is missing.
#   scripts/deps.sh          what the simulated board and the host tests need, and CI's
#                            checks of the sources (clang-format, shellcheck)
#   scripts/deps.sh --all    also the sanitizers' and the PowerPC target's tools
#   scripts/deps.sh --fuzz   also clang and its libFuzzer (scripts/fuzz.sh)
#   scripts/deps.sh --coverage   also gcovr (scripts/coverage.sh)
#   scripts/deps.sh --browser    also Chromium, to look at a rehearsal's page as a browser
#                                draws it (scripts/page-screenshot.sh); no test needs it
#   scripts/deps.sh --list [OPTION...]   prints the packages of those options, one a line,
#                                         and installs nothing (scripts/check-deps.sh)
set -euo pipefail
packages=(cmake make g++ bubblewrap googletest libgtest-dev libbenchmark-dev zlib1g-dev gzip tar bluez-hcidump help2man mandoc git openssl libssl-dev nlohmann-json3-dev python3-jsonschema parallel time clang-format shellcheck)
list=0
for option in "$@"; do
    case "$option" in
        --list) list=1 ;;
        --all) packages+=(qemu-user g++-powerpc-linux-gnu libc6-dev-powerpc-cross) ;;
        --fuzz) packages+=(clang libclang-rt-dev libssl-dev) ;;
        --coverage) packages+=(gcovr) ;;
        --browser) packages+=(chromium) ;;
        *) echo "deps.sh: unknown option $option" >&2; exit 2 ;;
    esac
done
if [ $list -eq 1 ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
