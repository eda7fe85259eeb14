#!/bin/bash
# The host (L1): the tool wakes the stand-in GPUs through the real setpci,
# handles ACS and stores the records in their device memory; the kernel's
# own view (config space, lspci, a mapping of resource0) confirms it.  Then
# the stand-ins go to vfio-pci and a guest (L2) gets them.
LEVEL=l1
OUT=$(sed -n 's/.*qv\.out=\([^ ]*\).*/\1/p' /proc/cmdline)
RESULTS=$OUT/results
source "$(dirname "$0")/lib.sh"
timed boot
keep_ports_awake

show_maker_ids
ports_above > /dev/null   # once, now that the stand-ins show the maker's IDs
setup "four stand-in GPUs shown with vendor 0x1f7a, one below a root complex of its own on NUMA node 1" \
    test "$(gpus | wc -l)" -eq 4 -a "$(cat /sys/bus/pci/devices/0000:81:00.0/numa_node 2>/dev/null)" = 1
setup "a host: QEMU gives L1 no \"hypervisor\" flag" bash -c '! grep -q hypervisor /proc/cpuinfo'
dmi=$(cd /sys/class/dmi/id && for f in sys_vendor product_name product_version board_vendor bios_vendor chassis_vendor; do
          printf '%s=%s; ' "$f" "$(cat "$f" 2>/dev/null)"; done)
setup "L1's firmware plays bare metal (${dmi% })" \
    test "$(cat /sys/class/dmi/id/sys_vendor)" = "Rig Systems Inc." -a "$(cat /sys/class/dmi/id/product_version)" = 1.0
check "with a server maker's firmware and no CPU flag, the tool's side test says host" \
    "$STATUS" --check-side=host

# Every bridge above a GPU, and what its config space holds before the run.
mapfile -t ports < <(ports_above)
for p in "${ports[@]}"; do
    od -An -tx1 -v "/sys/bus/pci/devices/$p/config" > "/tmp/config-$p.before"
    lspci -vvv -s "$p" | grep -E 'ACSCtl' > "/tmp/acs-$p.before"
done
# Every GPU asleep as far as COMMAND goes, so that the wake has something
# to do: what it reads after the run can only come from the tool.
# The same for the power state, where the stand-in has the capability.
for g in $(gpus); do
    setpci -s "$g" COMMAND=0000
    setup "$g: memory decoding and bus mastering off before the run (COMMAND $(setpci -s "$g" COMMAND))" \
        test "$(setpci -s "$g" COMMAND)" = 0000
    if setpci -s "$g" CAP_PM+4.w >/dev/null 2>&1; then
        setpci -s "$g" CAP_PM+4.w=0003:0003
        setup "$g: in D3hot before the run (PMCSR $(setpci -s "$g" CAP_PM+4.w))" \
            test $(( 0x$(setpci -s "$g" CAP_PM+4.w) & 3 )) -eq 3
    else
        note "$g has no power management capability: its power state, and the BARs a soft reset would lose, are not part of the wake here (the simulated machine shows them)"
    fi
done
timed "setup"

run_status status-before
check "the status report before the store: not ready (exit 1)" test "$status" -eq 1
check "it asks for --store-data" report_holds status-before \
    '"qvgpu-vm-p2p --store-data" in [f["command"] for f in d["fixes"]]'
timed "status report before the store"

run store --disable-acs --store-data
check "--disable-acs --store-data exits 0" test "$status" -eq 0
check "the store's success line" grep -qF $'\033[32mSuccess: store data completed!\033[0m' /tmp/store.out
timed "tool: --disable-acs --store-data"

for g in $(gpus); do
    check "$g woken by the real setpci: COMMAND 0000 before the run, 0006 after" \
        test "$(setpci -s "$g" COMMAND)" = 0006
    if setpci -s "$g" CAP_PM+4.w >/dev/null 2>&1; then
        check "$g woken by the real setpci: D3hot before the run, D0 after (PMCSR $(setpci -s "$g" CAP_PM+4.w))" \
            test $(( 0x$(setpci -s "$g" CAP_PM+4.w) & 3 )) -eq 0
    fi
    check "$g: lspci shows Mem+ BusMaster+" bash -c "lspci -vvv -s $g | grep -q 'Control: I/O- Mem+ BusMaster+'"
