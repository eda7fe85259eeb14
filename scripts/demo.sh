#!/usr/bin/env bash
# The tool's main job on a simulated machine.  Options go to the demo
# (--gpus N for the number of GPUs).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
qvgpu_setup
exec "$QVGPU_BUILD/sim/qvgpu-demo" "$@"
