#!/bin/bash
# L2 booted by systemd with the package installed and its units enabled:
# the save ran before the stand-in driver, loaded by udev through its
# modalias, took the GPUs; the daemon configured the driver; a reload is
# caught.  Run by qv-rig-guest-checks.service once the boot is done.
LEVEL=l2-boot
source "$(dirname "$0")/lib.sh"
timed "boot with systemd"
: > /run/qv-rig-checks   # the results are the progress now (progress.sh)
# Where the boot's time went, kept beside the console by L1.
boot_jobs /xfer/systemd-jobs.journal
load_expectations

prop() { systemctl show -P "$2" "$1"; }
state() { echo "$(prop "$1" ActiveState)/$(prop "$1" Result)"; }
private_store_file_holds() {
    [ "$(stat -c %a "/etc/qv/vm_p2p_cfg/$1")" = 600 ] && store_file_holds "$@"
}
check "the guest unit saved the records at boot" test "$(state qvgpu-vm-p2p-guest.service)" = active/success
check "the host unit, enabled in the guest, was skipped (not failed)" \
    test "$(state qvgpu-vm-p2p-host.service)" = inactive/exec-condition
for g in $(gpus); do
    check "$g: store file, readable by root alone, holds L1's BAR0 base ${l1base[$g]}" \
        private_store_file_holds "$g" "$(bar0_start "$g")"
done

# Nothing here loads the driver but udev (which logs at debug level for the
# maker's GPUs), and it may bind the GPUs only after the save has finished: the
# save's end and each GPU's probe on one clock, CLOCK_MONOTONIC.
check "the driver is loaded, and the rig never loaded it" test -d /sys/module/morvanti
journalctl -b -o cat -u systemd-udevd.service > /tmp/udevd.journal
cp /tmp/udevd.journal /xfer/udevd.journal   # kept beside the console
check "udev's log names the GPUs' modalias" grep -qiF 'pci:v00001F7A' /tmp/udevd.journal
check "udev's log names the module it loaded for it" grep -qF "'morvanti'" /tmp/udevd.journal
saved=$(prop qvgpu-vm-p2p-guest.service ExecMainExitTimestampMonotonic)
for g in $(gpus); do
    probed=$(cat "/sys/bus/pci/devices/$g/probe_ns" 2>/dev/null)
    check "$g: the save finished before the driver took it up — at ${saved} us and ${probed:-never} ns" \
        test "$saved" -gt 0 -a -n "$probed" -a "$((saved * 1000))" -lt "${probed:-0}"
done

daemon_successes() {
    journalctl -b -o cat -u qvgpu-vm-p2p-daemon.service | grep -c 'Success: configuration completed'
}
# Ready means the driver has the addresses: the daemon's first.
within "$DAEMON_LIMIT" 1 "the daemon configured the driver" \
    "the daemon did not configure the driver at boot" daemon_successes
expect_peers "after the boot"
check "the packaged status report says the guest is ready" timeout "$TOOL_LIMIT" /usr/sbin/qvgpu-vm-p2p-status
check_boot_metrics
for g in $(gpus); do
    check "$g: the metrics hold its store file as valid" \
        grep -qxF "qvgpu_vm_p2p_gpu_store_valid{pci_address=\"$g\"} 1" "$PROM"
done
before=$(daemon_successes)
rmmod morvanti
modprobe morvanti
within "$DAEMON_LIMIT" $((before + 1)) "the daemon configures again after the driver is reloaded" \
    "the daemon did not configure the reloaded driver" daemon_successes
expect_peers "after a reload, from the daemon"
check "the daemon runs on" test "$(prop qvgpu-vm-p2p-daemon.service ActiveState)" = active
timed "checks of the guest's boot and a reload"

echo "done l2-boot" >> "$RESULTS"
poweroff_now
