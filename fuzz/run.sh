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
failed=0
passed=0
for target in hex record inotify bus_chain split cmd_reply port domain; do
    binary=$build/fuzz/fuzz_$target
    regressions=$here/regressions/$target
    mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
    if compgen -G "$regressions/*" >/dev/null; then
        if ! "$binary" "$regressions"/* >"$work/$target/regressions.log" 2>&1; then
            echo "FAILED: fuzz_$target on a kept regression case"
            tail -n 30 "$work/$target/regressions.log"
            failed=$((failed + 1))
            continue
        fi
    fi
    if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$work/$target/artifacts/" \
            "$work/$target/corpus" "$here/corpus/$target" >"$work/$target/fuzz.log" 2>&1; then
        runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target/fuzz.log" | grep -o '[0-9]*$')
        echo "fuzz_$target: ${runs:-?} inputs, no failure"
        passed=$((passed + 1))
    else
        echo "FAILED: fuzz_$target"
        tail -n 40 "$work/$target/fuzz.log"
        mkdir -p "$regressions"
        for crash in "$work/$target/artifacts"/*; do
            [ -e "$crash" ] && cp "$crash" "$regressions/" && echo "kept $regressions/$(basename "$crash")"
        done
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
