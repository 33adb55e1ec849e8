#!/bin/bash
# Builds the fuzz targets with clang (CXX_FUZZ, default clang++, and its C
# compiler beside it) and runs
# each for FUZZ_SECONDS (or --seconds) from its seed corpus, when it has one,
# and a working corpus in the build tree; a failing input is saved under
# <build>/artifacts/. --build-only builds and stops; --smoke runs each target
# on 50 inputs made from nothing.
#   fuzz/run.sh [--build DIR] [--seconds N] [--build-only | --smoke] [TARGET...]
set -uo pipefail
src=$(cd "$(dirname "$0")" && pwd) build=$src/../build/fuzz seconds=${FUZZ_SECONDS:-60} only= smoke=
while (($#)); do
    case $1 in
    --build) build=$2 && shift 2 ;;
    --seconds) seconds=$2 && shift 2 ;;
    --build-only) only=1 && shift ;;
    --smoke) smoke=-runs=50 && shift ;;
    *) break ;;
    esac
done
# The build's output goes to a log, shown in part when it fails.
mkdir -p "$build" && built=$build/build.log
cxx=${CXX_FUZZ:-clang++}
configure() { cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="${cxx/clang++/clang}"; }
{ { [ -n "$smoke" ] && [ -f "$build/CMakeCache.txt" ]; } || configure; } >"$built" 2>&1 &&
    cmake --build "$build" -j "$(nproc)" >>"$built" 2>&1 ||
    { echo "fuzz: the build failed, see $built" && grep -E -m5 'error|Error' "$built"; exit 1; }
[ -z "$only" ] || exit 0
# Every target the build made, unless some are named.
if ! (($#)); then
    for f in "$build"/fuzz_*; do [ -f "$f" ] && [ -x "$f" ] && set -- "$@" "${f#"$build"/fuzz_}"; done
fi
failed=0
for t; do
    corpus=$build/${smoke:+smoke/}corpus/$t seeds=$src/corpus/$t log=$build/fuzz_$t.log
    [ -z "$smoke" ] && [ -d "$seeds" ] || seeds=
    rm -rf "$build/smoke" && mkdir -p "$corpus" "$build/artifacts"
    if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=8192 $smoke \
        -artifact_prefix="$build/artifacts/$t-" "$corpus" $seeds >"$log" 2>&1; then
        echo "fuzz_$t: ok, $(grep -o 'Done [0-9]* runs in [0-9]* second' "$log")s"
    else
        echo "fuzz_$t: FAILED, see $log" && grep -E -m5 'ERROR|property violated|SUMMARY' "$log"; failed=1
    fi
done
exit $failed
