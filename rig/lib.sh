# Shared by the stage scripts that run inside the rig's guests: where things
# are, and how a check is reported.  Each check appends one line to the
# results file, "ok NAME" or "FAIL NAME: why"; run.sh counts them.
RIG=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$RIG")
WORK=$ROOT/build-rig
TOOL=$WORK/pkgroot/usr/sbin/qvgpu-vm-p2p
PEEK=$WORK/peek
MODULE=$WORK/module/morvanti.ko
KVER=$(uname -r)
RESULTS=${RESULTS:-/xfer/results}
source "$RIG/limits.sh"
source "$RIG/watch.sh"
HEARTBEAT=/dev/console
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# Each result line goes to the results and the console by the shell's own
# printf: in L2 every process started costs a quarter of a second.
result() {
    printf '%s\n' "$1" >> "$RESULTS"
    printf '%s\n' "$1"
}
ok()   { result "ok $LEVEL: $*"; }
fail() { result "FAIL $LEVEL: $*"; }
note() { result "note $LEVEL: $*"; }
# What the rig itself set up, checked but not counted as a check of the
# tool or the kernel; a set-up that fails is a FAIL all the same.
setup() {
    local name=$1; shift
    if "$@"; then result "setup $LEVEL: $name"; else fail "set-up: $name"; fi
}

# nap SECONDS: a pause that starts no process (a read that times out on a
# FIFO nobody writes), for the polling waits.
nap_fd=""
nap() {
    if [ -z "$nap_fd" ]; then
        mkfifo "/run/qv-rig-nap.$BASHPID"
        exec {nap_fd}<>"/run/qv-rig-nap.$BASHPID"
        rm -f "/run/qv-rig-nap.$BASHPID"
    fi
    read -r -t "$1" -u "$nap_fd" _ || :
}

# check NAME COMMAND...: one result line for the command's success; a
# failure shows the command as it ran (for "test A = B" that is what was
# got and what was expected), its exit status and the start of its output.
check() {
    local name=$1 out rc
    shift
    out=$("$@" 2>&1)
    rc=$?
    if [ "$rc" -eq 0 ]; then
        ok "$name"
    else
        fail "$name: expected $(printf '%q ' "$@")to succeed, got exit $rc${out:+: $(head -c 400 <<<"$out" | tr '\n' ' ')}"
    fi
}

