#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, and only those that are missing,
# so that a second run costs a few dpkg queries and nothing else.
#
#   setup.sh demo   what building the module and running the demo needs
#   setup.sh test   that, plus what the whole test suite needs (sanitizer runtimes,
#                   MinGW-w64, dpkg-dev (for Qt's source) and Wine for the Windows run,
#                   clang for fuzzing)
set -euo pipefail

profile=${1:-test}

# googletest is the source of the Win32 conformance suite, which every configuration includes.
pkgs=(cmake ninja-build g++ make pkg-config qtbase5-dev qtbase5-dev-tools googletest)
if [ "$profile" = test ]; then
    pkgs+=(libbenchmark-dev
           g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev
           clang libclang-rt-14-dev procps python3)
fi

missing=()
for p in "${pkgs[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