done
# QEMU 7.2 gives its switch downstream ports no ACS capability (only its
# root ports have one): that the tool clears ACS on a switch port cannot be
# shown on these kernels, only that it leaves alone what it must not touch.
note "QEMU's switch downstream ports have no ACS capability: clearing their ACS cannot be shown here"
with_acs=0
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
        with_acs=$((with_acs + 1))
        check "$p ($what, $(tr -s ' \t' ' ' < "/tmp/acs-$p.before")): not a switch port, its configuration space byte for byte unchanged" \
            cmp "/tmp/config-$p.before" "/tmp/config-$p.after"
    else
        check "$p ($what, no ACS capability): nothing to clear, nothing written" \
            cmp "/tmp/config-$p.before" "/tmp/config-$p.after"
    fi
done
check "at least one port above the GPUs has ACS for the report to decode ($with_acs)" test "$with_acs" -ge 1

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

# The status report on the real host: ready, with the records the kernel
# maps for it, each port's ACS Control as lspci decodes it, and the two
# GPUs behind the switch one switch apart.
run_status status-after
check "the status report after the store: ready (exit 0)" test "$status" -eq 0
check "its verdict line says ready" grep -qx 'Verdict: ready' /tmp/status-after.out
for g in $(gpus); do
    check "$g: the report reads a current record with BAR0 base $(bar0_start "$g")" report_holds status-after \
        "[x for x in d['gpus'] if x['bus'] == '$g'][0]['record'] == {'state': 'valid', 'reason': None, 'base': '0x$(bar0_start "$g")', 'current': True, 'deviceId': None, 'storedThisBoot': None}"
done
for p in "${ports[@]}"; do
    [ -s "/tmp/acs-$p.before" ] || continue
    acs=$(sed 's/^[[:space:]]*ACSCtl:[[:space:]]*//' "/tmp/acs-$p.before")
    printf '%s\t%s\n' "$p: the report decodes ACS Control as lspci does ($acs)" \
        "[q['acsCtl'] for q in d['ports'] if q['bus'] == '$p'] == ['$acs']"
done | report_checks status-after
check "the topology: one pair behind the switch (PIX), the others through the host bridge (PHB)" \
    report_holds status-after \
    "sorted(d['links'][i][j] for i in range(3) for j in range(i + 1, 3)) == ['PHB', 'PHB', 'PIX']"
check_report_tree status-after
timed "status report after the store"

# The kernel parameter that keeps ACS off: the switch downstream ports above
# the GPUs (the ports --disable-acs writes), each named by its path from its
# root bus as the kernel's own sysfs links lead.  L1's second boot carries
# what this prints.
want=pci=disable_acs_redir=$(for p in $(printf '%s\n' "${ports[@]}" | sort); do
    type=$(setpci -s "$p" CAP_EXP+2.w)
    [ "${type:2:1}" = 6 ] && kernel_path "$p"
done | paste -sd ';')
limited /tmp/kernel-acs /tmp/kernel-acs.err "$STATUS" --kernel-acs
kacs=$(cat /tmp/kernel-acs)
cp /tmp/kernel-acs "$OUT/kernel-acs"
check "--kernel-acs: exit 0, nothing on standard error" test "$status" -eq 0 -a ! -s /tmp/kernel-acs.err
check "--kernel-acs names the switch downstream ports above the GPUs by their paths ($want)" \
    test "$kacs" = "$want"

