#!/usr/bin/env bash
# What an administrator installs: the files of an install into a scratch
# prefix, the systemd units, the man page, the bash completion and the .deb.
# Usage: packaging_test.sh BUILD_DIR
set -u
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
passes=0
check() {   # check NAME COMMAND...
    local name=$1; shift
    local out
    if out=$("$@" 2>&1); then
        passes=$((passes + 1))
    else
        failures=$((failures + 1))
        printf 'FAILED: %s\n%s\n' "$name" "$out"
    fi
}

prefix=$scratch/usr
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAILED: install"; exit 1; }
units=(qvgpu-vm-p2p-host.service qvgpu-vm-p2p-guest.service qvgpu-vm-p2p-daemon.service)

for f in sbin/qvgpu-vm-p2p share/man/man8/qvgpu-vm-p2p.8.gz \
         share/bash-completion/completions/qvgpu-vm-p2p \
         sbin/qvgpu-vm-p2p-status share/man/man8/qvgpu-vm-p2p-status.8.gz \
         share/bash-completion/completions/qvgpu-vm-p2p-status \
         "${units[@]/#/lib/systemd/system/}"; do
    check "installed $f" test -f "$prefix/$f"
done
check "the program is executable" test -x "$prefix/sbin/qvgpu-vm-p2p"
check "the status program is executable" test -x "$prefix/sbin/qvgpu-vm-p2p-status"

# The metrics: a oneshot unit and its timer, the command it runs, and the
# alerting rules.
metrics=$prefix/lib/systemd/system/qvgpu-vm-p2p-metrics
check "the metrics command is executable" test -x "$prefix/libexec/qvgpu-vm-p2p/qvgpu-vm-p2p-metrics"
check "the alerting rules are installed as an example" \
    test -f "$prefix/share/doc/qvgpu-vm-p2p/examples/qvgpu-vm-p2p.rules.yml"

# systemd accepts every unit (the verification also finds the man pages
# they point to, and the programs they run).
for u in "${units[@]}" qvgpu-vm-p2p-metrics.service qvgpu-vm-p2p-metrics.timer; do
    check "systemd-analyze verify $u" env MANPATH="$prefix/share/man" \
        systemd-analyze verify "$prefix/lib/systemd/system/$u"
done
# Each unit holds the capabilities of its line in the one list, and no
# others: one CapabilityBoundingSet= line each (systemd merges repeated
# ones).  (The rig checks what systemd makes of all of its line.)
caps_of() {
    local unit=$1 want got
    want=$(awk -v u="${unit#qvgpu-vm-p2p-}" '$1 == u { $1 = $2 = $3 = ""; sub(/^ +/, ""); print }' \
           "$(dirname "$0")/../dist/systemd/sandboxing")
    got=$(grep '^CapabilityBoundingSet=' "$prefix/lib/systemd/system/$unit.service")
    [ -n "$want" ] && [ "$got" = "CapabilityBoundingSet=$want" ] || { echo "want $want, got: $got"; return 1; }
}
for u in "${units[@]%.service}" qvgpu-vm-p2p-metrics; do
    check "$u keeps exactly the capabilities of its line in the list" caps_of "$u"
done
# The side is decided as the tool decides it, by the installed report: a
# unit on the wrong side is skipped, not failed.  Run as they stand on this
# machine, the host unit's condition and the guest units' conditions answer
# opposite ways.
condition() {
    local line
    line=$(sed -n 's/^ExecCondition=//p' "$prefix/lib/systemd/system/$1")
    [[ $line == "$prefix/sbin/qvgpu-vm-p2p-status "* ]] || { echo "no condition of ours: $line"; return 2; }
    $line
}
condition "${units[0]}"
host_side=$?
for u in "${units[1]}" "${units[2]}"; do
    condition "$u"
    guest_side=$?
    check "$u runs exactly where the host unit does not (conditions exit $host_side and $guest_side)" \
        test $(( host_side == 0 )) -ne $(( guest_side == 0 ))
