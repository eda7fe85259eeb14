#!/usr/bin/env bash
# What an administrator installs: the files of an install into a scratch
# prefix, the systemd units, the man page, the bash completion; and the
# Debian packages scripts/package.sh builds from this tree (source, binary,
# -dbgsym), installed, tested, removed and purged in a private root.
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
# libvirt reads hooks from /etc/libvirt/hooks/qemu.d only: /usr/local's
# install puts it there too.
check "an install into /usr/local puts libvirt's hook where libvirt reads it" bash -c \
    'DESTDIR="$1/local" cmake --install "$2" --prefix /usr/local >/dev/null &&
     [ -x "$1/local/etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p" ]' _ "$scratch" "$build"
check "the status program is executable" test -x "$prefix/sbin/qvgpu-vm-p2p-status"

# The metrics: a oneshot unit and its timer, the command it runs, and the
# alerting rules.
metrics=$prefix/lib/systemd/system/qvgpu-vm-p2p-metrics
check "the metrics command is executable" test -x "$prefix/libexec/qvgpu-vm-p2p/qvgpu-vm-p2p-metrics"
check "the alerting rules and Alertmanager's inhibition are installed as examples" \
    test -f "$prefix/share/doc/qvgpu-vm-p2p/examples/qvgpu-vm-p2p.rules.yml" -a \
         -f "$prefix/share/doc/qvgpu-vm-p2p/examples/qvgpu-vm-p2p.alertmanager.yml"

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
# temporary file a stopped run left), and nothing else; a --remove run
# later in the boot (an administrator's, a package's) leaves today's.
boot_tmpfiles() {
    local root=$scratch/tmpfiles dir=$scratch/tmpfiles/var/lib/prometheus/node-exporter
    mkdir -p "$dir"
    touch "$dir/qvgpu-vm-p2p.prom" "$dir/.qvgpu-vm-p2p.prom.abc123" "$dir/other.prom"
    systemd-tmpfiles --remove --root="$root" "$prefix/lib/tmpfiles.d/qvgpu-vm-p2p.conf" || return 1
    [ "$(ls -A "$dir" | wc -l)" = 3 ] || { echo "removed after boot: $(ls -A "$dir")"; return 1; }
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

# The packages, as the README builds them: those scripts/test.sh built of
# this tree for the whole run (QVGPU_PACKAGE_DIR), or built here.
source=$(cd "$(dirname "$0")/.." && pwd)
packages=${QVGPU_PACKAGE_DIR:-}
if [ -z "$packages" ]; then
    packages=$scratch/pkg
    "$source/scripts/package.sh" "$packages" >/dev/null 2>"$scratch/package.err" ||
        { cat "$scratch/package.err"; echo "FAILED: scripts/package.sh"; exit 1; }
fi
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -SVersion)
pkg=$packages/qvgpu-vm-p2p
deb=${pkg}_${version}_amd64.deb
dbgsym=$packages/qvgpu-vm-p2p-dbgsym_${version}_amd64.deb
changes=${pkg}_${version}_amd64.changes
check "a Debian revision ($version), and the source package: .dsc, orig and debian tarballs" \
    test "${version##*-}" != "$version" -a -f "${pkg}_$version.dsc" -a \
         -f "${pkg}_${version%-*}.orig.tar.gz" -a -f "${pkg}_$version.debian.tar.xz"
check "the binary package and its -dbgsym, both in the .changes" \
    bash -c '[ -f "$1" ] && [ -f "$2" ] && grep -qF " ${1##*/}" "$3" && grep -qF " ${2##*/}" "$3"' _ \
    "$deb" "$dbgsym" "$changes"
info=$(dpkg-deb --info "$deb")
contents=$(dpkg-deb --contents "$deb")
check "package depends on pciutils" grep -Eq '^ Depends:.*\bpciutils\b' <<<"$info"
check "package suggests node_exporter" grep -Eq '^ Suggests: prometheus-node-exporter$' <<<"$info"
for f in ./usr/sbin/qvgpu-vm-p2p ./usr/share/man/man8/qvgpu-vm-p2p.8.gz \
         ./usr/sbin/qvgpu-vm-p2p-status ./usr/share/man/man8/qvgpu-vm-p2p-status.8.gz \
         ./usr/share/bash-completion/completions/qvgpu-vm-p2p-status \
         ./usr/share/doc/qvgpu-vm-p2p/copyright ./usr/share/doc/qvgpu-vm-p2p/changelog.Debian.gz \
         ./usr/share/bash-completion/completions/qvgpu-vm-p2p \
         ./lib/systemd/system/qvgpu-vm-p2p-metrics.service \
         ./lib/systemd/system/qvgpu-vm-p2p-metrics.timer \
         ./usr/lib/tmpfiles.d/qvgpu-vm-p2p.conf \
         ./usr/libexec/qvgpu-vm-p2p/qvgpu-vm-p2p-metrics \
         ./usr/share/doc/qvgpu-vm-p2p/examples/qvgpu-vm-p2p.rules.yml \
         ./usr/share/doc/qvgpu-vm-p2p/examples/qvgpu-vm-p2p.alertmanager.yml \
         ./usr/share/doc/qvgpu-vm-p2p/examples/proxmox-hookscript \
         ./etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p \
         "${units[@]/#/./lib/systemd/system/}"; do
    check "package holds $f" grep -q " $f\$" <<<"$contents"
