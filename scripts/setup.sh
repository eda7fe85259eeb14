#!/usr/bin/env bash
# Installs what building and running the tool needs (Debian packages) and
# builds it into build/.  Sourced by demo.sh and test.sh.
set -euo pipefail

QVGPU_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QVGPU_BUILD=${QVGPU_BUILD:-$QVGPU_ROOT/build}

qvgpu_setup() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run this as root: the simulated machine needs a private mount namespace." >&2
        exit 1
    fi
    local needed=(g++ cmake ninja-build libcli11-dev libgtest-dev pciutils util-linux
                  systemd groff-base dpkg-dev man-db)
    local missing=()
    local p
    for p in "${needed[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing ${missing[*]} ..."
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    cmake -S "$QVGPU_ROOT" -B "$QVGPU_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$QVGPU_BUILD" -- -j"$(nproc)"
    [ -x "$QVGPU_BUILD/qvgpu-vm-p2p" ]
}
