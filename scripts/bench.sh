#!/usr/bin/env bash
# What each mode costs on simulated machines of 8, 16 and 64 GPUs; writes
# BENCHMARKS.md.  Options go to the benchmark (--sizes 8,16,64, --repeats N).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
qvgpu_install_packages strace
qvgpu_build "$QVGPU_ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
exec "$QVGPU_ROOT/build-bench/sim/qvgpu-bench" --out "$QVGPU_ROOT/BENCHMARKS.md" "$@"