# Times each step: "time LEVEL: STEP 1.2 s", from the kernel's uptime in
# hundredths of a second.
step_start=0   # the first step timed is the boot itself
uptime_cs() { local up; read -r up _ < /proc/uptime; uptime=$((10#${up/./})); }
seconds_since() { uptime_cs; echo "$(((uptime - $1) / 100)).$(((uptime - $1) % 100 / 10))"; }
timed() {
    result "time $LEVEL: $1 $(seconds_since "$step_start") s"
    uptime_cs
    step_start=$uptime
}

# hide_flag COMMAND...: COMMAND in a private mount namespace whose
# /proc/cpuinfo lacks the "hypervisor" flag, as in a guest whose hypervisor
# hides it; the firmware's DMI stays the kernel's own.
hide_flag() {
    [ -s /tmp/cpuinfo-hidden ] || sed 's/hypervisor//g' /proc/cpuinfo > /tmp/cpuinfo-hidden
    unshare -m --propagation private sh -c 'mount --bind /tmp/cpuinfo-hidden /proc/cpuinfo && exec "$@"' \
        _ "$@"
}

# limited OUT ERR COMMAND...: the command under the tool's time limit (and
# under WRAP, when set: hide_flag), its standard output and error kept in
# OUT and ERR and shown after a line with its exit status, which is left in
# $status.  A command that hangs is a FAIL naming it, not a lost boot.
limited() {
    local out=$1 err=$2 shown
    shift 2
    shown="${1##*/}${2:+ ${*:2}}"
    $WRAP timeout --kill-after=5 "$TOOL_LIMIT" "$@" >"$out" 2>"$err"
    status=$?
    echo "--- $shown (exit $status)"
    cat "$out" "$err"
    [ "$status" -ne 124 ] && [ "$status" -ne 137 ] ||
        fail "$shown did not finish within $TOOL_LIMIT s"
}

# run NAME ARGS...: the tool, its output kept in /tmp/NAME.out and
# /tmp/NAME.err.
run() {
    local name=$1; shift
    limited "/tmp/$name.out" "/tmp/$name.err" "$TOOL" "$@"
}

# The status report: shown as text (exit status in $status), and kept as
# JSON in /tmp/NAME.json for report_holds.
STATUS=$WORK/pkgroot/usr/sbin/qvgpu-vm-p2p-status
run_status() {
    local name=$1 text began
    uptime_cs
    began=$uptime
    limited "/tmp/$name.out" "/tmp/$name.err" "$STATUS"
    text=$status
    # The report's own time here (with its wrapper's), for the benchmarks.
    result "time $LEVEL: the report alone, $name $(seconds_since "$began") s"
    status_json "$name"
    status=$text
}
# status_json NAME: the report as JSON alone, kept in /tmp/NAME.json, its
# exit status in $status.
status_json() {
    limited "/tmp/$1.json" "/tmp/$1.json.err" "$STATUS" --json
}
# report_holds NAME PYTHON-EXPRESSION: true when the expression holds for the
# report's JSON document, d.
report_holds() {
    python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); sys.exit(0 if eval(sys.argv[2]) else 1)' \
        "/tmp/$1.json" "$2"
}

# boot_jobs FILE: systemd's own log of this boot's jobs (each unit's
# "Starting" and "Started" or "Finished", with the monotonic clock), kept so
# that run.sh can give systemd-analyze blame's list on the build machine.
# systemd-analyze itself refuses while the rig's checks, the boot's last
# job, run; and asking systemd for every unit's timestamps costs minutes
# under nested virtualisation.  One journalctl costs a second.
boot_jobs() {
    journalctl -b -o json _PID=1 --output-fields=MESSAGE_ID,UNIT > "$1" 2>&1
}

# The root port of L1's that shows the kernel's restores (run.sh).
RESTORE_PORT=0000:00:12.0

# keep_ports_awake: every PCI bridge but the restore port kept from runtime
# sleep, as it is without pcie_port_pm=force, which L1 is booted with for
# the restore port alone: the stand-ins' ports stay as they always were.
keep_ports_awake() {
    local d class
    for d in /sys/bus/pci/devices/*; do
        read -r class < "$d/class"
        if [ "${class:0:6}" = 0x0604 ] && [ "${d##*/}" != "$RESTORE_PORT" ]; then
            echo on > "$d/power/control" || :
        fi
    done
    return 0
}

# kernel_path BDF: the device named as the kernel's command line names it by
# its path: its root bus's first device, then "/DD.F" for each one below it,
# from the kernel's own sysfs links.
kernel_path() {
    readlink -f "/sys/bus/pci/devices/$1" | tr / '\n' | grep -E '^[0-9a-f]{4,}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]$' |
        awk 'NR == 1 { name = $0; next } { name = name "/" substr($0, length($0) - 3) } END { print name }'
}
# acs_control PORT: the port's ACS Control as a number.
acs_control() { echo $(( 0x$(setpci -s "$1" ECAP_ACS+6.w) )); }
# restore_port PORT: has the kernel restore the port's saved state: the
# device below it (which no driver takes) allowed to runtime-suspend, the
# port runtime-suspended once it is, then woken.  Says how far it got in
# $restored ("" when the port was suspended and woken).
restore_port() {
    local port=/sys/bus/pci/devices/$1 below i status
    below=$(ls "$port" | grep -E '^[0-9a-f]{4,}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]$' | head -n 1)
    echo auto > "$port/power/control"
    echo auto > "$port/$below/power/control"
    restored="the kernel never runtime-suspended $1"
    for i in $(seq 1 50); do
        read -r status < "$port/power/runtime_status"
        [ "$status" = suspended ] && { restored=""; break; }
        nap 0.2
    done
    echo on > "$port/$below/power/control"
    echo on > "$port/power/control"
    [ -n "$restored" ] || [ "$(cat "$port/power/runtime_status")" = active ] || restored="$1 was not woken"
    [ -z "$restored" ]
}

# The maker's GPUs as the kernel shows them, in bus order, by the shell's
# own reads (a process costs much in the nested guest, and this runs often).
gpus() {
    local d vendor
    for d in /sys/bus/pci/devices/*; do
        read -r vendor < "$d/vendor"
        [ "$vendor" = 0x1f7a ] && echo "${d##*/}"
    done
    return 0
}

