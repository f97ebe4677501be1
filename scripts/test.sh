#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the plain build's whole suite;
#   2. the same suite built with AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the transport's and the Win32 layer's suites under ThreadSanitizer;
#   4. the Windows build (MinGW-w64 against a Qt cross-built from Debian's source, the real
#      <windows.h>): the module's suites, the end-to-end suite, the demo's tour and the Win32
#      conformance suite, run under Wine;
#   5. the inbound fuzz target (frames, text form, dispatch) for a bounded time, and the benchmark's smoke mode.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test

jobs=$(nproc)
export CTEST_PARALLEL_LEVEL=$jobs
started=$(date +%s)
stage() { echo; echo "=== $1 ($(( $(date +%s) - started )) s so far)"; }

build_and_test() {
    local preset=$1; shift
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" "$@"
}

stage "plain build: every test"
build_and_test default

stage "AddressSanitizer + UndefinedBehaviorSanitizer build: every test"
# The soak runs its full minute in the plain stage; here a shorter one is enough for the checkers.
KK_SOAK_SECONDS=${KK_SOAK_SECONDS:-20} \
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    build_and_test asan

stage "ThreadSanitizer build: transport and Win32 layer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target kk_tsan_suite
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1} suppressions=$PWD/tests/tsan.supp" \
    ctest --preset tsan

stage "Windows: Qt cross-built for MinGW-w64 from Debian's source (about 8 minutes once, then cached)"
KK_QT_MINGW_PREFIX=$(bash scripts/qt-mingw.sh)
export KK_QT_MINGW_PREFIX

stage "Windows build (module, host stand-ins, simulator, demo, suites, Win32 conformance) run under Wine"
build_and_test windows

stage "fuzzing the inbound path: frames, message text form, dispatch (bounded)"
bash scripts/fuzz.sh "${KK_FUZZ_SECONDS:-30}"

stage "benchmark smoke run"
build/default/bin/kk-bench --smoke

stage "all tests passed"