# Without the parameter, the kernel's restore of a port turns ACS
# redirection on again: cleared at run time, the root port's request and
# completion redirects are back once the kernel has suspended and woken it.
setpci -s "$RESTORE_PORT" ECAP_ACS+6.w=0:2c
setup "$RESTORE_PORT (a root port with ACS, an e1000e without a driver below it): redirects cleared at run time (ACS Control $(setpci -s "$RESTORE_PORT" ECAP_ACS+6.w))" \
    test $(( $(acs_control "$RESTORE_PORT") & 0x2c )) -eq 0
restore_port "$RESTORE_PORT"
setup "the kernel runtime-suspended $RESTORE_PORT and woke it${restored:+: $restored}" test -z "$restored"
check "without the parameter, the kernel's restore of $RESTORE_PORT turned its request and completion redirects on again (ACS Control $(setpci -s "$RESTORE_PORT" ECAP_ACS+6.w))" \
    test $(( $(acs_control "$RESTORE_PORT") & 0x0c )) -eq $(( 0x0c ))
timed "ACS: the kernel parameter, and a port's restore"

# A GPU that does not decode its memory keeps no record, and the store must
# say so.  Its memory decoding goes off with the real setpci; a setpci on
# the store's PATH that refuses COMMAND writes (an injected failure of the
# tool's helper) keeps the wake from turning it on again.  The kernel still
# maps the BAR: QEMU drops the writes and reads come back as all ones.  The
# other GPUs' records are wiped first, so that finding them again shows
# this run stored them.
undecoded=$(gpus | head -n 1)
setpci -s "$undecoded" COMMAND=0000
setup "$undecoded: memory decoding off (COMMAND $(setpci -s "$undecoded" COMMAND))" \
    test "$(setpci -s "$undecoded" COMMAND)" = 0000
mkdir -p /tmp/refusing
cat > /tmp/refusing/setpci <<'SETPCI'
#!/bin/sh
for a in "$@"; do
    case $a in COMMAND=*) echo "setpci: $2: COMMAND write refused" >&2; exit 1 ;; esac