done
check "package installs below /usr, /etc and /lib alone" \
    bash -c '! awk "{ print \$6 }" <<<"$1" | grep -Ev "^\./((usr|etc|lib)(/|$)|$)"' _ "$contents"
dpkg-deb -x "$deb" "$scratch/unpacked"
dpkg-deb -x "$dbgsym" "$scratch/dbgsym"
check "packaged units start /usr/sbin/qvgpu-vm-p2p" grep -q '^ExecStart=/usr/sbin/qvgpu-vm-p2p ' \
    "$scratch/unpacked/lib/systemd/system/${units[0]}"
# Both programs hardened and stripped, their symbols in the -dbgsym
# package under their build IDs.
symbols() {
    local id
    id=$(readelf -n "$1" | sed -n 's/^ *Build ID: //p')
    file "$1" | grep -q ', stripped' || { echo "not stripped: $(file "$1")"; return 1; }
    [ -n "$id" ] && file "$scratch/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" |
        grep -q 'with debug_info' || { echo "no symbols for build ID ${id:-none}"; return 1; }
}
for program in qvgpu-vm-p2p qvgpu-vm-p2p-status; do
    check "hardening of $program: stack protector, fortify, relro, immediate binding, PIE" \
        hardening-check --nocfprotection "$scratch/unpacked/usr/sbin/$program"
    check "$program ships stripped, its symbols in the -dbgsym package" \
        symbols "$scratch/unpacked/usr/sbin/$program"
done
dpkg-deb -e "$deb" "$scratch/control"
check "libvirt's hook is executable and a configuration file of the package" \
    bash -c '[ -x "$1/unpacked/etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p" ] &&
             grep -qx /etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p "$1/control/conffiles"' _ "$scratch"
# What the maintainer scripts debhelper wrote ask of systemd's helpers, run
# with stand-ins that only write down their arguments: on install the
# metrics timer alone is enabled and started; on an upgrade a running
# daemon restarts, and nothing runs the host's or the guest's unit again; a
# removal stops the units, a purge forgets every unit.
maintainer() {   # maintainer SCRIPT ARGUMENTS...: what the helpers were asked
    local fake=$scratch/helpers script=$1 tool
    shift
    mkdir -p "$fake"
    # The helper knows no unit the package enabled before, as on a first
    # install: it says so when asked (debian-installed), and yes to
    # was-enabled, which it answers for a unit it never saw.
    for tool in deb-systemd-helper deb-systemd-invoke systemctl systemd-tmpfiles; do
        printf '#!/bin/sh\necho "%s $*" | tr -d "'"'"'" >> "%s/asked"\n[ "$1" != debian-installed ]\n' \
            "$tool" "$fake" > "$fake/$tool"
        chmod +x "$fake/$tool"
    done
    : > "$fake/asked"
    # As on a machine that runs systemd, which this one need not.
    PATH=$fake:$PATH unshare -m --propagation private sh -c \
        'mount -t tmpfs run /run && mkdir -p /run/systemd/system && exec sh "$@"' sh \
        "$scratch/control/$script" "$@" >/dev/null 2>&1 || return 1
    grep -E '^deb-systemd-(helper|invoke) ' "$fake/asked" | grep -Ev ' (was-enabled|update-state|unmask|debian-installed) '
}
check "on install the metrics timer alone is enabled and started" \
    test "$(maintainer postinst configure | grep -E 'helper enable|invoke (re)?start' | tr '\n' ';')" = \
    "deb-systemd-helper enable qvgpu-vm-p2p-metrics.timer;deb-systemd-invoke start qvgpu-vm-p2p-metrics.timer;"
check "on an upgrade a running daemon is restarted, and so is the timer" \
    test "$(maintainer postinst configure 2.0.1 | grep -E 'invoke' | tr '\n' ';')" = \
    "deb-systemd-invoke restart qvgpu-vm-p2p-metrics.timer;deb-systemd-invoke try-restart qvgpu-vm-p2p-daemon.service;"
check "an upgrade stops nothing" test -z "$(maintainer prerm upgrade 2.0.1-2)"
check "a removal stops the daemon, the oneshot units and the timer" \
    test "$(maintainer prerm remove | tr '\n' ';')" = \
    "deb-systemd-invoke stop qvgpu-vm-p2p-daemon.service qvgpu-vm-p2p-guest.service qvgpu-vm-p2p-host.service qvgpu-vm-p2p-metrics.service;deb-systemd-invoke stop qvgpu-vm-p2p-metrics.timer;"