# Every device above a GPU, each once: computed once a boot (after
# show_maker_ids in L1) and kept in PORTS_ABOVE, by the shell's own
# reads (cd -P follows the links as readlink -f does).
PORTS_ABOVE=""
ports_above() {
    local g p path seen=" "
    if [ -z "$PORTS_ABOVE" ]; then
        for g in $(gpus); do
            path=$(cd -P "/sys/bus/pci/devices/$g" && pwd)
            IFS=/ read -ra path <<< "$path"
            for p in "${path[@]}"; do
                [[ $p =~ ^[0-9a-f]{4,}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]$ ]] && [ "$p" != "$g" ] || continue
                [[ $seen == *" $p "* ]] || { seen+="$p "; PORTS_ABOVE+="$p"$'\n'; }
            done
        done
    fi
    printf '%s' "$PORTS_ABOVE"
}

# report_checks NAME: one result line per "LABEL<tab>PYTHON-EXPRESSION" line
# of standard input, every expression evaluated on the report's JSON
# document, d, by one Python (each start costs seconds in the nested guest).
report_checks() {
    local verdict label
    python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
for line in sys.stdin:
    label, expression = line.rstrip("\n").split("\t", 1)
    try:
        held = bool(eval(expression))
        why = ""
    except Exception as e:
        held = False
        why = ": " + repr(e)
    if not held and not why and " == " in expression:
        # What was got, beside what was expected.
        got, expected = expression.rsplit(" == ", 1)
        try:
            why = ": expected " + expected + ", got " + repr(eval(got))
        except Exception as e:
            why = ": " + repr(e)
    print(("ok" if held else "FAIL") + "\t" + label + why)
' "/tmp/$1.json" | while IFS=$'\t' read -r verdict label; do
        if [ "$verdict" = ok ]; then ok "$label"; else fail "$label"; fi
    done
}

# The report's PCI tree, links and drivers against the kernel's own view:
# every port above a GPU drawn once in the tree, each port's and GPU's
# negotiated link width as lspci reads it from Link Status, and each GPU's
# bound driver as sysfs links it.
check_report_tree() {
    local name=$1 p g want driver
    lspci -D -vvv | awk '/^[0-9a-f]+:/ { dev = $1 }
        /LnkSta:/ && match($0, /Width x[0-9]+/) { print dev, substr($0, RSTART + 7, RLENGTH - 7) }' \
        > "/tmp/$name.widths"
    for p in $(ports_above); do
        check "$name: the tree draws $p once" test "$(grep -cE -- "[+\\]-$p " "/tmp/$name.out")" -eq 1
    done
    for g in $(gpus); do
        driver=$(basename "$(readlink "/sys/bus/pci/devices/$g/driver")" 2>/dev/null)
        check "$name: the text shows $g's driver (${driver:-none})" \
            grep -qE "  $g  .*  ${driver:--}  " "/tmp/$name.out"
    done
    {
        for p in $(ports_above); do
            want=$(awk -v d="$p" '$1 == d { print $2 }' "/tmp/$name.widths")
            printf '%s\t%s\n' "$name: $p's link width is lspci's (${want:-no link})" \
                "[str(q['link']['width']) if q['link'] else '' for q in d['ports'] if q['bus'] == '$p'] == ['$want']"
        done
        for g in $(gpus); do
            want=$(awk -v d="$g" '$1 == d { print $2 }' "/tmp/$name.widths")
            driver=$(basename "$(readlink "/sys/bus/pci/devices/$g/driver")" 2>/dev/null)
            printf '%s\t%s\n' "$name: $g's link width is lspci's (${want:-no link})" \
                "[str(x['link']['width']) if x['link'] else '' for x in d['gpus'] if x['bus'] == '$g'] == ['$want']"
            printf '%s\t%s\n' "$name: $g's driver is the one sysfs links (${driver:-none})" \
                "[x['driver'] or '' for x in d['gpus'] if x['bus'] == '$g'] == ['$driver']"
        done
    } | report_checks "$name"
}

