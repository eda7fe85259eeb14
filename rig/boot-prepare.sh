#!/bin/bash
# Run by the rig's initramfs, chrooted into a machine's fresh root (an
# overlay on the shared root), before it hands over to systemd: the package
# is installed into that root with dpkg (its maintainer scripts run, and
# enable the metrics timer) and the host, guest and daemon units enabled
# with systemctl (their [Install] sections decide where), as an
# administrator who enables all of them would (the other side's must skip
# themselves), and the machine is made quiet enough to boot without disks.
# The guest's root lies on the host's, where the package is installed and
# enabled already.
source "$(dirname "$0")/lib.sh"
set -e
if ! dpkg-query -W -f='${Status}' qvgpu-vm-p2p 2>/dev/null | grep -q 'install ok installed'; then
    # man-db's trigger would index every manual page over 9p under TCG.
    rm -f /var/lib/man-db/auto-update
    dpkg -i "$WORK"/deb/qvgpu-vm-p2p_*_amd64.deb
    systemctl enable qvgpu-vm-p2p-host.service qvgpu-vm-p2p-guest.service \
        qvgpu-vm-p2p-daemon.service
fi
# The checkout may lie under /tmp, which systemd empties at boot: this
# root's /tmp is the build machine's, kept as it is.
mkdir -p /etc/tmpfiles.d
: > /etc/tmpfiles.d/tmp.conf
# No disks and no network here: the build machine's mounts and services stay
# out.
echo "# the rig's machines have no disks" > /etc/fstab
for unit in postgresql.service apparmor.service e2scrub_reap.service systemd-pstore.service \
            systemd-timesyncd.service getty@tty1.service apt-daily.timer apt-daily-upgrade.timer \
            man-db.timer dpkg-db-backup.timer e2scrub_all.timer fstrim.timer; do
    ln -sf /dev/null "/etc/systemd/system/$unit"
done
# Prometheus and node_exporter come with the build machine's userland (its
# tests use them), perhaps with the collectors' tools; no check here needs
# any of them running, only node_exporter's directory and user.
for unit in /lib/systemd/system/prometheus*.service /lib/systemd/system/prometheus*.timer \
            openipmi.service ipmievd.service smartmontools.service smartd.service \
            nvmf-autoconnect.service nvmefc-boot-connections.service uuidd.socket; do
    ln -sf /dev/null "/etc/systemd/system/${unit##*/}"
done
# The package's units get the time an emulated machine needs to start them
# (UNIT_START_LIMIT), and the metrics timer fires once after the boot, not
# every minute beside the checks; each check still asks the units how they
# ended.
for unit in qvgpu-vm-p2p-host.service qvgpu-vm-p2p-guest.service qvgpu-vm-p2p-metrics.service; do
    mkdir -p "/etc/systemd/system/$unit.d"
    printf '[Service]\nTimeoutStartSec=%s\n' "$UNIT_START_LIMIT" > "/etc/systemd/system/$unit.d/qv-rig.conf"
done
# (An empty assignment empties every one of the timer's monotonic
# triggers, the boot's too.)
mkdir -p /etc/systemd/system/qvgpu-vm-p2p-metrics.timer.d
printf '[Timer]\nOnUnitActiveSec=\nOnBootSec=10s\nOnUnitActiveSec=1d\n' \
    > /etc/systemd/system/qvgpu-vm-p2p-metrics.timer.d/qv-rig.conf
# The rig's own units: on the host the stand-ins' IDs and the hypervisor
# stand-in; on the guest (whose root lies on the host's) only the checks.
# The level comes from the kernel command line (qv.level=l1 or l2), never
# from the CPU's flag, which the guest's boot hides.
case $1 in
l1) rig_units=(qv-rig-ids.service libvirtd.service)
    keep_ports_awake ;;
l2) rig_units=(qv-rig-guest-checks.service)
    # Logins are never made here, and no check reads D-Bus, utmp or the
    # kernel's pseudo file systems that systemd mounts by default (systemctl
    # reaches systemd on its private socket as root); those units only
    # delay the multi-user target that the checks wait for, a second or
    # more each under nested virtualisation.
    for unit in systemd-logind.service console-getty.service serial-getty@.service \
                dbus.service dbus.socket systemd-user-sessions.service \
                systemd-update-utmp.service systemd-update-utmp-runlevel.service \
                systemd-binfmt.service proc-sys-fs-binfmt_misc.automount dev-hugepages.mount \
                dev-mqueue.mount sys-kernel-debug.mount sys-kernel-tracing.mount \
                sys-fs-fuse-connections.mount sys-kernel-config.mount systemd-tmpfiles-clean.timer; do
        ln -sf /dev/null "/etc/systemd/system/$unit"
    done ;;
*) echo "boot-prepare: no level l1 or l2 given (got '$1')" >&2; exit 1 ;;
esac
for unit in qv-rig-ids.service libvirtd.service qv-rig-guest-checks.service; do
    rm -f "/etc/systemd/system/$unit" "/etc/systemd/system/multi-user.target.wants/$unit"
done
for unit in "${rig_units[@]}"; do
    cp "$RIG/units/$unit" /etc/systemd/system/
    ln -sf "/etc/systemd/system/$unit" /etc/systemd/system/multi-user.target.wants/
done
# The rig's progress through the boot, from its start, on both levels.
mkdir -p /etc/systemd/system/sysinit.target.wants
cp "$RIG/units/qv-rig-progress.service" /etc/systemd/system/
ln -sf /etc/systemd/system/qv-rig-progress.service /etc/systemd/system/sysinit.target.wants/
# udev logs at debug level what it does for the maker's GPUs (it says which
# modalias it loads a module for, and which module it inserted), and for
# nothing else.
mkdir -p /etc/udev/rules.d
echo 'SUBSYSTEM=="pci", ATTR{vendor}=="0x1f7a", OPTIONS+="log_level=debug"' \
    > /etc/udev/rules.d/60-qv-rig-debug.rules
# The stand-in driver where udev finds it by its modalias.
mkdir -p "/lib/modules/$KVER/extra"
cp "$MODULE" "/lib/modules/$KVER/extra/"
cp "$WORK/depmod/lib/modules/$KVER"/modules.* "/lib/modules/$KVER/"
# QEMU's display devices stand in for the GPUs on the host; their own DRM
# driver must not take them, nor its own the e1000e below the restore port
# (it must sleep when the rig says).  KVM on the host uses shadow paging:
# the nested paging that TCG emulates loses the guest now and then.
printf 'blacklist bochs\nblacklist e1000e\noptions kvm_amd npt=0\n' > /etc/modprobe.d/qv-rig.conf
