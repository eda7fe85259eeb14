#!/bin/bash
# The host (L1): the tool wakes the stand-in GPUs through the real setpci,
# handles ACS and stores the records in their device memory; the kernel's
# own view (config space, lspci, a mapping of resource0) confirms it.  Then
# the stand-ins go to vfio-pci and a guest (L2) gets them.
LEVEL=l1
OUT=$(sed -n 's/.*qv\.out=\([^ ]*\).*/\1/p' /proc/cmdline)
RESULTS=$OUT/results
source "$(dirname "$0")/lib.sh"
L2_LIMIT=${L2_LIMIT:-150}
timed boot

# The stand-ins are QEMU's bochs-display (1234:1111): a 16 MiB memory BAR0
# and a 4 KiB register BAR2.  The kernel shows QEMU's IDs; the maker's IDs
# are shown over those two attributes, and nothing else is changed.
standins=()
for d in /sys/bus/pci/devices/*; do
    [ "$(cat "$d/vendor") $(cat "$d/device")" = "0x1234 0x1111" ] && standins+=("$(basename "$d")")
done
mkdir -p /run/qv-ids
echo 0x1f7a > /run/qv-ids/vendor
echo 0x0001 > /run/qv-ids/device
for g in "${standins[@]}"; do
    mount --bind /run/qv-ids/vendor "/sys/bus/pci/devices/$g/vendor"
    mount --bind /run/qv-ids/device "/sys/bus/pci/devices/$g/device"
done
check "three stand-in GPUs of vendor 0x1f7a" test "$(gpus | wc -l)" -eq 3
check "a genuine host: no \"hypervisor\" in /proc/cpuinfo" bash -c '! grep -q hypervisor /proc/cpuinfo'

# Every bridge above a GPU, and what its config space holds before the run.
ports=()
for g in $(gpus); do
    for p in $(readlink -f "/sys/bus/pci/devices/$g" | tr / '\n' | grep -E '^[0-9a-f]{4}:' | grep -v "^$g$"); do
        [[ " ${ports[*]} " == *" $p "* ]] || ports+=("$p")
    done
done
for p in "${ports[@]}"; do
    od -An -tx1 -v "/sys/bus/pci/devices/$p/config" > "/tmp/config-$p.before"
    lspci -vvv -s "$p" | grep -E 'ACSCtl' > "/tmp/acs-$p.before"
done
timed "setup"

run store --disable-acs --store-data
check "--disable-acs --store-data exits 0" test "$status" -eq 0
check "the store's success line" grep -qF $'\033[32mSuccess: store data completed!\033[0m' /tmp/store.out
timed "tool: --disable-acs --store-data"

for g in $(gpus); do
    check "$g woken by the real setpci: COMMAND reads 0006" test "$(setpci -s "$g" COMMAND)" = 0006
    check "$g: lspci shows Mem+ BusMaster+" bash -c "lspci -vvv -s $g | grep -q 'Control: I/O- Mem+ BusMaster+'"
done
for p in "${ports[@]}"; do
    od -An -tx1 -v "/sys/bus/pci/devices/$p/config" > "/tmp/config-$p.after"
    type=$(setpci -s "$p" CAP_EXP+2.w)
    case ${type:2:1} in
    4) what="root port" ;;
    5) what="switch upstream port" ;;
    6) what="switch downstream port" ;;
    *) what="port of type ${type:2:1}" ;;
    esac
    if [ -s "/tmp/acs-$p.before" ]; then
        lspci -vvv -s "$p" | grep -E 'ACSCtl' > "/tmp/acs-$p.after"
        check "$p ($what, $(tr -s ' \t' ' ' < "/tmp/acs-$p.before")) left alone" \
            cmp -s "/tmp/config-$p.before" "/tmp/config-$p.after"
    else
        check "$p ($what, no ACS capability) left as it was" \
            cmp -s "/tmp/config-$p.before" "/tmp/config-$p.after"
    fi
done

# The records, read back through a mapping of resource0 and compared with
# BAR0's start in the kernel's resource table.
: > /tmp/expected
for g in $(gpus); do
    base=$(bar0_start "$g")
    got=$("$PEEK" "/sys/bus/pci/devices/$g/resource0" 0x100000 16)
    check "$g: record at 0x100000 holds magic and BAR0 base $base" test "$got" = "$(record_bytes "$base")"
    echo "$g $base" >> /tmp/expected
done
timed "checks of the store"

# Passthrough: every stand-in to vfio-pci, then L2 with each behind a root
# port of its own.  The nested guest sometimes hangs under emulated SVM;
# each boot is bounded, and a guest that did not finish is booted again.
# Shadow paging: the nested paging that TCG emulates for SVM loses L2 now
# and then (its vCPU spins in L1's kernel, past any time limit in L1).
modprobe kvm_amd npt=0 2>/dev/null || modprobe kvm_intel 2>/dev/null
check "nested virtualisation: /dev/kvm in L1" test -c /dev/kvm
if [ ! -c /dev/kvm ]; then
    fail "no guest can be started without nested virtualisation: the L2 flow did not run"
    echo "done l1" >> "$RESULTS"
    poweroff_now
fi
modprobe vfio-pci
vfio=()
slot=16
mkdir -p /xfer
for g in $(gpus); do
    echo vfio-pci > "/sys/bus/pci/devices/$g/driver_override"
    echo "$g" > /sys/bus/pci/drivers_probe
    check "$g bound to vfio-pci" test "$(basename "$(readlink "/sys/bus/pci/devices/$g/driver")")" = vfio-pci
    vfio+=(-device "pcie-root-port,id=p$slot,chassis=$slot,bus=pcie.0,addr=$(printf 0x%x $slot)"
           -device "vfio-pci,host=$g,bus=p$slot,x-pci-vendor-id=0x1f7a,x-pci-device-id=0x0001,x-no-mmap=on")
    # What L2 must find behind the root port at 00:<slot>.0.
    printf '0000:00:%02x.0 %s %s\n' "$slot" "$g" "$(bar0_start "$g")" >> /xfer/expected
    slot=$((slot + 1))
done
timed "passthrough set up"

for attempt in 1 2 3; do
    rm -f /xfer/results /xfer/console
    touch /xfer/results
    timeout --kill-after=5 "$L2_LIMIT" qemu-system-x86_64 \
        -machine q35,accel=kvm -cpu host -smp 1 -m 1024 \
        -kernel "/boot/vmlinuz-$KVER" -initrd "$WORK/initrd.cpio.gz" \
        -append "console=ttyS0 panic=-1 loglevel=4 qv.run=$RIG/l2.sh qv.out=/xfer" \
        -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
        -virtfs local,path=/xfer,mount_tag=out,security_model=none,multidevs=remap \
        "${vfio[@]}" \
        -nic none -vga none -display none -monitor none -serial file:/xfer/console -no-reboot \
        </dev/null
    l2status=$?
    cp /xfer/console "$OUT/l2.console.$attempt" 2>/dev/null
    if grep -q '^done l2' /xfer/results; then
        break
    fi
    note "L2 boot $attempt did not finish (QEMU status $l2status); booting it again"
done
grep -v '^done ' /xfer/results >> "$RESULTS"
grep -q '^done l2' /xfer/results || fail "L2 did not finish in 3 boots of at most $L2_LIMIT s"
timed "L2, boot to power-off"
echo "done l1" >> "$RESULTS"
poweroff_now
