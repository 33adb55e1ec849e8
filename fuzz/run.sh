#!/bin/bash
# Builds the fuzz targets with clang and runs each for a set time, from its
# seed corpus in the repository (read only) and a working corpus in the
# build tree. Exits non-zero when a target fails; its input is saved under
# <build>/artifacts/.
#
#   fuzz/run.sh [--build DIR] [--seconds N] [TARGET...]
#
# Defaults: build/fuzz, FUZZ_SECONDS or 60 seconds each, every target.
set -uo pipefail
src=$(cd "$(dirname "$0")" && pwd)
build=$src/../build/fuzz
seconds=${FUZZ_SECONDS:-60}
while (($#)); do
    case $1 in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) break ;;
    esac
done
targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(format wildcard split ini lines command passwd)
fi

cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" >/dev/null || exit 1
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null || exit 1
mkdir -p "$build/artifacts"

failed=()
for t in "${targets[@]}"; do
    corpus=$build/corpus/$t
    mkdir -p "$corpus"
    log=$build/fuzz_$t.log
    # Leaks are looked for in every input; a run over time ends cleanly.
    "$build/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=8192 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        "$corpus" "$src/corpus/$t" >"$log" 2>&1
    status=$?
    runs=$(grep '^stat::number_of_executed_units' "$log" | tail -1 | awk '{print $2}')
    rate=$(grep '^stat::average_exec_per_sec' "$log" | tail -1 | awk '{print $2}')
    if ((status == 0)); then
        echo "fuzz_$t: ok, ${runs:-?} runs in ${seconds}s (${rate:-?}/s)"
    else
        echo "fuzz_$t: FAILED (status $status), see $log"
        grep -E -m5 'ERROR|property violated|SUMMARY' "$log"
        failed+=("$t")
    fi
done
((${#failed[@]} == 0))