# BAR0's start address from the kernel's resource table (not from config
# space, which is what the tool reads), in hexadecimal without prefix.
# wipe_record BUS: the 16 bytes of the GPU's record in its device memory
# zeroed, through its resource file.
wipe_record() {
    python3 -c 'import mmap, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_SYNC)
m = mmap.mmap(fd, 0x101000, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
m[0x100000:0x100010] = bytes(16)' "/sys/bus/pci/devices/$1/resource0"
}

bar0_start() {
    local start
    read -r start _ < "/sys/bus/pci/devices/$1/resource"
    printf '%x\n' "$start"
}

# The 16 bytes of a record for device ID 0x0001 and the given base, as peek
# prints them.
record_bytes() {
    local base=$1 i out="dd cc bb aa 01 00 7a 1f"
    for i in 0 1 2 3 4 5 6 7; do
        out+=$(printf ' %02x' $(( (0x$base >> (8 * i)) & 0xff )))
    done
    echo "$out"
}

# The stand-ins are QEMU's bochs-display (1234:1111): a 16 MiB memory BAR0
# and a 4 KiB register BAR2.  The kernel shows QEMU's IDs; the maker's IDs
# are shown over those two attributes, and nothing else is changed.
show_maker_ids() {
    local d
    mkdir -p /run/qv-ids
    echo 0x1f7a > /run/qv-ids/vendor
    echo 0x0001 > /run/qv-ids/device
    for d in /sys/bus/pci/devices/*; do
        [ "$(cat "$d/vendor") $(cat "$d/device")" = "0x1234 0x1111" ] || continue
        mount --bind /run/qv-ids/vendor "$d/vendor"
        mount --bind /run/qv-ids/device "$d/device"
    done
}

# L1: every stand-in to vfio-pci, and L2's devices as the report lays them
# out like L1's tree; fills VFIO with QEMU's arguments (the layout's, with
# the stand-in's properties appended to each vfio-pci line, its subsystem
# device ID numbering the GPUs) and /xfer/expected with what L2 must find
# under each number (number, L1 address, L1 BAR0 base).  With a report's
# name, /xfer/links gets the link of every pair of GPUs in that report.
# With GPUS (bus addresses, comma-separated), L2 gets those alone.
pass_through() {
    local g line n=0 chosen
    chosen=$(tr ',' ' ' <<< "${2:-$(gpus | paste -sd,)}" | wc -w)
    modprobe vfio-pci
    mkdir -p /xfer
    for g in $(gpus); do
        echo vfio-pci > "/sys/bus/pci/devices/$g/driver_override"
        echo "$g" > /sys/bus/pci/drivers_probe
        setup "$g bound to vfio-pci" test "$(basename "$(readlink "/sys/bus/pci/devices/$g/driver")")" = vfio-pci
    done
    limited /tmp/layout.qemu /tmp/layout.err "$STATUS" --layout=qemu ${2:+--gpus=$2}
    # Its one note says which guest node stands for each of L1's nodes
    # that hold the chosen GPUs: L2 defines those nodes.
    check "the layout of L1's stand-ins: exit 0, nothing to warn of, the NUMA nodes to define" \
        test "$status" -eq 0 -a "$(grep -vc '^Note: the GPUs sit on [0-9] NUMA nodes\?: ' /tmp/layout.err)" -eq 0
    L2_NODES=$(grep -o 'guest node [0-9]*' /tmp/layout.err | wc -l)
    VFIO=()
    : > /xfer/expected
    while read -r line; do
        [ "${line%% *}" = -device ] || { fail "not a -device option in the layout: $line"; continue; }
        line=${line#-device }
        if [ "${line%%,*}" = vfio-pci ]; then
            n=$((n + 1))
            g=$(sed -n 's/.*,host=\([^,]*\).*/\1/p' <<< "$line")
            line+=",x-pci-vendor-id=0x1f7a,x-pci-device-id=0x0001,x-pci-sub-device-id=$n,x-no-mmap=on"
            echo "$n $g $(bar0_start "$g")" >> /xfer/expected
        fi
        VFIO+=(-device "$line")
    done < /tmp/layout.qemu
    check "the layout passes every chosen stand-in through ($n of $chosen)" test "$n" -eq "$chosen"
    [ -z "${1:-}" ] || python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
for i, a in enumerate(d["gpus"]):
    for j, b in enumerate(d["gpus"]):
        print(a["bus"], b["bus"], d["links"][i][j] + ("*" if d["redirected"][i][j] else ""))
' "/tmp/$1.json" > /xfer/links
}

# L2's machine from the layout's options: one CPU, 1 GiB split over the
# NUMA nodes the layout's note asks for.
qemu_machine() {
    local node
    L2_MACHINE=(qemu-system-x86_64 -name guest=l2,debug-threads=on -machine q35,accel=kvm -cpu host
                -smp 1 -m 1024)
    for node in $(seq 0 $((L2_NODES - 1))); do
        L2_MACHINE+=(-object "memory-backend-ram,id=mem$node,size=$((1024 / L2_NODES))M"
                     -numa "node,nodeid=$node,memdev=mem$node$([ "$node" = 0 ] && echo ,cpus=0)")
    done
    L2_MACHINE+=("${VFIO[@]}" -nic none -vga none -display none -monitor none)
}

# L1: L2's machine as libvirt's own QEMU driver (embedded, with no daemon)
# makes its arguments of the domain that the report's --layout=libvirt
# --domain merges: a domain with L1's stand-ins as hostdevs (user aliases,
# whose QEMU properties show the maker's IDs and number the GPUs as
# /xfer/expected does) and the NUMA cells the layout asks for.  Only what
# cannot run here is taken out: the stop at start (-S), the secret and the
# monitor with their sockets, and -no-shutdown (L2's power-off must end
# QEMU); every -device stays as libvirt wrote it.
libvirt_machine() {
    local root=/run/embed n g base cell cells="" V
    mkdir -p "$root/etc"
    printf 'user = "root"\ngroup = "root"\nnamespaces = []\nsecurity_driver = "none"\n' > "$root/etc/qemu.conf"
    # libvirt looks up its default user first, which its daemon's package creates.
    grep -q '^libvirt-qemu:' /etc/passwd || echo 'libvirt-qemu:x:64055:64055::/nonexistent:/usr/sbin/nologin' >> /etc/passwd
    grep -q '^libvirt-qemu:' /etc/group || echo 'libvirt-qemu:x:64055:' >> /etc/group
    for cell in $(seq 0 $((L2_NODES - 1))); do
        cells+="<cell id='$cell' cpus='$([ "$cell" = 0 ] && echo 0)' memory='$((1048576 / L2_NODES))' unit='KiB'/>"
    done
    {
        echo "<domain type='kvm' xmlns:qemu='http://libvirt.org/schemas/domain/qemu/1.0'><name>l2</name>"
        echo "<memory unit='KiB'>1048576</memory><vcpu>1</vcpu><features><acpi/><apic/></features>"
        echo "<cpu mode='host-passthrough'><numa>$cells</numa></cpu>"
        echo "<os><type arch='x86_64' machine='q35'>hvm</type></os><devices><emulator>/usr/bin/qemu-system-x86_64</emulator>"
        # A display adapter of L2's own keeps L2's BAR0 bases apart from
        # L1's, as L1's own adapter does for the QEMU form: firmware lays
        # the largest BARs out first, from the bottom of a window it puts as
        # high as it fits, so 8 MiB more above the GPUs' 16 MiB moves them
        # all (with 64 MiB more below, or none, they land where L1's are).
        echo "<video><model type='vga' vram='8192' heads='1' primary='yes'/></video>"
        while read -r n g base; do
            echo "<hostdev mode='subsystem' type='pci' managed='no'><source><address domain='0x${g%%:*}' bus='0x$(cut -d: -f2 <<< "$g")' slot='0x$(cut -d: -f3 <<< "$g" | cut -d. -f1)' function='0x${g##*.}'/></source><alias name='ua-gpu$n'/></hostdev>"
        done < /xfer/expected
        echo "</devices><qemu:override>"
        while read -r n g base; do
            echo "<qemu:device alias='ua-gpu$n'><qemu:frontend>"
            echo "<qemu:property name='x-pci-vendor-id' type='unsigned' value='$((0x1f7a))'/><qemu:property name='x-pci-device-id' type='unsigned' value='1'/>"
            echo "<qemu:property name='x-pci-sub-device-id' type='unsigned' value='$n'/><qemu:property name='x-no-mmap' type='bool' value='true'/>"
            echo "</qemu:frontend></qemu:device>"
        done < /xfer/expected
        echo "</qemu:override></domain>"
    } > /tmp/l2-base.xml
    V="virsh -q -c qemu:///embed?root=$root"
    $V define /tmp/l2-base.xml > /tmp/libvirt.out 2>&1 && $V dumpxml l2 > /tmp/l2-dumped.xml 2>>/tmp/libvirt.out
    setup "libvirt's QEMU driver, embedded, defines L2 with L1's stand-ins" test -s /tmp/l2-dumped.xml
    timed "libvirt's QEMU driver: its capability probe under emulation, and the definition"
    limited /tmp/l2-merged.xml /tmp/l2-merged.err "$STATUS" --layout=libvirt --domain=- --hotplug-ports=1 \
        < /tmp/l2-dumped.xml
    check "the layout merged into L2's domain, with a port for hot-plug: exit 0, nothing to warn of" \
        test "$status" -eq 0 -a "$(grep -vc '^Note: the GPUs sit on [0-9] NUMA nodes\?: \|^Note: libvirt has no element for a root port' /tmp/l2-merged.err)" -eq 0
    # libvirt has no element for the port's window: it gets it as the
    # layout's note says, by libvirt's override of a device's QEMU
    # properties.  L2 learns the port's id from /xfer/hotplug-port.
    local port property value
    read -r port property value < <(sed -n "s/^Note: libvirt has no element for .*: give \([^ ,]*\) the QEMU property \([a-z0-9-]*\)=\([0-9]*\) with .*/\1 \2 \3/p" /tmp/l2-merged.err)
    echo "$port" > /xfer/hotplug-port
    sed -i "s|</qemu:override>|<qemu:device alias='$port'><qemu:frontend><qemu:property name='$property' type='unsigned' value='$value'/></qemu:frontend></qemu:device>&|" \
        /tmp/l2-merged.xml
    $V define /tmp/l2-merged.xml >> /tmp/libvirt.out 2>&1 &&
        $V domxml-to-native qemu-argv --domain l2 > /tmp/l2.argv 2>>/tmp/libvirt.out
    cat /tmp/libvirt.out /tmp/l2.argv
    check "libvirt's QEMU driver defines the merged domain and gives QEMU's arguments for it" test -s /tmp/l2.argv
    mapfile -d '' -t L2_MACHINE < <(python3 -c '
import shlex, sys
words = shlex.split(open(sys.argv[1]).read())
while words and "=" in words[0] and not words[0].startswith("/"):
    words.pop(0)   # the environment libvirt would start QEMU in
out, i = [], 0
while i < len(words):
    w = words[i]
    value = words[i + 1] if i + 1 < len(words) else ""
    if w in ("-S", "-no-shutdown"):
        i += 1
        continue
    if (w == "-object" and "secret" in value) or (w == "-chardev" and "monitor" in value) or w == "-mon":
        i += 2
        continue
    out.append(w)
    i += 1
sys.stdout.write("\0".join(out) + "\0")
' /tmp/l2.argv)
    setup "L2 starts from libvirt's arguments: its -device options as libvirt wrote them ($(grep -o -- "-device '{" /tmp/l2.argv | wc -l))" \
        test "$(printf '%s\n' "${L2_MACHINE[@]}" | grep -c '^{"driver"')" -eq "$(grep -o -- "-device '{" /tmp/l2.argv | wc -l)"
    setup "libvirt gives the hot-plug port ${port:-(none named)} the window the layout names ($property=$value)" \
        bash -c 'grep -F "\"id\":\"$1\"" /tmp/l2.argv | grep -qF "\"$2\":$3"' _ "$port" "$property" "$value"
    $V undefine l2 > /dev/null 2>&1
}

# L1: boots L2 (INIT: a stage script, or "systemd"; LEVEL on its command
# line; it ends its results with "done MARKER"), at most L2_TRIES times when
# nested virtualisation loses it, and adds its results to ours.  L2's own
# 9p shares sit at root-bus slots that neither libvirt nor the layout takes
# (QEMU would give them the first free slot before the machine's devices).
boot_l2() {   # boot_l2 INIT LEVEL MARKER LIMIT
    local init=$1 level=$2 marker=$3 limit=$4 attempt status qemu why kept
    for attempt in $(seq 1 "$L2_TRIES"); do
        rm -f /xfer/results /xfer/console /xfer/*.journal /xfer/qemu.err /xfer/hotplug-[0-9]*
        touch /xfer/results /xfer/console
        # On L1's console, so that run.sh can tell an L1 whose kernel died
        # under nested virtualisation from one that died on its own.
        echo "rig: nested guest $marker $attempt starts" > "$HEARTBEAT"
        timeout --kill-after=5 "$limit" "${L2_MACHINE[@]}" \
            -kernel "/boot/vmlinuz-$KVER" -initrd "$WORK/initrd.cpio.gz" \
            -append "console=ttyS0 panic=-1 loglevel=4 cryptomgr.notests no_timer_check mitigations=off init_on_alloc=0 qv.run=$init qv.level=$level qv.rig=$RIG qv.out=/xfer" \
            -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
            -fsdev local,id=out,path=/xfer,security_model=none,multidevs=remap \
            -device virtio-9p-pci,fsdev=root,mount_tag=root,bus=pcie.0,addr=0x1d \
            -device virtio-9p-pci,fsdev=out,mount_tag=out,bus=pcie.0,addr=0x1e \
            -serial file:/xfer/console -no-reboot \
            </dev/null 2>/xfer/qemu.err &
        qemu=$!
        why=$(watch_boot "$L2_STALL" "$qemu" /xfer/results /xfer/console)
        if ! reap "$qemu"; then
            # Its vCPU is stuck in this kernel: L1 is lost with it.  The
            # level above tells that apart by this line.
            echo "rig: nested guest $marker $attempt could not be ended ($why)" > "$HEARTBEAT"
            cp /xfer/console "$OUT/$marker.console.$attempt" 2>/dev/null
            poweroff_now
        fi
        status=$reaped_status
        echo "rig: nested guest $marker $attempt ended" > "$HEARTBEAT"
        cp /xfer/console "$OUT/$marker.console.$attempt" 2>/dev/null
        for kept in /xfer/*.journal; do
            [ -e "$kept" ] && cp "$kept" "$OUT/$marker.$(basename "$kept").$attempt"
        done
        if grep -q "^done $marker" /xfer/results; then
            grep -v '^done ' /xfer/results >> "$RESULTS"
            return
        fi
        if boot_again "$why" /xfer/results; then
            grep -q 'soft lockup' <(dmesg) && why+="; L1's kernel reported a soft lockup"
            note "$marker boot $attempt was lost ($why); booting it again"
            continue
        fi
        grep -v '^done ' /xfer/results >> "$RESULTS"
        fail "$marker ended before its stage was done (QEMU status $status${why:+, $why}; $(ended_how /xfer/console)${status:+; QEMU said: $(head -c 300 /xfer/qemu.err | tr '\n' ' ')})"
        return
    done
    fail "$marker was lost in $L2_TRIES boots of at most $limit s"
}

# L2: which L1 GPU each of ours is, from the subsystem device ID L1 gave it.
declare -A l1bdf l1base
load_expectations() {
    local g n number bdf base
    for g in $(gpus); do
        read -r n < "/sys/bus/pci/devices/$g/subsystem_device"
        while read -r number bdf base; do
            [ "$number" = "$((n))" ] && l1bdf[$g]=$bdf && l1base[$g]=$base
        done < /xfer/expected
    done
}

# L2: every GPU's driver instance knows every GPU's L1 BAR0 base under that
# GPU's minor number.
expect_peers() {
    local g h want
    want=$(for h in $(gpus); do echo "$(cat "/sys/bus/pci/devices/$h/minor") ${l1base[$h]}"; done | sort)
    for g in $(gpus); do
        check "$g's driver knows every peer's L1 BAR0 base $1" \
            test "$(sort "/sys/bus/pci/devices/$g/p2p_peers")" = "$want"
    done
}

# L2: the store file of a GPU holds the record of its L1 BAR0 base, which is
# not the GPU's own base here (given as the second argument, if at all).
store_file_holds() {
    test "$(od -An -tx1 -v "/etc/qv/vm_p2p_cfg/$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//')" = \
         "$(record_bytes "${l1base[$1]}")" -a "${l1base[$1]}" != "${2:-none}"
}

# wait_until LIMIT COMMAND...: until COMMAND succeeds, LIMIT seconds at
# most; false when it never did.
wait_until() {
    local deadline=$((SECONDS + $1)); shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        nap 0.2
    done
}
# holding PID FILE: whether process PID holds FILE as its descriptor 3: the
# link's target, not its mere existence (a holder started in the
# background may show a descriptor 3 before its redirection is made).
holding() { [ "$(readlink "/proc/$1/fd/3" 2>/dev/null)" = "$2" ]; }

# wait_for COUNT COMMAND...: until COMMAND prints a number >= COUNT (2 min).
wait_for() {
    local want=$1 deadline=$((SECONDS + 120)); shift
    while [ "$SECONDS" -lt "$deadline" ]; do
        [ "$("$@")" -ge "$want" ] 2>/dev/null && return 0
        nap 0.5
    done
    return 1
}

# within LIMIT COUNT NAME FAILURE COMMAND...: one result line: ok NAME when
# COMMAND prints a number >= COUNT within LIMIT seconds, else a FAIL that
# says what did not happen (FAILURE) and what COMMAND printed last.
within() {
    local limit=$1 want=$2 name=$3 failure=$4 got deadline
    shift 4
    deadline=$((SECONDS + limit))
    while :; do
        got=$("$@")
        [ "${got:-0}" -ge "$want" ] 2>/dev/null && { ok "$name"; return 0; }
        [ "$SECONDS" -lt "$deadline" ] || break
        nap 0.5
    done
    fail "$failure within $limit s (wanted $want, got ${got:-nothing})"
    return 1
}

# The metrics file the metrics timer keeps for node_exporter: 1 once it is
# there, for wait_for.
PROM=/var/lib/prometheus/node-exporter/qvgpu-vm-p2p.prom
prom_written() { [ -s "$PROM" ] && echo 1 || echo 0; }

# A unit's time property in seconds since the epoch, "" when never (a
# timer's last trigger is shown as a date whatever --timestamp says).
epoch() { local t; t=$(systemctl show "$@"); [ -n "$t" ] && date -d "$t" +%s 2>/dev/null; }
# Checks of the metrics the timer wrote after a boot, that node_exporter's
# user can read them, and that they say ready.
check_boot_metrics() {
    check "the metrics timer, enabled, wrote $PROM after the boot" wait_for 1 prom_written
    local fired ran
    fired=$(epoch -P LastTriggerUSec qvgpu-vm-p2p-metrics.timer)
    ran=$(epoch --timestamp=unix -P ExecMainStartTimestamp qvgpu-vm-p2p-metrics.service)
    check "the timer fired and started the metrics unit, which succeeded — at ${fired:-never} s and ${ran:-never} s" \
        test -n "$fired" -a -n "$ran" -a "${ran:-0}" -ge "${fired:-1}" -a \
             "$(systemctl show -P Result qvgpu-vm-p2p-metrics.service)" = success
    check "node_exporter's user reads the file" runuser -u prometheus -- cat "$PROM"
    # The timer may have fired before the guest's daemon configured the
    # driver; the unit, run now, says what is so now.
    systemctl start qvgpu-vm-p2p-metrics.service
    check "the metrics unit, run again now, says ready" grep -qx 'qvgpu_vm_p2p_ready 1' "$PROM"
}

poweroff_now() {
    sync
    echo o > /proc/sysrq-trigger
    sleep 30
}
