#!/bin/bash
# L1 booted by systemd with the package installed and its units enabled:
# run by the hypervisor stand-in (libvirtd.service), which the host unit
# orders itself before.  Checks what the boot did, boots L2 the same way,
# and shows that a store that misses a GPU leaves its unit failed.
LEVEL=l1-boot
OUT=$(sed -n 's/.*qv\.out=\([^ ]*\).*/\1/p' /proc/cmdline)
RESULTS=$OUT/results
source "$(dirname "$0")/lib.sh"
timed "boot to the hypervisor stand-in, with systemd"
ports_above > /dev/null   # once a boot
: > /run/qv-rig-checks   # the results are the progress now (progress.sh)
# Where the boot's time went, kept with the results.
boot_jobs "$OUT/l1-boot.systemd-jobs.journal"

prop() { systemctl show -P "$2" "$1"; }
state() { echo "$(prop "$1" ActiveState)/$(prop "$1" Result)"; }
check "the host unit stored the records at boot" test "$(state qvgpu-vm-p2p-host.service)" = active/success
check "the host unit's journal has the store's success line" \
    bash -c "journalctl -b -o cat -u qvgpu-vm-p2p-host.service | grep -q 'Success: store data completed'"
# The installed libvirt hook as libvirt runs it (the guest's name and the
# operation as arguments, its domain on standard input), on this host made
# a host, before a guest that passes one stand-in through starts: that GPU
# alone is stored.  Every record is wiped first, so that a store of any
# other GPU would show; a store of every GPU puts them back afterwards.
hooked=$(gpus | tail -n 1)
declare -A before_hook
for g in $(gpus); do
    wipe_record "$g"
    before_hook[$g]=$("$PEEK" "/sys/bus/pci/devices/$g/resource0" 0x100000 16)
done
setup "$hooked: record wiped before the hook" \
    test "${before_hook[$hooked]}" = "$(printf ' 00%.0s' $(seq 16) | sed 's/^ //')"