check "a purge forgets every unit" \
    test "$(maintainer postrm purge | grep -c 'deb-systemd-helper purge')" -ge 2
check "no maintainer script runs systemctl enable (lintian's rule)" \
    bash -c '! grep -q "systemctl.*enable" "$1"/postinst "$1"/postrm "$1"/prerm' _ "$scratch/control"

# Debian's own checker finds no error and no warning, on the .changes:
# the source package, the binary package and its -dbgsym.  Tags we accept,
# each with its reason (none at present; the source package's own
# overrides say theirs):
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
check "lintian: no error, no warning on the source, binary and -dbgsym packages" lintian_clean "$changes"

# Installed, tested, removed and purged for real, in a root of its own:
# /usr, /etc and /var overlaid for this run alone, /run empty (no systemd
# to talk to), so that nothing reaches this machine.
in_private_root() {   # in_private_root SCRIPT [ARGUMENTS...]
    local root=$scratch/root
    mkdir -p "$root"
    unshare -m --propagation private bash -c '
        set -e
        root=$1; shift
        mount -t tmpfs private "$root"
        for d in usr etc var; do
            mkdir -p "$root/upper/$d" "$root/work/$d"
            mount -t overlay overlay -o "lowerdir=/$d,upperdir=$root/upper/$d,workdir=$root/work/$d" "/$d"
        done
        mount -t tmpfs run /run
        export UPPER=$root/upper
        eval "$1"' _ "$root" "$@"
}
install_test_purge() {   # the source package (.dsc) unpacked, as autopkgtest takes it
    in_private_root '
        deb=$2 dsc=$3
        dpkg -i "$deb" >/dev/null 2>&1
        dpkg-query -W -f="\${Status}\n" qvgpu-vm-p2p | grep -qx "install ok installed"
        [ -L /etc/systemd/system/timers.target.wants/qvgpu-vm-p2p-metrics.timer ] ||
            { echo "the metrics timer is not enabled"; exit 1; }
        enabled=$(ls /etc/systemd/system/*.wants 2>/dev/null | grep -c "qvgpu-vm-p2p-\(host\|guest\|daemon\)" || true)
        [ "$enabled" = 0 ] || { echo "$enabled units the administrator enables were enabled"; exit 1; }
        # The package test, as autopkgtest runs it against the installed package.
        autopkgtest --no-built-binaries "$dsc" -- null > "$UPPER/../autopkgtest.log" 2>&1 ||
            { tail -n 30 "$UPPER/../autopkgtest.log"; echo "autopkgtest failed"; exit 1; }
        grep -q "^demo  *PASS" "$UPPER/../autopkgtest.log" || { tail -n 5 "$UPPER/../autopkgtest.log"; exit 1; }
        dpkg -r qvgpu-vm-p2p >/dev/null
        [ -f /etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p ] || { echo "a removal took the conffile"; exit 1; }
        # Left behind, the hook does nothing and says nothing, whatever the guest.
        mkdir -p "$UPPER/../bin" && printf "#!/bin/sh\necho logged\n" > "$UPPER/../bin/logger" &&
            chmod +x "$UPPER/../bin/logger"
        said=$(echo "<domain><devices><hostdev/></devices></domain>" |
               PATH="$UPPER/../bin:$PATH" /etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p vm prepare begin - 2>&1) &&
            [ -z "$said" ] || { echo "the hook left behind said: $said"; exit 1; }
        [ ! -e /usr/sbin/qvgpu-vm-p2p ] || { echo "a removal left the program"; exit 1; }
        mkdir -p /etc/qv/vm_p2p_cfg && : > /etc/qv/vm_p2p_cfg/0000:01:00.0
        dpkg -P qvgpu-vm-p2p >/dev/null
        left=$(find "$UPPER" \( -name "*qvgpu*" -o -path "$UPPER/etc/qv" \) ! -type c | sed "s,^$UPPER,,")
        [ -z "$left" ] || { echo "a purge left: $left"; exit 1; }' "$deb" "${pkg}_$version.dsc"
}
check "installed: the timer enabled and no other unit; its autopkgtest passes (the flow, and the hook storing exactly its guest's GPU); removed and purged, nothing left" \
    install_test_purge

# Two builds of the same tree, from copies in different directories, give
# the same packages byte for byte.
reproducible() {
    mkdir -p "$scratch/elsewhere/checkout"
    (cd "$source" && git ls-files -z | xargs -0 cp --parents -t "$scratch/elsewhere/checkout") || return 1
    "$scratch/elsewhere/checkout/scripts/package.sh" "$scratch/elsewhere/pkg" >/dev/null || return 1
    cmp "$deb" "$scratch/elsewhere/pkg/${deb##*/}" && cmp "$dbgsym" "$scratch/elsewhere/pkg/${dbgsym##*/}"
}
check "two builds in different directories give identical packages" reproducible

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
