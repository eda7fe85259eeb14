#!/usr/bin/env bash
# The real-kernel proving ground: Debian's own kernel boots this machine's
# userland (shared read-only over 9p) as a host, L1, under QEMU; L1 passes
# four stand-in GPUs through VFIO to a guest, L2, that it runs with KVM.
# The stage scripts l1.sh and l2.sh run the tool on both and check what the
# kernels did; this script sets everything up, boots L1 with a time limit,
# and counts the results.  Its last line is "N passed, N failed".
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
RIG=$QVGPU_ROOT/rig
WORK=$QVGPU_ROOT/build-rig
source "$RIG/limits.sh"
source "$RIG/watch.sh"
# The boot stage boots both machines with systemd: the guest's boot under
# nested KVM on the emulated host takes two to four minutes here.
# QVGPU_RIG_GUEST_BOOT=0 boots the host alone.
guest_boot=${QVGPU_RIG_GUEST_BOOT:-1}
[ "$guest_boot" = 1 ] || { L1_BOOT_LIMIT=$L1_BOOT_STEPS; L1_BOOT_NEED=$L1_BOOT_STEPS; }

started=$(date +%s)
qvgpu_install_packages qemu-system-x86 linux-image-amd64 linux-headers-amd64 \
    busybox-static cpio kmod make gcc python3 debhelper --lean prometheus-node-exporter \
    libvirt-clients libvirt-daemon-driver-qemu
echo "rig: packages ready in $(( $(date +%s) - started )) s"

