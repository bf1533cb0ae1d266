#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset "fuzz"), replays every stored input
# (the seed corpus and the regression inputs of each harness), then fuzzes
# each harness for SECONDS, as many at once as there are cores.
#
# Usage: tests/fuzz/run.sh [SECONDS] [HARNESS...]
#   SECONDS   fuzzing time per harness (default 20; 0 = replay only)
#   HARNESS   fuzz_test_script, fuzz_script_values, fuzz_ini, fuzz_device_path
#             (default: all)
#
# New interesting inputs go to build/fuzz/work/HARNESS/corpus; a crash is kept
# as build/fuzz/work/HARNESS/crash-*. Copy a crash into
# tests/fuzz/regressions/HARNESS/ once it is fixed, so it is replayed for good.
# Exits non-zero when a stored input or a fuzzing run fails.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=${1:-20}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(fuzz_test_script fuzz_script_values fuzz_ini fuzz_device_path)

scripts/build fuzz

bin=build/fuzz/tests/fuzz
work=build/fuzz/work
src=tests/fuzz

inputs_of() {
    find "$src/corpus/$1" "$src/regressions/$1" -type f 2>/dev/null | sort
}

mkdir -p "$work"
echo "== fuzz: replaying stored inputs"
for h in "${harnesses[@]}"; do
    mapfile -t files < <(inputs_of "$h")
    if [ ${#files[@]} -eq 0 ]; then
        echo "$h: no stored inputs in $src/corpus/$h"
        exit 1
    fi
    # Given files, libFuzzer runs each of them once.
    if ! "$bin/$h" "${files[@]}" >"$work/$h.replay.log" 2>&1; then
        echo "$h: a stored input fails:"
        tail -n 40 "$work/$h.replay.log"
        exit 1
    fi
    echo "$h: ${#files[@]} inputs pass"
done

[ "$seconds" -gt 0 ] || exit 0

echo "== fuzz: $seconds s per harness"
run_one() {
    local h=$1 dir=$work/$1
    mkdir -p "$dir/corpus"
    local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                   -artifact_prefix="$dir/")
    [ -f "$src/$h.dict" ] && options+=(-dict="$src/$h.dict")
    # New inputs go to the first folder; the stored ones are read from the others.
    local corpora=("$dir/corpus" "$src/corpus/$h")
    [ -d "$src/regressions/$h" ] && corpora+=("$src/regressions/$h")
    "$bin/$h" "${options[@]}" "${corpora[@]}" >"$dir/fuzz.log" 2>&1
}

pids=()
names=()
slots=$(nproc)
for h in "${harnesses[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$slots" ]; do wait -n || true; done
    run_one "$h" &
    pids+=($!)
    names+=("$h")
done

failed=0
for i in "${!pids[@]}"; do
    h=${names[$i]}
    if wait "${pids[$i]}"; then status=ok; else status=FAILED; failed=1; fi
    log=$work/$h/fuzz.log
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    printf '%-20s %-6s %10s runs %8s exec/s\n' "$h" "$status" "${runs:-?}" "${speed:-?}"
    if [ "$status" = FAILED ]; then
        tail -n 40 "$log"
        ls "$work/$h"/crash-* "$work/$h"/leak-* "$work/$h"/timeout-* "$work/$h"/oom-* 2>/dev/null || true
    fi
done
exit $failed
