#!/usr/bin/env bash
# Runs every fuzz target: first over its kept regression cases, then for a
# bounded time from its seed corpus.  A crash, a leak or a sanitizer report
# fails the run, and the input that caused it is kept under
# fuzz/regressions/<target>/ to be committed with the fix.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS]
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
seconds=${2:-20}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# fuzz_one TARGET: its verdict's lines into $work/TARGET/said; fails as
# the target does.
fuzz_one() {
    local target=$1 binary=$build/fuzz/fuzz_$1 regressions=$here/regressions/$1 runs crash
    mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    exec >"$work/$target/said"
    if compgen -G "$regressions/*" >/dev/null; then
        if ! "$binary" "$regressions"/* >"$work/$target/regressions.log" 2>&1; then
            echo "FAILED: fuzz_$target on a kept regression case"
            tail -n 30 "$work/$target/regressions.log"
            return 1
        fi
    fi
    if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$work/$target/artifacts/" \
            "$work/$target/corpus" "$here/corpus/$target" >"$work/$target/fuzz.log" 2>&1; then
        runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target/fuzz.log" | grep -o '[0-9]*$')
        echo "fuzz_$target: ${runs:-?} inputs, no failure"
        return 0
    fi
    echo "FAILED: fuzz_$target"
    tail -n 40 "$work/$target/fuzz.log"
    mkdir -p "$regressions"
    for crash in "$work/$target/artifacts"/*; do
        [ -e "$crash" ] && cp "$crash" "$regressions/" && echo "kept $regressions/$(basename "$crash")"
    done
    return 1
}
# Each target runs on one core: as many at a time as there are cores.
targets=(hex record inotify bus_chain split cmd_reply port domain)
declare -A pid_of
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$(nproc)" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    fuzz_one "$target" &
    pid_of[$target]=$!
    running=$((running + 1))
done
failed=0
passed=0
for target in "${targets[@]}"; do
    if wait "${pid_of[$target]}"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    cat "$work/$target/said"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
