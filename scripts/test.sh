#!/usr/bin/env bash
# Every test of the tool: the suite on simulated machines, the same suite
# with AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzers, and the
# whole flow on real kernels (a host and a guest booted under QEMU).
# Every stage runs; the command fails if any of them failed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
qvgpu_install_packages
jobs=$(nproc)
failed=()

echo "== build"
qvgpu_build "$QVGPU_ROOT/build"
echo "== tests"
(cd "$QVGPU_ROOT/build" && ctest --output-on-failure -j"$jobs") || failed+=(tests)

echo "== build with sanitizers"
qvgpu_build "$QVGPU_ROOT/build-asan" -DQVGPU_SANITIZE=ON
echo "== tests with sanitizers"
(cd "$QVGPU_ROOT/build-asan" && ctest --output-on-failure -j"$jobs" -E packaging) ||
    failed+=(sanitizers)

echo "== build the fuzzers"
qvgpu_build "$QVGPU_ROOT/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DQVGPU_FUZZ=ON \
    -DQVGPU_BUILD_TESTS=OFF -- fuzz_hex fuzz_record fuzz_inotify fuzz_bus_chain fuzz_split fuzz_cmd_reply fuzz_port
echo "== fuzzing"
"$QVGPU_ROOT/fuzz/run.sh" "$QVGPU_ROOT/build-fuzz" "${QVGPU_FUZZ_SECONDS:-20}" || failed+=(fuzzing)

echo "== real kernels"
"$QVGPU_ROOT/rig/run.sh" || failed+=(real-kernels)

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "stages: 4 passed, 0 failed"
