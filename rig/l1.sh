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

show_maker_ids
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

# The status report on the real host: ready, with the records the kernel
# maps for it, each port's ACS Control as lspci decodes it, and the two
# GPUs behind the switch one switch apart.
run_status status-after
check "the status report after the store: ready (exit 0)" test "$status" -eq 0
check "its verdict line says ready" grep -qx 'Verdict: ready' /tmp/status-after.out
for g in $(gpus); do
    check "$g: the report reads a current record with BAR0 base $(bar0_start "$g")" report_holds status-after \
        "[x for x in d['gpus'] if x['bus'] == '$g'][0]['record'] == {'state': 'valid', 'reason': None, 'base': '0x$(bar0_start "$g")', 'current': True, 'deviceId': None}"
done
for p in "${ports[@]}"; do
    [ -s "/tmp/acs-$p.before" ] || continue
    acs=$(sed 's/^[[:space:]]*ACSCtl:[[:space:]]*//' "/tmp/acs-$p.before")
    check "$p: the report decodes ACS Control as lspci does ($acs)" report_holds status-after \
        "[q['acsCtl'] for q in d['ports'] if q['bus'] == '$p'] == ['$acs']"
done
check "the topology: one pair behind the switch (PIX), the others through the host bridge (PHB)" \
    report_holds status-after \
    "sorted(d['links'][i][j] for i in range(3) for j in range(i + 1, 3)) == ['PHB', 'PHB', 'PIX']"
check_report_tree status-after
timed "status report after the store"

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
pass_through
timed "passthrough set up"

boot_l2 "$RIG/l2.sh" l2 l2
timed "L2, boot to power-off"
echo "done l1" >> "$RESULTS"
poweroff_now
