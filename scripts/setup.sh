#!/usr/bin/env bash
# Installs what building and testing the tool needs (Debian packages) and
# builds it.  Sourced by demo.sh and test.sh.
set -euo pipefail

QVGPU_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

qvgpu_install_packages() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run this as root: the simulated machine needs a private mount namespace." >&2
        exit 1
    fi
    # Packages after --lean come without their recommendations.
    local needed=(g++ cmake ninja-build libcli11-dev libgtest-dev pciutils util-linux
                  systemd groff-base dpkg-dev man-db valgrind clang libclang-rt-14-dev file lintian git
                  nlohmann-json3-dev libpugixml-dev strace python3)
    local wanted_lean=(devscripts)
    local lean_args=0 arg
    for arg in "$@"; do
        if [ "$arg" = --lean ]; then lean_args=1
        elif [ "$lean_args" = 1 ]; then wanted_lean+=("$arg")
        else needed+=("$arg"); fi
    done
    local missing=()
    local p
    for p in "${needed[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    # hardening-check comes with devscripts, whose recommendations are many
    # and none of them needed here; nor are those of Prometheus's packages.
    local lean=()
    for p in "${wanted_lean[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || lean+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ] || [ ${#lean[@]} -gt 0 ]; then
        echo "Installing ${missing[*]} ${lean[*]} ..."
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        [ ${#missing[@]} -eq 0 ] || apt-get install -y -qq "${missing[@]}" >/dev/null
        [ ${#lean[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${lean[@]}" >/dev/null
    fi
}

# qvgpu_build DIR [CMAKE ARGUMENTS...] [-- TARGETS...]
qvgpu_build() {
    local dir=$1; shift
    local args=() targets=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    targets=("$@")
    cmake -S "$QVGPU_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
    if [ ${#targets[@]} -gt 0 ]; then
        cmake --build "$dir" --target "${targets[@]}" -- -j"$(nproc)"
    else
        cmake --build "$dir" -- -j"$(nproc)"
    fi
}