done
PATH=${PATH#*:} exec setpci "$@"
SETPCI
chmod 755 /tmp/refusing/setpci
setup "injected: the store's setpci refuses COMMAND writes" \
    bash -c "! PATH=/tmp/refusing:\$PATH setpci -s $undecoded COMMAND=0x06:0x06 2>/dev/null"
for g in $(gpus); do
    [ "$g" = "$undecoded" ] && continue
    wipe_record "$g"
    setup "$g: record wiped before the run" \
        test "$("$PEEK" "/sys/bus/pci/devices/$g/resource0" 0x100000 16)" = "$(printf ' 00%.0s' $(seq 16) | sed 's/^ //')"
done
PATH=/tmp/refusing:$PATH run undecoded --store-data
check "--store-data with $undecoded not decoding its memory exits 255" test "$status" -eq 255
check "it names $undecoded: its device memory did not keep the record, memory decoding is off" \
    grep -qxF $'\033[31mError: the device memory of '"$undecoded"' did not keep its record (memory decoding is off)!'$'\033[0m' /tmp/undecoded.out
check "it counts that GPU alone as failed (1 of 4)" \
    grep -qxF $'\033[31mError: store data failed for 1 of 4 GPUs!\033[0m' /tmp/undecoded.out
check "no success line" bash -c "! grep -q 'Success' /tmp/undecoded.out"
for g in $(gpus); do
    [ "$g" = "$undecoded" ] && continue
    check "$g: stored again by that run and read back (magic and BAR0 base $(bar0_start "$g"))" \
        test "$("$PEEK" "/sys/bus/pci/devices/$g/resource0" 0x100000 16)" = "$(record_bytes "$(bar0_start "$g")")"
done
run restored --store-data
check "with the real setpci again, --store-data exits 0" test "$status" -eq 0
check "$undecoded: decoding again (COMMAND 0006) and holding its record" \
    test "$(setpci -s "$undecoded" COMMAND) $("$PEEK" "/sys/bus/pci/devices/$undecoded/resource0" 0x100000 16)" = "0006 $(record_bytes "$(bar0_start "$undecoded")")"
timed "store on a GPU that does not decode its memory"

# Passthrough: every stand-in to vfio-pci, then L2 laid out like L1 by the
# report (the two GPUs below L1's switch below a switch of L2's).  The nested guest sometimes hangs under emulated SVM;
# each boot is bounded, and a guest that did not finish is booted again.
# Shadow paging: the nested paging that TCG emulates for SVM loses L2 now
# and then (its vCPU spins in L1's kernel, past any time limit in L1).
modprobe kvm_amd npt=0 2>/dev/null || modprobe kvm_intel 2>/dev/null
setup "nested virtualisation: /dev/kvm in L1" test -c /dev/kvm
if [ ! -c /dev/kvm ]; then
    fail "no guest can be started without nested virtualisation: the L2 flow did not run"
    echo "done l1" >> "$RESULTS"
    poweroff_now
fi
pass_through status-after
libvirt_machine
# L2's monitor, through which L1 adds GPUs to the running L2 and takes them
# from it (serve_hotplug).
L2_MACHINE+=(-qmp unix:/run/l2.qmp,server=on,wait=off)
# Each GPU's series of its own, with no guest: the labels a guest's start
# must not change.
gpu_series() {
    timeout --kill-after=5 "$TOOL_LIMIT" "$STATUS" --prometheus 2>/dev/null |
        grep -E '^qvgpu_vm_p2p_gpu_(product_)?info\{'
}
gpu_series > /tmp/series-free
timed "passthrough set up"

# The GPUs below the switch, and their IOMMU groups as the kernel formed them.
switched=()
for g in $(gpus); do
    [ "$(readlink -f "/sys/bus/pci/devices/$g" | tr / '\n' | grep -cE '^[0-9a-f]{4}:')" -ge 4 ] &&
        switched+=("$g")
done
group_of() { basename "$(readlink "/sys/bus/pci/devices/$1/iommu_group")"; }

# A store while L2 holds every GPU (once L2 has booted; it waits for the
# store before it writes any GPU itself): it leaves each of them alone,
# byte for byte in L1's sysfs, and names them.
# One GPU's bus mastering is turned off first, as a guest may leave it and
# as the wake would not: a store that wrote a held GPU would show.
store_beside_l2() {
    local qemu=$1 first was g
    first=$(gpus | head -n 1)
    was=$(setpci -s "$first" COMMAND)
    setpci -s "$first" COMMAND="$(printf %04x $((0x$was & ~0x4)))"
    setup "$first, held by L2: bus mastering off (COMMAND $(setpci -s "$first" COMMAND), was $was)" \
        test $((0x$(setpci -s "$first" COMMAND) & 0x4)) -eq 0
    for g in $(gpus); do
        cat "/sys/bus/pci/devices/$g/config" > "/tmp/held-$g.config"
    done
    run beside-l2 --store-data
    check "with L2 holding every GPU, --store-data exits 0" test "$status" -eq 0
    for g in $(gpus); do
        check "$g: the store names it held by L2's QEMU and leaves it alone — pid $qemu" \
            grep -qxF $'\033[33m['"$g"']: GPU IN USE by qemu-system-x86 (pid '"$qemu"'), left alone.'$'\033[0m' \
            /tmp/beside-l2.out
        check "$g: its configuration space in L1's sysfs is byte for byte as before that store" \
            cmp "/tmp/held-$g.config" "/sys/bus/pci/devices/$g/config"
    done
    check "that store says nothing more: no success line, as it stored no GPU" \
        test "$(grep -cv 'GPU IN USE by' /tmp/beside-l2.out)" -eq 0
    setpci -s "$first" COMMAND="$was"
    : > /xfer/l1-stored
    # vfio-pci enables each GPU while L2's QEMU has it open: the kernel's
    # own count, which a report in a PID namespace of its own (a
    # container's) still reads, though it sees no QEMU.
    for g in $(gpus); do
        check "$g: while L2 holds it, the kernel counts it enabled (enable 1)" \
            test "$(cat "/sys/bus/pci/devices/$g/enable")" = 1
    done
    WRAP="unshare --pid --fork --mount-proc" status_json contained
    {
        for g in $(gpus); do
            printf '%s\t%s\n' "in a PID namespace of its own, the report calls $g open by a process it cannot see, never free" \
                "[(x['inUseBy'], x['record']['state'], x['record']['reason']) for x in d['gpus'] if x['bus'] == '$g'] == [(None, 'not checked', 'open, by a process the report cannot see')]"
        done
        printf '%s\t%s\n' "and judges no isolation, and names itself, run in the host's own namespace, as the fix" \
            "d['isolation']['judged'] is False and [f['command'] for f in d['fixes']] == ['qvgpu-vm-p2p-status']"
    } | report_checks contained
    WRAP="unshare --pid --fork --mount-proc" run contained-store --store-data
    for g in $(gpus); do
        check "$g: a store in a PID namespace of its own leaves it alone, held by a process it cannot see" \
            grep -qxF $'\033[33m['"$g"']: GPU IN USE by a process this run cannot see, left alone.'$'\033[0m' \
            /tmp/contained-store.out
    done
}

# While L2 runs (once it has read its records), the host's report sees
# L2's QEMU holding every GPU, agrees with the kernel on which BAR0 it
# refuses to map, checks no record it cannot read, and warns that the two
# GPUs below the switch reach each other across their IOMMU groups.
# l2_reached LINE: waits until L2's results hold a line that begins so.
l2_reached() {
    local i
    for i in $(seq 1 $((L2_TRIES * L2_FLOW_LIMIT))); do
        grep -q "^$1" /xfer/results 2>/dev/null && return 0
        nap 1
    done
    return 1
}
while_l2_runs() {
    local g qemu held=0
    if ! l2_reached 'time l2: boot '; then
        fail "L1's store beside L2: L2 never finished booting"
        return
    fi
    store_beside_l2 "$(pgrep -x qemu-system-x86 | head -n 1)"
    if ! l2_reached 'time l2: tool: --save-data'; then
        fail "L1's report with L2 running: L2 never reached its save"
        return
    fi
    qemu=$(pgrep -x qemu-system-x86 | head -n 1)
    # Every file the report opens, traced: no BAR of a GPU a guest holds.
    WRAP="strace -f -qq -e trace=open,openat -o /tmp/status-running.strace" run_status status-running
    check "with L2 running, L1's report says ready (exit 0)" test "$status" -eq 0
    for g in $(gpus); do
        check "with L2 running: the report read $g's configuration space but opened none of its BARs" \
            bash -c 'grep -q "/$1/config\"" "$2" && ! grep -qE "/$1/resource[02]\"" "$2"' _ "$g" \
            /tmp/status-running.strace
        held=$((held + 1))
    done
    {
        for g in $(gpus); do
            printf '%s\t%s\n' "with L2 running: $g in use by L2's QEMU (guest l2), its record not checked, but stored this boot with today's BAR0 — pid $qemu" \
                "[(x['inUseBy'], x['record']['state'], x['record']['reason'], x['record']['storedThisBoot']) for x in d['gpus'] if x['bus'] == '$g'] == [({'pid': ${qemu:-0}, 'name': 'qemu-system-x86', 'guest': 'l2'}, 'not checked', 'in use by l2 (qemu-system-x86, pid ${qemu:-0})', 'current')]"
        done
        printf '%s\t%s\n' "with L2 running: $held records not checked, and said so" "d['notChecked'] == $held"
        printf '%s\t%s\n' "with L2 running: nothing to fix, no command advised" "d['fixes'] == []"
        printf '%s\t%s\n' "with L2 running: an isolation warning for ${switched[*]} (groups $(group_of "${switched[0]}") and $(group_of "${switched[1]}")) alone" \
            "[sorted((x['bus'], x['iommuGroup']) for x in p['gpus']) for p in d['isolation']['warnings']] == [sorted([('${switched[0]}', '$(group_of "${switched[0]}")'), ('${switched[1]}', '$(group_of "${switched[1]}")')])]"
        printf '%s\t%s\n' "with L2 running: no isolation breach, one guest holds them all" \
            "d['isolation']['breaches'] == []"
    } | report_checks status-running
    check "with L2 running, the text says how many records it did not check" \
        grep -qE '^  [0-9]+ GPUs? in use by guests: records not checked here' /tmp/status-running.out
    gpu_series > /tmp/series-l2
    check "with L2 running, every GPU's gpu_info and gpu_product_info series are as with no guest ($(grep -c '^qvgpu_vm_p2p_gpu_info' /tmp/series-free) GPUs, $(grep -c product_info /tmp/series-free) products)" \
        bash -c '[ "$(grep -c "^qvgpu_vm_p2p_gpu_info" "$1")" -eq "$3" ] && cmp "$1" "$2"' _ \
        /tmp/series-free /tmp/series-l2 "$(gpus | wc -l)"
    echo done > /tmp/while-l2
}
# L2's requests to add a GPU to it or take one away, once L1's report
# beside L2 is done: /xfer/hotplug-N holds a QMP command and, for a
# device_del, "--deleted ID"; /xfer/hotplug-N.done gets qmp.py's answer.
serve_hotplug() {
    local request command wait
    while kill -0 "$watcher" 2>/dev/null; do nap 1; done
    while :; do
        for request in /xfer/hotplug-[0-9]*; do
            [[ $request == *.* ]] || [ ! -e "$request" ] || [ -e "$request.done" ] && continue
            { read -r command; read -r wait; } < "$request"
            python3 "$RIG/qmp.py" /run/l2.qmp "$command" $wait > "$request.answer" 2>&1
            mv "$request.answer" "$request.done"
        done
        nap 0.3
    done
}
rm -f /tmp/while-l2 /xfer/l1-stored
while_l2_runs &
watcher=$!
serve_hotplug &
hotplugs=$!
boot_l2 "$RIG/l2.sh" l2 l2 "$L2_FLOW_LIMIT"
kill "$hotplugs" 2>/dev/null
timed "L2, boot to power-off"
for g in $(gpus); do
    check "$g: with L2 gone, the kernel counts it enabled no more (enable 0)" \
        test "$(cat "/sys/bus/pci/devices/$g/enable")" = 0
done
# It has long finished when L2 is done; if not, it never will.
sleep 5
kill "$watcher" 2>/dev/null
wait "$watcher" 2>/dev/null
check "L1's report ran while L2 held the GPUs" test -f /tmp/while-l2

# Two hypervisors, each holding one of the two GPUs below the switch: the
# GPUs can reach each other's memory, so the report fails and names both.
group1=/dev/vfio/$(group_of "${switched[0]}")
group2=/dev/vfio/$(group_of "${switched[1]}")
sleep 600 3<>"$group1" &
holder1=$!
sleep 600 3<>"$group2" &
holder2=$!
both_held() { holding "$holder1" "$group1" && holding "$holder2" "$group2"; }
setup "two holders hold $group1 and $group2 — pids $holder1 and $holder2" wait_until 30 both_held
run_status status-two
check "with two holders of the switch's GPUs, the report is not ready (exit 1)" test "$status" -eq 1
printf '%s\t%s\n' "it names both holders in one isolation breach — pids $holder1 and $holder2" \
    "sorted(x['inUseBy']['pid'] for p in d['isolation']['breaches'] for x in p['gpus']) == sorted([$holder1, $holder2])" |
    report_checks status-two
check "its fix names both holders" grep -qE "sleep, pid $holder1\).*sleep, pid $holder2\)|sleep, pid $holder2\).*sleep, pid $holder1\)" \
    <(tr -s ' \n' ' ' < /tmp/status-two.out)
kill "$holder1" "$holder2"
timed "the report with guests holding GPUs"
echo "done l1" >> "$RESULTS"
poweroff_now