done
# At boot, systemd-tmpfiles removes the metrics of the last boot (and a
# temporary file a stopped run left), and nothing else.
boot_tmpfiles() {
    local root=$scratch/tmpfiles dir=$scratch/tmpfiles/var/lib/prometheus/node-exporter
    mkdir -p "$dir"
    touch "$dir/qvgpu-vm-p2p.prom" "$dir/.qvgpu-vm-p2p.prom.abc123" "$dir/other.prom"
    systemd-tmpfiles --remove --boot --root="$root" "$prefix/lib/tmpfiles.d/qvgpu-vm-p2p.conf" || return 1
    [ "$(ls -A "$dir")" = other.prom ] || { echo "left: $(ls -A "$dir")"; return 1; }
}
check "at boot the last boot's metrics file is removed" boot_tmpfiles

# The man pages render without a warning.
manpage() {
    local warnings
    warnings=$(gzip -dc "$prefix/share/man/man8/$1.8.gz" | groff -man -ww -Tutf8 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; return 1; }
}
check "groff -man -ww renders the man page cleanly" manpage qvgpu-vm-p2p
check "groff -man -ww renders the status man page cleanly" manpage qvgpu-vm-p2p-status

# The completion offers both options that start with --d.
completion() {
    local got
    got=$(bash -c 'source "$1"; COMP_WORDS=(qvgpu-vm-p2p --d); COMP_CWORD=1; _qvgpu_vm_p2p
                   printf "%s\n" "${COMPREPLY[@]}" | sort' _ \
          "$prefix/share/bash-completion/completions/qvgpu-vm-p2p")
    [ "$got" = $'--daemon\n--disable-acs' ] || { echo "completed to: $got"; return 1; }
}
check "completion of --d" completion
status_completion() {   # status_completion EXPECTED WORD...
    local want=$1 got
    shift
    got=$(bash -c 'source "$1"; shift; COMP_WORDS=(qvgpu-vm-p2p-status "$@"); COMP_CWORD=$#
                   _qvgpu_vm_p2p_status; printf "%s\n" "${COMPREPLY[@]}"' _ \
          "$prefix/share/bash-completion/completions/qvgpu-vm-p2p-status" "$@")
    [ "$got" = "$want" ] || { echo "completed to: $got"; return 1; }
}
check "completion of the status program's --j" status_completion --json --j
check "completion of its --check-side=g" status_completion guest --check-side = g
check "completion of its --layout=l" status_completion libvirt --layout = l
check "completion of its --layout=" status_completion $'qemu\nlibvirt' --layout =

for program in qvgpu-vm-p2p qvgpu-vm-p2p-status; do
    check "hardening of $program: stack protector, fortify, relro, immediate binding, PIE" \
        hardening-check --nocfprotection "$prefix/sbin/$program"
done

# The package: its files, its dependency, its maintainer scripts.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null) ||
    { echo "FAILED: cpack"; exit 1; }
deb=$(ls "$scratch"/pkg/*.deb)
info=$(dpkg-deb --info "$deb")
contents=$(dpkg-deb --contents "$deb")
check "package depends on pciutils" grep -Eq '^ Depends:.*\bpciutils\b' <<<"$info"
check "package suggests node_exporter" grep -Eq '^ Suggests: prometheus-node-exporter$' <<<"$info"
for script in postinst prerm postrm; do
    check "package has $script" grep -q " $script " <<<"$info"
done
for f in ./usr/sbin/qvgpu-vm-p2p ./usr/share/man/man8/qvgpu-vm-p2p.8.gz \
         ./usr/sbin/qvgpu-vm-p2p-status ./usr/share/man/man8/qvgpu-vm-p2p-status.8.gz \
         ./usr/share/bash-completion/completions/qvgpu-vm-p2p-status \
         ./usr/share/doc/qvgpu-vm-p2p/copyright ./usr/share/doc/qvgpu-vm-p2p/changelog.gz \
         ./usr/share/bash-completion/completions/qvgpu-vm-p2p \
         ./usr/lib/systemd/system/qvgpu-vm-p2p-metrics.service \
         ./usr/lib/systemd/system/qvgpu-vm-p2p-metrics.timer \
         ./usr/libexec/qvgpu-vm-p2p/qvgpu-vm-p2p-metrics \
         ./usr/share/doc/qvgpu-vm-p2p/examples/qvgpu-vm-p2p.rules.yml \
         ./usr/share/doc/qvgpu-vm-p2p/examples/proxmox-hookscript \
         ./etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p \
         "${units[@]/#/./usr/lib/systemd/system/}"; do
    check "package holds $f" grep -q " $f\$" <<<"$contents"
done
dpkg-deb -x "$deb" "$scratch/unpacked"
check "packaged units start /usr/sbin/qvgpu-vm-p2p" grep -q '^ExecStart=/usr/sbin/qvgpu-vm-p2p ' \
    "$scratch/unpacked/usr/lib/systemd/system/${units[0]}"
dpkg-deb -e "$deb" "$scratch/control"
check "libvirt's hook is executable and a configuration file of the package" \
    bash -c '[ -x "$1/unpacked/etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p" ] &&
             grep -qx /etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p "$1/control/conffiles"' _ "$scratch"
# What the maintainer scripts ask of systemd's helpers, run with stand-ins
# that only write down their arguments: on install the metrics timer alone
# is enabled and started; on an upgrade a running daemon restarts; a
# removal masks the timer, a purge forgets every unit.
maintainer() {   # maintainer SCRIPT ARGUMENTS...: what the helpers were asked
    local fake=$scratch/helpers script=$1 tool
    shift
    mkdir -p "$fake"
    for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
        printf '#!/bin/sh\necho "%s $*" >> "%s/asked"\n' "$tool" "$fake" > "$fake/$tool"
        chmod +x "$fake/$tool"
    done
    : > "$fake/asked"
    # As on a machine that runs systemd, which this one need not.
    PATH=$fake:$PATH unshare -m --propagation private sh -c \
        'mount -t tmpfs run /run && mkdir -p /run/systemd/system && exec sh "$@"' sh \
        "$scratch/control/$script" "$@" >/dev/null 2>&1 || return 1
    grep -E '^deb-systemd-(helper|invoke) ' "$fake/asked" | grep -Ev ' (was-enabled|update-state|unmask) '
}
check "on install the metrics timer alone is enabled and started" \
    test "$(maintainer postinst configure | grep -E 'helper enable|invoke start' | tr '\n' ';')" = \
    "deb-systemd-helper enable qvgpu-vm-p2p-metrics.timer;deb-systemd-invoke start qvgpu-vm-p2p-metrics.timer;"
check "on an upgrade a running daemon is restarted" \
    grep -q 'deb-systemd-invoke try-restart qvgpu-vm-p2p-daemon.service' <(maintainer postinst configure 2.0.0)
check "no maintainer script runs systemctl enable (lintian's rule)" \
    bash -c '! grep -q "systemctl.*enable" "$1"/postinst "$1"/postrm "$1"/prerm' _ "$scratch/control"

# Debian's own checker finds no error and no warning.  Tags we accept, each
# with its reason (none at present):
lintian_allowed=()
lintian_clean() {
    local status=0
    lintian --fail-on error,warning \
        ${lintian_allowed[@]:+--suppress-tags "$(IFS=,; echo "${lintian_allowed[*]}")"} \
        "$1" > "$scratch/lintian.out" 2>&1 || status=$?
    # Its note that it runs as root is no finding.
    grep -v '^running with root privileges' "$scratch/lintian.out" > "$scratch/lintian.found" || true
    [ "$status" -eq 0 ] && [ ! -s "$scratch/lintian.found" ] || { cat "$scratch/lintian.found"; return 1; }
}
check "lintian: no error, no warning" lintian_clean "$deb"

# Two builds of the same commit, from checkouts in different directories,
# give the same package byte for byte.
reproducible() {
    local source
    source=$(cd "$(dirname "$0")/.." && pwd)
    local i
    for i in 1 2; do
        mkdir -p "$scratch/repro$i/checkout-$i"
        (cd "$source" && git ls-files -z | xargs -0 cp --parents -t "$scratch/repro$i/checkout-$i") ||
            return 1
        (cd "$scratch/repro$i" &&
         SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct) \
             cmake -S "checkout-$i" -B build -G Ninja -DCMAKE_BUILD_TYPE=Release \
                   -DQVGPU_BUILD_TESTS=OFF >/dev/null &&
         cmake --build build >/dev/null &&
         cd build && cpack -G DEB >/dev/null) || return 1
    done
    cmp "$scratch"/repro1/build/*.deb "$scratch"/repro2/build/*.deb
}
check "two builds in different directories give identical packages" reproducible

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
