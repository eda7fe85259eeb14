#!/usr/bin/env bash
# The tool's main job on a simulated machine.  Options go to the demo
# (--gpus N for the number of GPUs).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
qvgpu_install_packages
qvgpu_build "$QVGPU_ROOT/build" >/dev/null
exec "$QVGPU_ROOT/build/sim/qvgpu-demo" "$@"