# The newest Debian kernel that has its modules and headers here.
kver=""
for image in $(ls -v /boot/vmlinuz-*-amd64 2>/dev/null); do
    v=${image#/boot/vmlinuz-}
    [ -d "/lib/modules/$v/kernel" ] && [ -d "/lib/modules/$v/build" ] && kver=$v
done
if [ -z "$kver" ]; then
    echo "rig: no Debian kernel with modules and headers in /boot"
    echo "0 passed, 1 failed"
    exit 1
fi

set_up=$(date +%s)
rm -rf "$WORK/out" "$WORK/initrd" "$WORK/pkgroot"
mkdir -p "$WORK/out" "$WORK/initrd/modules" "$WORK/module"
# The package, built as the README builds it: the machines' systemd boots
# install it with dpkg, and the flow runs its programs.  scripts/test.sh
# hands over the one it built of this tree for the whole run.
if [ -n "${QVGPU_PACKAGE_DIR:-}" ]; then
    rm -rf "$WORK/deb"
    mkdir -p "$WORK/deb"
    cp "$QVGPU_PACKAGE_DIR"/qvgpu-vm-p2p_*_amd64.deb "$WORK/deb/"
else
    "$QVGPU_ROOT/scripts/package.sh" "$WORK/deb" >/dev/null || {
        echo "rig: the package does not build"; echo "0 passed, 1 failed"; exit 1; }
fi
dpkg-deb -x "$WORK"/deb/qvgpu-vm-p2p_*_amd64.deb "$WORK/pkgroot"
g++ -O2 -Wall -o "$WORK/peek" "$RIG/peek.cpp"
cp "$RIG/module/morvanti.c" "$RIG/module/morvanti_cmd.h" "$RIG/module/Kbuild" "$WORK/module/"
make -s -C "/lib/modules/$kver/build" M="$WORK/module" modules >/dev/null 2>"$WORK/module/build.log" || {
    cat "$WORK/module/build.log"; echo "rig: the stand-in driver does not build"; echo "0 passed, 1 failed"; exit 1; }
# The kernel's module index with the stand-in driver in it, for the boots
# with systemd, whose udev finds the driver there by its modalias.  Made
# here: depmod reads every module of the kernel, which over a guest's 9p
# root takes minutes.
index=$WORK/depmod/lib/modules/$kver
rm -rf "$WORK/depmod"
mkdir -p "$index/extra"
cp "/lib/modules/$kver"/modules.{order,builtin,builtin.modinfo} "$index/"
cp -rs "/lib/modules/$kver/kernel" "$index/kernel"
cp "$WORK/module/morvanti.ko" "$index/extra/"
depmod -b "$WORK/depmod" "$kver"

# The initramfs: busybox, the init script, and the modules that reach the
# 9p root, in dependency order.
cp /bin/busybox "$WORK/initrd/busybox"
mkdir -p "$WORK/initrd/bin"
mv "$WORK/initrd/busybox" "$WORK/initrd/bin/busybox"
ln -sf busybox "$WORK/initrd/bin/sh"
cp "$RIG/init" "$WORK/initrd/init"
chmod 755 "$WORK/initrd/init"
for m in virtio_pci 9pnet_virtio 9p; do
    modprobe -S "$kver" --show-depends "$m"
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' > "$WORK/initrd/modules.list"
: > "$WORK/initrd/modules/order"
while read -r ko; do
    cp "$ko" "$WORK/initrd/modules/"
    basename "$ko" >> "$WORK/initrd/modules/order"
done < "$WORK/initrd/modules.list"
rm "$WORK/initrd/modules.list"
(cd "$WORK/initrd" && find . | cpio -o -H newc --quiet | gzip -1) > "$WORK/initrd.cpio.gz"
echo "rig: kernel $kver; package, stand-in driver and initramfs built in $(( $(date +%s) - set_up )) s"
# What the verdict was proven on: Debian 12's kernel 6.1 and QEMU 7.2.
echo "rig: $(. /etc/os-release && echo "$PRETTY_NAME"), $(qemu-system-x86_64 --version | head -n 1)"

# L1: a host with an IOMMU, one switch with two downstream ports, a GPU
# stand-in behind each, and one more stand-in under a root port of its own.
# L2 is laid out like it, and the same firmware would give L2's stand-ins
# the very BAR0 bases L1's have: L1's own display adapter takes the top of
# the 32-bit window first, so that a base of L1's cannot pass for L2's.
# It has SVM and no "hypervisor" flag, and plays bare metal to the firmware
# too: a server maker's DMI strings, and no SMBIOS type 0 option (which
# would make QEMU build the BIOS table with its virtual-machine bit set).  It boots twice: once to run the
# flow stage by stage (l1.sh), once with systemd as init and the package's
# units enabled (boot-l1.sh, started by a stand-in for the hypervisor
# service).  Nested virtualisation inside an emulated CPU can still lose a
# guest for good; a boot that does not finish in time is ended and booted
# once more.
L1_VENDOR="Rig Systems Inc."
L1_PRODUCT="GPU Host 3"
# A root port of its own, with an e1000e that no driver takes below it,
# shows the kernel restoring a port's ACS: with every device below it
# allowed to sleep, the kernel runtime-suspends the port (pcie_port_pm=force,
# since SeaBIOS gives a BIOS year before 2015) and restores it when it is
# woken.  It lies apart from the stand-ins, so that naming it on the kernel
# command line merges none of their IOMMU groups.
RESTORE_PORT=0000:00:12.0
# The kernel tests every cipher it registers (udev loads those the CPU
# offers), which costs an emulated CPU minutes: cryptomgr.notests, here and
# in L2.
boot_l1() {   # boot_l1 OUT INIT LEVEL LIMIT [KERNEL PARAMETERS]
    timeout --kill-after=10 "$4" qemu-system-x86_64 \
        -machine q35,accel=tcg,kernel-irqchip=split -cpu max,hypervisor=off,la57=off,erms=off -smp 2 -m 4096 \
        -object memory-backend-ram,id=mem0,size=2048M -object memory-backend-ram,id=mem1,size=2048M \
        -numa node,nodeid=0,cpus=0,memdev=mem0 -numa node,nodeid=1,cpus=1,memdev=mem1 \
        -device intel-iommu,intremap=on,caching-mode=on \
        -smbios "type=1,manufacturer=$L1_VENDOR,product=$L1_PRODUCT,version=1.0" \
        -smbios "type=2,manufacturer=$L1_VENDOR" -smbios "type=3,manufacturer=$L1_VENDOR" \
        -kernel "/boot/vmlinuz-$kver" -initrd "$WORK/initrd.cpio.gz" \
        -append "console=ttyS0 intel_iommu=on iommu=pt panic=-1 loglevel=4 cryptomgr.notests no_timer_check mitigations=off init_on_alloc=0 pcie_port_pm=force qv.run=$2 qv.level=$3 qv.guestboot=$guest_boot qv.rig=$RIG qv.out=$1${5:+ $5}" \
        -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$1,mount_tag=out,security_model=none,multidevs=remap" \
        -device pcie-root-port,id=rp1,chassis=1,bus=pcie.0,addr=0x10 \
        -device x3130-upstream,id=up1,bus=rp1 \
        -device xio3130-downstream,id=dp1,bus=up1,chassis=2,slot=0 \
        -device xio3130-downstream,id=dp2,bus=up1,chassis=3,slot=1 \
        -device bochs-display,bus=dp1 \
        -device bochs-display,bus=dp2 \
        -device pcie-root-port,id=rp2,chassis=4,bus=pcie.0,addr=0x11 \
        -device bochs-display,bus=rp2 \
        -device pcie-root-port,id=rp3,chassis=5,bus=pcie.0,addr=0x12,hotplug=off \
        -device e1000e,bus=rp3 \
        -device cirrus-vga,bus=pcie.0,addr=0x5 \
        -device pxb-pcie,id=pxb1,bus_nr=128,numa_node=1,bus=pcie.0,addr=0x13 \
        -device pcie-root-port,id=rp4,chassis=6,bus=pxb1,addr=0x0 \
        -device bochs-display,bus=rp4 \
        -nic none -vga none -display none -monitor none -serial "file:$1/l1.console" -no-reboot \
        </dev/null
}
results=$WORK/out/results
: > "$results"
# The run's deadline (seconds since the epoch; CI's .ci/run sets it): no
# boot starts that could not end before it.
deadline=${QVGPU_RIG_DEADLINE:-}
run_l1() {   # run_l1 NAME INIT LEVEL MARKER LIMIT NEED [KERNEL PARAMETERS]
    local out=$WORK/out/$1 attempt status boot why qemu kept limit=$5 left
    for attempt in $(seq 1 "$L1_TRIES"); do
        if [ -n "$deadline" ]; then
            left=$((deadline - $(date +%s)))
            if [ "$left" -lt "$6" ]; then
                echo "FAIL rig: $1: L1 boot $attempt not started: $left s left before the run's deadline, and the stage needs $6 s" >> "$results"
                return
            fi
            [ "$left" -ge "$5" ] || limit=$left
        fi
        rm -rf "$out"
        mkdir -p "$out"
        touch "$out/results" "$out/l1.console"
        boot=$(date +%s)
        boot_l1 "$out" "$2" "$3" "$limit" "${7:-}" &
        qemu=$!
        why=$(watch_boot "$L1_STALL" "$qemu" "$out/results" "$out/l1.console")
        if ! reap "$qemu"; then
            why+="${why:+; }its QEMU did not end within $REAP_LIMIT s of its kill"
            kill_tree "$qemu"
        fi
        status=${reaped_status:-killed}
        echo "rig: $1: L1 boot $attempt ran $(( $(date +%s) - boot )) s"
        if grep -q "^done $4" "$out/results"; then
            cat "$out/results" >> "$results"
            return
        fi
        kept=$WORK/out/$1.l1.console.$attempt
        cp "$out/l1.console" "$kept"
        grep -q 'soft lockup' "$out/l1.console" && why+="${why:+; }L1's kernel reported a soft lockup"
        grep -aq 'rig: nested guest .* could not be ended' "$kept" &&
            why+="${why:+; }L2's QEMU in L1 did not end once killed"
        # L1's kernel panicked or reset (no stage script powered it off)
        # while L2 ran on it: nested virtualisation on an emulated CPU lost
        # it.  Anywhere else an L1 that dies is a FAIL.
        if [ -z "$why" ] && ! grep -aq 'sysrq: Power Off' "$kept" &&
           grep -a -o 'rig: nested guest [^ ]* [0-9]* [a-z]*' "$kept" | tail -n 1 | grep -q 'starts$'; then
            why="L1's kernel ended while L2 ran on it ($(ended_how "$kept"))"
        fi
        if boot_again "$why" "$out/results"; then
            echo "note rig: $1: L1 boot $attempt was lost ($why); console kept in $kept; booting it again" >> "$results"
            continue
        fi
        cat "$out/results" >> "$results"
        echo "FAIL rig: $1: L1 ended before its stage was done (QEMU status $status${why:+, $why}; $(ended_how "$kept")); console kept in $kept" >> "$results"
        return
    done
    echo "FAIL rig: $1: L1 was lost in $L1_TRIES boots" >> "$results"
}
rig_stages=${QVGPU_RIG_STAGES:-flow boot}
for stage in $rig_stages; do
    case $stage in
    flow) run_l1 flow "$RIG/l1.sh" l1 l1 "$L1_FLOW_LIMIT" "$L1_FLOW_NEED" ;;
    boot)
        # The second boot carries the parameter that keeps ACS off, as the
        # first boot printed it, and names the restore port too: without the
        # flow's run just before it, its checks of that parameter have
        # nothing to check.
        if [[ " $rig_stages " != *" flow "* ]]; then
            echo "FAIL rig: boot: the systemd half needs the kernel parameter the flow's run prints; run both halves (QVGPU_RIG_STAGES=\"flow boot\")" >> "$results"
            continue
        fi
        # A flow that did not finish printed none: one FAIL says so, not
        # each check of a parameter the boot would not carry.
        kacs=$(cat "$WORK/out/flow/kernel-acs" 2>/dev/null || true)
        if [ -z "$kacs" ]; then
            echo "FAIL rig: boot: the flow's run printed no kernel parameter (it did not finish), which the systemd half boots with; its checks were not run" >> "$results"
            continue
        fi
        [ "$kacs" = pci=disable_acs_redir= ] || kacs+=";"
        run_l1 boot systemd l1 l1-boot "$L1_BOOT_LIMIT" "$L1_BOOT_NEED" "$kacs$RESTORE_PORT" ;;
    esac
done
# Where each systemd boot's time went, beside its console.
python3 "$RIG/blame.py" $(find "$WORK/out" -name '*.systemd-jobs.journal*') || :
grep -v '^done ' "$results"
passed=$(grep -c '^ok ' "$results" || true)
failed=$(grep -c '^FAIL ' "$results" || true)
echo "rig: whole stage $(( $(date +%s) - started )) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
