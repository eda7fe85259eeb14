#!/usr/bin/env bash
# Every test of the tool, on simulated machines.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
qvgpu_setup
cd "$QVGPU_BUILD"
ctest --output-on-failure -j"$(nproc)"