address=${hooked#*:}
printf "<domain type='kvm'><name>hooked</name><devices><hostdev mode='subsystem' type='pci' managed='yes'><source><address domain='0x0000' bus='0x%s' slot='0x%s' function='0x%s'/></source></hostdev></devices></domain>\n" \
    "${address%%:*}" "$(echo "$address" | cut -d: -f2 | cut -d. -f1)" "${address##*.}" > /tmp/hooked.xml
check "libvirt's installed hook, run as libvirt runs it for a guest passing $hooked through, exits 0" \
    sh -c 'timeout --kill-after=5 "$1" /etc/libvirt/hooks/qemu.d/qvgpu-vm-p2p hooked prepare begin - < /tmp/hooked.xml' \
    _ "$TOOL_LIMIT"
check "$hooked: stored by the hook and read back (magic and BAR0 base $(bar0_start "$hooked"))" \
    test "$("$PEEK" "/sys/bus/pci/devices/$hooked/resource0" 0x100000 16)" = "$(record_bytes "$(bar0_start "$hooked")")"
for g in $(gpus); do
    [ "$g" = "$hooked" ] && continue
    check "$g: not the guest's, left by the hook as it was" \
        test "$("$PEEK" "/sys/bus/pci/devices/$g/resource0" 0x100000 16)" = "${before_hook[$g]}"
done
setup "every record stored again after the hook" qvgpu-vm-p2p --store-data
timed "libvirt's hook: the guest's own GPU"
note "the package went in with dpkg -i, the host, guest and daemon units enabled with systemctl enable; man-db's trigger is off in the rig's root"
check "the package enabled the metrics timer, through deb-systemd-helper (whose state keeps an administrator's disable)" \
    test "$(systemctl is-enabled qvgpu-vm-p2p-metrics.timer)" = enabled -a \
         -e /var/lib/systemd/deb-systemd-helper-enabled/qvgpu-vm-p2p-metrics.timer.dsh-also
# What systemd made of each unit's sandbox, against the one list the units
# and the man pages are made from.
while read -r unit protect writes caps; do
    [ -n "$unit" ] && [ "${unit:0:1}" != "#" ] || continue
    [ "$writes" = - ] && writes=""
    want="$protect|$writes|$(tr ' ' '\n' <<<"${caps,,}" | sort | tr '\n' ' ')"
    got=$(systemctl show -P ProtectSystem "qvgpu-vm-p2p-$unit.service")"|"$(systemctl show -P ReadWritePaths "qvgpu-vm-p2p-$unit.service")"|"$(systemctl show -P CapabilityBoundingSet "qvgpu-vm-p2p-$unit.service" | tr ' ' '\n' | sort | tr '\n' ' ')
    check "qvgpu-vm-p2p-$unit.service runs as its line of the list says (ProtectSystem|ReadWritePaths|capabilities)" \
        test "$got" = "$want"
done < "$ROOT/dist/systemd/sandboxing"
exited=$(prop qvgpu-vm-p2p-host.service ExecMainExitTimestampMonotonic)
started=$(prop libvirtd.service ExecMainStartTimestampMonotonic)
check "the host unit finished before the hypervisor service started — at ${exited} us and ${started} us" \
    test "$exited" -gt 0 -a "$exited" -lt "$started"
for unit in qvgpu-vm-p2p-guest.service qvgpu-vm-p2p-daemon.service; do
    check "$unit, enabled on the host, was skipped (not failed)" \
        test "$(state $unit)" = inactive/exec-condition
done
for g in $(gpus); do
    check "$g: the boot's record holds BAR0 base $(bar0_start "$g")" \
        test "$("$PEEK" "/sys/bus/pci/devices/$g/resource0" 0x100000 16)" = "$(record_bytes "$(bar0_start "$g")")"
done
# The packaged report agrees: no switch port redirects peer traffic, and
# every record is current.
check "the packaged status report says the host is ready" timeout "$TOOL_LIMIT" /usr/sbin/qvgpu-vm-p2p-status
check_boot_metrics
timed "checks of the host's boot"

# The kernel took the parameter that L1 printed in its first boot: it
# answers each port it names, once at enumeration and again at each restore,
# with "disabled ACS redirect", or, for a port without an ACS capability (as
# QEMU's switch ports are), with "cannot disable ACS redirect for this
# hardware as it does not have ACS capabilities"; and it answers no other
# device.  The rig adds the restore port to the list.
kacs=$(cat "$WORK/out/flow/kernel-acs" 2>/dev/null)
check "L1's first boot printed the parameter ($kacs), and its second boot's command line carries it" \
    grep -qF -- " ${kacs:-(none)};$RESTORE_PORT" /proc/cmdline
named=$( (for p in $(ports_above); do
             type=$(setpci -s "$p" CAP_EXP+2.w)
             [ "${type:2:1}" = 6 ] && echo "$p"
         done; echo "$RESTORE_PORT") | sort)
journalctl -k -b -o cat > /tmp/kernel.log
for p in $named; do
    check "the kernel answered $p on the command line (ACS $([ -n "$(setpci -s "$p" ECAP_ACS+6.w 2>/dev/null)" ] && echo present || echo absent))" \
        grep -qE "^pci(eport)? $p: (disabled ACS redirect|cannot disable ACS redirect for this hardware as it does not have ACS capabilities)$" /tmp/kernel.log
done
answered=$(grep -E 'disabled ACS redirect|cannot disable ACS redirect' /tmp/kernel.log |
           grep -oE '[0-9a-f]{4,}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]' | sort -u | paste -sd ' ')
check "the kernel answered no other device ($answered)" test "$answered" = "$(paste -sd ' ' <<<"$named")"
status_json kernel-acs-boot
printf '%s\n' $named | grep -vx "$RESTORE_PORT" | while read -r p; do
    printf '%s\t%s\n' "$p: the packaged report finds it kept off by the kernel's command line" \
        "[q['keptOffByKernel'] for q in d['ports'] if q['bus'] == '$p'] == [True]"
done | report_checks kernel-acs-boot
# With the parameter, the same restore leaves the redirects off.
before=$(grep -c "$RESTORE_PORT: disabled ACS redirect" /tmp/kernel.log)
check "$RESTORE_PORT: its redirects off since boot (ACS Control $(setpci -s "$RESTORE_PORT" ECAP_ACS+6.w))" \
    test $(( $(acs_control "$RESTORE_PORT") & 0x2c )) -eq 0
restore_port "$RESTORE_PORT"
setup "the kernel runtime-suspended $RESTORE_PORT and woke it${restored:+: $restored}" test -z "$restored"
check "with the parameter, the kernel's restore of $RESTORE_PORT left its redirects off (ACS Control $(setpci -s "$RESTORE_PORT" ECAP_ACS+6.w))" \
    test $(( $(acs_control "$RESTORE_PORT") & 0x2c )) -eq 0
check "the kernel said so at that restore" \
    test "$(journalctl -k -b -o cat | grep -c "$RESTORE_PORT: disabled ACS redirect")" -gt "$before"
timed "ACS kept off by the kernel's command line"

# The guest, booted by systemd the same way (boot-l2.sh checks it); about
# three and a half minutes under nested KVM, so a boot that takes twice that
# is taken as lost and booted again.
if grep -q 'qv.guestboot=1' /proc/cmdline; then
    modprobe kvm_amd npt=0 2>/dev/null || modprobe kvm_intel 2>/dev/null
    # L2's boot with systemd proves the units, not the layout (the flow
    # stage proves every pair on libvirt's machine): it gets the stand-ins
    # of L1's first root complex, on one NUMA node.  With the fourth, below
    # the expander on a second node, its boot took more than 640 s where
    # the three take about 430, and the longer L2 runs the likelier nested
    # virtualisation on an emulated CPU loses L1 (its kernel hit a stack
    # guard page 1175 s into the boot on 2026-12-09).
    pass_through "" "$(gpus | while read -r g; do
        [[ $(readlink -f "/sys/bus/pci/devices/$g") == /sys/devices/pci0000:00/* ]] && echo "$g"
    done | paste -sd,)"
    qemu_machine
    boot_l2 systemd l2 l2-boot "$L2_BOOT_LIMIT"
    timed "L2 with systemd, boot to power-off"

    # Under its sandbox the metrics unit still finds a hypervisor of another
    # user holding a GPU (QEMU under libvirt runs as its own user): that
    # takes reading another user's /proc/<pid>/fd, which the report cannot
    # do with the tool's own capabilities alone.
    held=$(gpus | head -n 1)
    group=$(basename "$(readlink "/sys/bus/pci/devices/$held/iommu_group")")
    setpriv --reuid=nobody --regid=nogroup --clear-groups sleep 600 3<>"/dev/vfio/$group" &
    holder=$!
    held_by_nobody() { [ "$(stat -c %U "/proc/$holder")" = nobody ] && holding "$holder" "/dev/vfio/$group"; }
    setup "user nobody holds $held's VFIO group $group — pid $holder" wait_until 30 held_by_nobody
    systemctl start qvgpu-vm-p2p-metrics.service
    check "the metrics unit, in its sandbox, sees $held in use by that process" \
        grep -qxF "qvgpu_vm_p2p_gpu_in_use{pci_address=\"$held\"} 1" "$PROM"
    systemd-run --wait --pipe --quiet -p CapabilityBoundingSet="CAP_SYS_ADMIN CAP_SYS_RAWIO" \
        /usr/sbin/qvgpu-vm-p2p-status --prometheus > /tmp/without-caps.prom
    check "without the unit's CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE the report cannot see it, and says neither in use nor free" \
        bash -c '! grep -q "^qvgpu_vm_p2p_gpu_in_use{pci_address=\"$1\"}" "$2"' _ "$held" /tmp/without-caps.prom
    check "and that is not ready, with no isolation judged" \
        bash -c 'grep -qx "qvgpu_vm_p2p_ready 0" "$1" && ! grep -q "^qvgpu_vm_p2p_isolation_breaches " "$1"' _ \
        /tmp/without-caps.prom
    kill "$holder"
    wait "$holder" 2>/dev/null
    timed "metrics with another user's hypervisor"
fi

# A store that cannot reach one GPU's memory fails its unit.  The kernel
# decides it: the in-tree DRM driver of QEMU's display device (kept away at
# boot) takes the GPU and claims its BARs, and strict devmem then refuses
# to map them, as it does in a guest for the GPU driver.
first=$(gpus | head -n 1)
dev=/sys/bus/pci/devices/$first
modprobe bochs
echo bochs-drm > "$dev/driver_override"
[ -e "$dev/driver" ] && echo "$first" > "$dev/driver/unbind"
echo "$first" > /sys/bus/pci/drivers_probe
setup "$first bound to the bochs DRM driver" test "$(basename "$(readlink "$dev/driver")")" = bochs-drm
systemctl restart qvgpu-vm-p2p-host.service
check "a store that missed a GPU leaves the host unit failed" \
    test "$(state qvgpu-vm-p2p-host.service)" = failed/exit-code
journalctl -b -o cat -u qvgpu-vm-p2p-host.service > /tmp/host-unit.journal
check "its journal says how many GPUs failed" grep -q 'store data failed for 1 of 4 GPUs' /tmp/host-unit.journal
check "and that the kernel would not map the memory bochs-drm holds" \
    grep -qF "$first is held by the driver 'bochs-drm' and the kernel will not map its memory" /tmp/host-unit.journal
timed "failed store"

echo "done l1-boot" >> "$RESULTS"
poweroff_now
