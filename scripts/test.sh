#!/usr/bin/env bash
# Every test of the tool, in four stages, after the Debian packages are
# built once for the run (times measured on the 2-core build machine on
# 2026-12-09, with its packages installed, where a plain Release build of
# the project took 95 s; a fresh machine first spends about two minutes
# installing them):
#   (package)     the Debian packages, for the packaging test and the rig  ~45 s
#   tests         the suite on simulated machines, packaging included   ~4.5 min
#   sanitizers    the suite again, built by clang with AddressSanitizer
#                 and UBSan, in the build that also holds the fuzz targets ~2.5 min
#   fuzzing       the libFuzzer targets, 20 s each, two at a time      ~1.5 min
#   real-kernels  the whole flow on real kernels under QEMU (rig/)      ~8 min,
#                 13 to 16 with a boot lost and booted again
# Every stage runs; the command fails if any of them failed.  While working,
# QVGPU_TEST_STAGES="tests" (or any of the four names) runs only those.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
# Debian's promtool, amtool and node_exporter check the metrics, their
# alerting rules and Alertmanager's example; debhelper builds the package and
# autopkgtest runs its test; libvirt's schema, its test driver and its own
# QEMU driver (embedded, with no daemon) check the layouts for libvirt.
qvgpu_install_packages debhelper --lean prometheus prometheus-node-exporter prometheus-alertmanager \
    autopkgtest libvirt-clients libxml2-utils libvirt-daemon-driver-qemu qemu-system-x86
jobs=$(nproc)
stages=${QVGPU_TEST_STAGES:-tests sanitizers fuzzing real-kernels}
failed=()
ran=0
current=""
# wanted STAGE: whether STAGE runs; says how long the one before it took.
wanted() {
    [ -z "$current" ] || echo "time: $current $((SECONDS - stage_start)) s"
    current=""
    stage_start=$SECONDS
    [[ " $stages " == *" $1 "* ]] || return 1
    current=$1
    ran=$((ran + 1))
}
stage_start=$SECONDS

# The Debian packages, built once from this tree: the packaging test checks
# them and the rig's machines install them.
if [[ " $stages " == *" tests "* || " $stages " == *" real-kernels "* ]]; then
    echo "== package"
    package_start=$SECONDS
    if "$QVGPU_ROOT/scripts/package.sh" "$QVGPU_ROOT/build-deb" >/dev/null; then
        export QVGPU_PACKAGE_DIR=$QVGPU_ROOT/build-deb
    else
        failed+=(package)
    fi
    echo "time: package $((SECONDS - package_start)) s"
fi

if wanted tests; then
    echo "== build"
    qvgpu_build "$QVGPU_ROOT/build"
    echo "== tests"
    (cd "$QVGPU_ROOT/build" && ctest --output-on-failure -j"$jobs") || failed+=(tests)
fi

# One clang build serves both of the next stages: the suite under
# AddressSanitizer and UBSan, and the fuzz targets, whose library carries
# libFuzzer's coverage as well.
sanitized=$QVGPU_ROOT/build-san
sanitized_options=(-DCMAKE_CXX_COMPILER=clang++ -DQVGPU_SANITIZE=ON -DQVGPU_FUZZ=ON)
if wanted sanitizers; then
    echo "== build with sanitizers (clang, the fuzz targets too)"
    qvgpu_build "$sanitized" "${sanitized_options[@]}"
    echo "== tests with sanitizers"
    (cd "$sanitized" && ctest --output-on-failure -j"$jobs" -E packaging) ||
        failed+=(sanitizers)
fi

if wanted fuzzing; then
    if [[ " $stages " != *" sanitizers "* ]]; then
        echo "== build the fuzz targets (clang, with sanitizers)"
        qvgpu_build "$sanitized" "${sanitized_options[@]}" -- fuzz_hex fuzz_record fuzz_inotify fuzz_bus_chain fuzz_split fuzz_cmd_reply fuzz_port fuzz_domain
    fi
    echo "== fuzzing"
    "$QVGPU_ROOT/fuzz/run.sh" "$sanitized" "${QVGPU_FUZZ_SECONDS:-20}" || failed+=(fuzzing)
fi

if wanted real-kernels; then
    echo "== real kernels"
    "$QVGPU_ROOT/rig/run.sh" || failed+=(real-kernels)
fi

wanted end || true
if [ "$ran" -eq 0 ]; then
    echo "FAILED: no stage named in QVGPU_TEST_STAGES=\"$stages\""
    exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "stages: $ran passed, 0 failed"
