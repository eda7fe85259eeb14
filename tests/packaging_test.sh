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
         "${units[@]/#/lib/systemd/system/}"; do
    check "installed $f" test -f "$prefix/$f"
done
check "the program is executable" test -x "$prefix/sbin/qvgpu-vm-p2p"

# The units start the installed program, and systemd accepts them (the
# verification also finds the man page they point to).
for u in "${units[@]}"; do
    check "$u names the installed program" grep -q "^ExecStart=$prefix/sbin/qvgpu-vm-p2p " \
        "$prefix/lib/systemd/system/$u"
    check "$u documents itself" grep -qx 'Documentation=man:qvgpu-vm-p2p(8)' "$prefix/lib/systemd/system/$u"
    check "systemd-analyze verify $u" env MANPATH="$prefix/share/man" \
        systemd-analyze verify "$prefix/lib/systemd/system/$u"
done
check "host unit only outside a VM" grep -qx 'ConditionVirtualization=!vm' "$prefix/lib/systemd/system/${units[0]}"
check "host unit keeps its state" grep -qx 'RemainAfterExit=yes' "$prefix/lib/systemd/system/${units[0]}"
check "guest unit only in a VM" grep -qx 'ConditionVirtualization=vm' "$prefix/lib/systemd/system/${units[1]}"
check "daemon restarted on failure" grep -qx 'Restart=on-failure' "$prefix/lib/systemd/system/${units[2]}"

# The man page renders without a warning.
manpage() {
    local warnings
    warnings=$(gzip -dc "$prefix/share/man/man8/qvgpu-vm-p2p.8.gz" | groff -man -ww -Tutf8 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$warnings"; return 1; }
}
check "groff -man -ww renders the man page cleanly" manpage

# The completion offers both options that start with --d.
completion() {
    local got
    got=$(bash -c 'source "$1"; COMP_WORDS=(qvgpu-vm-p2p --d); COMP_CWORD=1; _qvgpu_vm_p2p
                   printf "%s\n" "${COMPREPLY[@]}" | sort' _ \
          "$prefix/share/bash-completion/completions/qvgpu-vm-p2p")
    [ "$got" = $'--daemon\n--disable-acs' ] || { echo "completed to: $got"; return 1; }
}
check "completion of --d" completion

# The package: its files, its dependency, its maintainer scripts.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >/dev/null) ||
    { echo "FAILED: cpack"; exit 1; }
deb=$(ls "$scratch"/pkg/*.deb)
info=$(dpkg-deb --info "$deb")
contents=$(dpkg-deb --contents "$deb")
check "package depends on pciutils" grep -Eq '^ Depends:.*\bpciutils\b' <<<"$info"
for script in postinst prerm postrm; do
    check "package has $script" grep -q " $script " <<<"$info"
done
for f in ./usr/sbin/qvgpu-vm-p2p ./usr/share/man/man8/qvgpu-vm-p2p.8.gz \
         ./usr/share/bash-completion/completions/qvgpu-vm-p2p \
         "${units[@]/#/./usr/lib/systemd/system/}"; do
    check "package holds $f" grep -q " $f\$" <<<"$contents"
done
dpkg-deb -x "$deb" "$scratch/unpacked"
check "packaged units start /usr/sbin/qvgpu-vm-p2p" grep -q '^ExecStart=/usr/sbin/qvgpu-vm-p2p ' \
    "$scratch/unpacked/usr/lib/systemd/system/${units[0]}"
dpkg-deb -e "$deb" "$scratch/control"
check "nothing is enabled on install" bash -c '! grep -q "systemctl.*enable" "$1"/postinst' _ "$scratch/control"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
