#!/bin/bash
# The guest (L2): nothing here is faked.  The tool saves the records that
# L1 stored, before the driver loads; the stand-in driver module takes the
# GPUs; the tool configures it, once and from its daemon across a reload;
# and with the driver holding the BARs the kernel refuses the save.
LEVEL=l2
source "$(dirname "$0")/lib.sh"
timed boot
ports_above > /dev/null   # once a boot

setup "a guest: KVM gives L2 the \"hypervisor\" flag" grep -q hypervisor /proc/cpuinfo
setup "four passed-through GPUs of vendor 0x1f7a (QEMU's x-pci-vendor-id)" test "$(gpus | wc -l)" -eq 4

load_expectations

# L1's tree, mirrored by the layout L2 was started with: lspci's path to
# each GPU (-PP: every bridge on the way) puts the two GPUs below L1's
# switch below one switch, and the other on a root port alone.  One lspci
# for every path and PCI Express type (each process costs here).
declare -A path_to type_of l1_link
while read -r path type; do
    path_to[${path##*/}]=$path
    type_of[${path##*/}]=$type
done < <(lspci -PP -vv | awk '/^[0-9a-f]/ { if (p) print p, t; p = $1; t = "-" }
    match($0, /Express .*((Root|Upstream|Downstream) Port|Endpoint)/) {
        t = $0; sub(/.*Express [^ ]* /, "", t); sub(/ Port.*/, "", t) }
    END { if (p) print p, t }')
while read -r a b kind; do l1_link[$a $b]=$kind; done < /xfer/links
below_one_switch() {   # below_one_switch GPU GPU
    local a b
    IFS=/ read -ra a <<< "${path_to[${1#0000:}]}"
    IFS=/ read -ra b <<< "${path_to[${2#0000:}]}"
    [ "${#a[@]}" -ge 4 ] && [ "${#a[@]}" = "${#b[@]}" ] &&
        [ "${a[*]:0:${#a[@]}-2}" = "${b[*]:0:${#b[@]}-2}" ] && [ "${a[-2]}" != "${b[-2]}" ] &&
        [ "${type_of[${a[-3]}]} ${type_of[${a[-2]}]} ${type_of[${b[-2]}]}" = "Upstream Downstream Downstream" ]
}
alone_on_root_port() {
    local a
    IFS=/ read -ra a <<< "${path_to[${1#0000:}]}"
    [ "${#a[@]}" = 2 ] && [ "${type_of[${a[0]}]}" = Root ]
}
pair=()
for g in $(gpus); do
    for h in $(gpus); do
        [[ "$g" < "$h" ]] && [ "${l1_link[${l1bdf[$g]} ${l1bdf[$h]}]}" = PIX ] && pair=("$g" "$h")
    done
done
check "lspci shows ${pair[*]} (L1's pair below its switch) below one switch (${path_to[${pair[0]#0000:}]} and ${path_to[${pair[1]#0000:}]})" \
    below_one_switch "${pair[0]:-none}" "${pair[1]:-none}"
for g in $(gpus); do
    [[ " ${pair[*]} " == *" $g "* ]] && continue
    check "lspci shows $g (L1 ${l1bdf[$g]}) alone on a root port (${path_to[${g#0000:}]})" alone_on_root_port "$g"
done

# What the simulated guest starts from: firmware turned memory decoding on.
for g in $(gpus); do
    setup "$g: the guest's firmware left memory decoding on (COMMAND $(setpci -s "$g" COMMAND))" \
        test $(( 0x$(setpci -s "$g" COMMAND) & 2 )) -ne 0
done

# Passthrough users often hide the CPU's "hypervisor" flag: the report, the
# refused store and the save run as in such a guest, in a private mount
# namespace whose /proc/cpuinfo lacks the flag; only the firmware tells.
flag_hidden() { ! hide_flag grep -q hypervisor /proc/cpuinfo; }
setup "the flag hidden from the tool: /proc/cpuinfo without \"hypervisor\" in a private mount namespace, sys_vendor $(cat /sys/class/dmi/id/sys_vendor) as the kernel shows it" \
    flag_hidden
WRAP=hide_flag run_status status-before
check "the status report before the save: not ready (exit 1)" test "$status" -eq 1
{
    printf '%s\t%s\n' "it asks for --save-data" \
        '"qvgpu-vm-p2p --save-data" in [f["command"] for f in d["fixes"]]'
    printf '%s\t%s\n' "with the flag hidden, it says guest by the firmware's QEMU" \
        "(d['side'], d['machine']['hypervisor'], 'sys_vendor QEMU' in d['machine']['firmwareSignals']) == ('guest', False, True)"
    for g in $(gpus); do
        printf '%s\t%s\n' "$g: the report reads L1's record (${l1base[$g]}) and finds no store file" \
            "[(x['record']['state'], x['record']['base'], x['storeFile']['state']) for x in d['gpus'] if x['bus'] == '$g'] == [('valid', '0x${l1base[$g]}', 'missing')]"
    done
    # Every pair as L1's report links it, PIX for the pair below the switch
    # and without "*": QEMU's switch ports have no ACS.
    for g in $(gpus); do
        for h in $(gpus); do
            [[ "$g" < "$h" ]] || continue
            want=${l1_link[${l1bdf[$g]} ${l1bdf[$h]}]}
            printf '%s\t%s\n' "$g and $h: the link L1's report gives ${l1bdf[$g]} and ${l1bdf[$h]} (${want:-none})" \
                "[d['links'][i][j] + ('*' if d['redirected'][i][j] else '') for i, x in enumerate(d['gpus']) for j, y in enumerate(d['gpus']) if (x['bus'], y['bus']) == ('$g', '$h')] == ['$want']"
        done
    done
} | report_checks status-before
timed "status report before the save"

# L1 stores while this guest holds the GPUs, from the time it boots: it is
# done before anything here writes a GPU (the wake of the run below), and
# the records here stay L1's.
setup "L1 has run its store beside this guest" wait_until "$L1_STORE_WAIT" test -e /xfer/l1-stored

WRAP=hide_flag run hidden-store --disable-acs --store-data
# (The stand-ins' 4 KiB register BAR holds no identification word: every
# run says so first, and the warning is the run's last line.)
check "with the flag hidden, the host's --disable-acs --store-data is refused (exit 255, its warning)" \
    test "$status $(tail -n 1 /tmp/hidden-store.out)" = "255 "$'\033[33mWarning: \'--disable-acs\' only works in host machine!\033[0m'
for g in $(gpus); do
    check "$g: after L1's store beside this guest and the refused one here, its device memory still holds L1's record (${l1base[$g]})" \
        test "$("$PEEK" "/sys/bus/pci/devices/$g/resource0" 0x100000 16)" = "$(record_bytes "${l1base[$g]}")"
done
WRAP=hide_flag run save --save-data
check "--save-data, with the flag hidden, before the driver loads exits 0" test "$status" -eq 0
check "the save's success line" grep -qF $'\033[32mSuccess: save data completed!\033[0m' /tmp/save.out
for g in $(gpus); do
    file=/etc/qv/vm_p2p_cfg/$g
    own=$(bar0_start "$g")
    check "$g (L1 ${l1bdf[$g]}): store file holds L1's BAR0 base ${l1base[$g]}, not L2's $own" \
        store_file_holds "$g" "$own"
    cp "$file" "/tmp/saved-$g"
done
timed "tool: --save-data"

insmod "$MODULE"
setup "the stand-in driver loaded: /sys/bus/pci/drivers/morvanti" test -d /sys/bus/pci/drivers/morvanti
last=$(( $(gpus | wc -l) - 1 ))
check "devtmpfs made /dev/morvanti0 to $last" \
    bash -c 'for n in $(seq 0 "$1"); do test -c "/dev/morvanti$n" || exit 1; done' _ "$last"
check "distinct minors 0 to $last in bus order" \
    test "$(for g in $(gpus); do cat "/sys/bus/pci/devices/$g/minor"; done | tr '\n' ' ')" = "$(seq -s ' ' 0 "$last") "
first=$(gpus | head -n 1)
# Each malformed command in one write(2), as dd makes it (the shell's printf
# would write each line on its own): refused with EINVAL, and only that.
write_refused() {
    local err
    [ -e "$1" ] || { echo "no $1"; return 1; }
    err=$(dd if="$2" of="$1" bs=4096 status=none 2>&1) && { echo "the write was taken"; return 1; }
    [[ $err == *"Invalid argument"* ]] || { echo "refused otherwise: $err"; return 1; }
}
while IFS='|' read -r what bytes; do
    printf "$bytes" > /tmp/malformed
    check "itr_debug refuses $what with EINVAL" write_refused "/sys/bus/pci/devices/$first/itr_debug" /tmp/malformed
done <<'MALFORMED'
a minor it cannot know (x)|pt_p2p_cfg x 1\n
a signed minor (+1)|pt_p2p_cfg +1 1\n
an address with 0x|pt_p2p_cfg 1 0x1\n
upper-case hexadecimal|pt_p2p_cfg 1 AB\n
a command without its line feed|pt_p2p_cfg 1 1
a NUL and what follows|pt_p2p_cfg 1 1\n\0junk
two commands in one write|pt_p2p_cfg 0 1\npt_p2p_cfg 1 2\n
MALFORMED
check "refused commands teach the driver nothing (p2p_peers exists and is empty)" \
    bash -c "test -e /sys/bus/pci/devices/$first/p2p_peers && test -z \"\$(cat /sys/bus/pci/devices/$first/p2p_peers)\""
check "p2p_peers, which holds host-physical addresses, is readable by root alone" \
    test "$(stat -c %a "/sys/bus/pci/devices/$first/p2p_peers")" = 400
timed "driver loaded"

# Bits of the command register that firmware or a driver set and the wake
# must keep: I/O decoding, SERR and INTx disable, set with the driver
# loaded (it turned memory decoding and bus mastering on).
declare -A command_before
for g in $(gpus); do
    setpci -s "$g" COMMAND=0501:0501
    command_before[$g]=$(setpci -s "$g" COMMAND)
    setup "$g: I/O decoding, SERR and INTx disable on before --config-address (COMMAND ${command_before[$g]})" \
        test $(( 0x${command_before[$g]} & 0x0501 )) -eq $(( 0x0501 ))
done
run config --config-address
check "--config-address exits 0" test "$status" -eq 0
for g in $(gpus); do
    check "$g: the wake kept I/O decoding, SERR and INTx disable and set memory decoding and bus mastering (COMMAND ${command_before[$g]} before)" \
        test "$(setpci -s "$g" COMMAND)" = "$(printf '%04x' $(( 0x${command_before[$g]} | 0x0006 )))"
done
check "the configuration's success line" grep -qF $'\033[32mSuccess: configuration completed!\033[0m' /tmp/config.out
expect_peers "after --config-address"
timed "tool: --config-address"

# With the driver holding BAR0 the kernel maps nothing for the report
# either: the store files decide, with the driver's hold on every GPU and
# the configuration it took since its load.
run_status status-after
check "the status report after the save and the configuration: ready (exit 0)" test "$status" -eq 0
for g in $(gpus); do
    printf '%s\t%s\n' "$g: the report finds the store file, the driver's hold on BAR0, and the driver configured" \
        "[(x['storeFile'], x['record']['state'], x['record']['reason'], x['minor'], x['driverConfigured']) for x in d['gpus'] if x['bus'] == '$g'] == [({'state': 'valid', 'reason': None, 'base': '0x${l1base[$g]}'}, 'unreadable', \"BAR0 is held by the driver 'morvanti'\", '$(cat /sys/bus/pci/devices/$g/minor)', True)]"
done | report_checks status-after
check_report_tree status-after
check "the report says the topology is the guest's virtual one" \
    grep -qF "(this guest's virtual PCI topology, not the host's)" /tmp/status-after.out
timed "status report with the driver loaded"

daemon_successes() { grep -c "Success: configuration completed" /tmp/daemon.out; }
"$TOOL" --daemon > /tmp/daemon.out 2>&1 &
daemon=$!
within "$DAEMON_LIMIT" 1 "the daemon configures at start" \
    "the daemon did not configure the driver at its start" daemon_successes
timed "daemon started"
rmmod morvanti
check "unloading removes the nodes" test ! -e /dev/morvanti0 -a ! -e /dev/morvanti2
insmod "$MODULE"
within "$DAEMON_LIMIT" 2 "the daemon configures again after the driver is reloaded" \
    "the daemon did not configure the reloaded driver" daemon_successes
expect_peers "after a reload, from the daemon"
status_json status-daemon
check "with the daemon running, the report is ready again after the reload (exit $status)" test "$status" -eq 0
# A GPU unbound and bound again gets a new driver instance that knows no
# peer; the first GPU, so that the last node's trigger cannot tell it.
probed=$(cat "/sys/bus/pci/devices/$first/probe_ns")
echo "$first" > /sys/bus/pci/drivers/morvanti/unbind
echo "$first" > /sys/bus/pci/drivers/morvanti/bind
setup "$first is bound again: a new instance of the driver — probed at $(cat "/sys/bus/pci/devices/$first/probe_ns") ns, not $probed" \
    test "$(cat "/sys/bus/pci/devices/$first/probe_ns")" -gt "$probed"
within "$DAEMON_LIMIT" 3 "the daemon tells $first again once it is bound again" \
    "the daemon did not tell $first after it was bound again" daemon_successes
expect_peers "after $first was bound again, from the daemon"
status_json status-rebound
check "with the daemon running, the report is ready after $first was bound again (exit $status)" test "$status" -eq 0
kill "$daemon"
wait "$daemon" 2>/dev/null
echo "--- daemon output"; cat /tmp/daemon.out
timed "driver reload caught by the daemon"

# Without the daemon a reload leaves the new driver instances unconfigured:
# the report says so, and --config-address makes it ready.
rmmod morvanti
insmod "$MODULE"
status_json status-reloaded
check "with the daemon stopped, after a reload the report is not ready (exit $status)" test "$status" -eq 1
check "it asks for --config-address" grep -qF '"command":"qvgpu-vm-p2p --config-address"' /tmp/status-reloaded.json
run reconfig --config-address
configured=$status
status_json status-reconfigured
check "--config-address (exit $configured) makes it ready again (exit $status)" \
    test "$configured $status" = "0 0"
timed "a reload without the daemon"

# systemd 254 and later give a unit with PrivateNetwork= a sysfs mount of
# its own: another device number, the same inode numbers.  A configuration
# made there is the one the report outside sees.
rmmod morvanti
insmod "$MODULE"
attr=/sys/bus/pci/devices/$first/itr_debug
unshare -n -m bash -c 'mount -t sysfs sysfs /sys && stat -c "%d %i" "$1" && "$2" --config-address' \
    _ "$attr" "$TOOL" > /tmp/own-sysfs.out 2>&1
configured=$?
cat /tmp/own-sysfs.out
read -r own_dev own_ino < /tmp/own-sysfs.out
setup "a sysfs of its own shows $first's itr_debug as device $own_dev, inode $own_ino; this one: $(stat -c 'device %d, inode %i' "$attr")" \
    test "$own_ino" = "$(stat -c %i "$attr")" -a "$own_dev" != "$(stat -c %d "$attr")"
status_json status-own-sysfs
check "configured from a sysfs of its own (exit $configured), the report outside is ready (exit $status)" \
    test "$configured $status" = "0 0"
timed "a configuration from a sysfs of its own"

# With the driver holding BAR0, a kernel with strict devmem refuses the
# mapping: the save fails, says why and what to do, and keeps the files.
"$PEEK" "/sys/bus/pci/devices/$first/resource0" 0x100000 16 >/dev/null 2>/tmp/peek.err
check "the kernel refuses to map a BAR the driver holds (EINVAL)" grep -q 'Invalid argument' /tmp/peek.err
run refused --save-data
check "--save-data with the driver loaded exits 255" test "$status" -eq 255
check "it reports the refused mapping" grep -qx 'Map device memmory failed!' /tmp/refused.out
check "it says the driver holds the memory and to save before the driver loads" \
    grep -qxF $'\033[31mError: '"$first is held by the driver 'morvanti' and the kernel will not map its memory: run '--save-data' before that driver loads."$'\033[0m' /tmp/refused.out
for g in $(gpus); do
    check "$g: store file kept" cmp -s "/etc/qv/vm_p2p_cfg/$g" "/tmp/saved-$g"
done
timed "refused save"

# GPUs added to the running guest and taken from it, by L1 through this
# guest's QEMU (device_del; device_add at the layout's hot-plug port),
# while the daemon runs.  The stand-in driver takes an added GPU at once.
# hotplug_step N COMMAND [--deleted ID]: L1 runs the QMP command (and waits
# for the device to be gone); its answer in $answer.
hotplug_step() {
    printf '%s\n%s\n' "$2" "${3:+$3 $4}" > "/xfer/hotplug-$1.new"
    mv "/xfer/hotplug-$1.new" "/xfer/hotplug-$1"
    wait_until 80 test -e "/xfer/hotplug-$1.done"
    answer=$(< "/xfer/hotplug-$1.done") || answer="no answer from L1"
}
read -r hotplug_port < /xfer/hotplug-port
add_gpu() {   # add_gpu STEP ID L1-BUS NUMBER: that stand-in at the hot-plug port
    hotplug_step "$1" "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"vfio-pci\",\"host\":\"$3\",\"id\":\"$2\",\"bus\":\"$hotplug_port\",\"x-pci-vendor-id\":$((0x1f7a)),\"x-pci-device-id\":1,\"x-pci-sub-device-id\":$4,\"x-no-mmap\":true}}"
}
# numbered N: the guest address of the GPU L1 numbered N, in $numbered.
numbered() {
    local g n
    numbered=""
    for g in $(gpus); do
        read -r n < "/sys/bus/pci/devices/$g/subsystem_device" && [ $((n)) = "$1" ] && numbered=$g
    done
    [ -n "$numbered" ]
}
peer_entry() { grep "^$2 " "/sys/bus/pci/devices/$1/p2p_peers"; }
mapfile -t expected < /xfer/expected
read -r _ fourth_l1 fourth_base <<< "${expected[3]}"
read -r _ other_l1 other_base <<< "${expected[0]}"
numbered 4; fourth=$numbered
numbered 1; other=$numbered
"$TOOL" --daemon > /tmp/daemon.out 2>&1 &
daemon=$!
within "$DAEMON_LIMIT" 1 "the daemon, started again, configures the driver" \
    "the daemon did not configure the driver at its start" daemon_successes
timed "hot-plug: daemon started"

hotplug_step 1 '{"execute":"device_del","arguments":{"id":"ua-gpu4"}}' --deleted ua-gpu4
setup "L1 took the fourth GPU, $fourth (L1 $fourth_l1), from this guest: $answer" \
    wait_until 10 test "${answer%% *}" = ok -a ! -e "/sys/bus/pci/devices/$fourth"
told=$(daemon_successes)
add_gpu 2 qv-hot1 "$fourth_l1" 4
setup "L1 added it again at the hot-plug port $hotplug_port: $answer" test "${answer%% *}" = ok
setup "the fourth GPU appears again, below the hot-plug port" wait_until 30 numbered 4
hot=$numbered
load_expectations
timed "hot-plug: the fourth taken away and added again"
check "the daemon saved the record of the added GPU, $hot, from its device memory: the fourth's L1 BAR0 base ${l1base[$hot]}" \
    wait_until "$DAEMON_LIMIT" store_file_holds "$hot"
within "$DAEMON_LIMIT" $((told + 1)) "the daemon configured the driver again once the fourth was added" \
    "the daemon did not configure the driver after a GPU was added" daemon_successes
expect_peers "after the fourth was added again ($hot's driver instance is new with it)"
status_json status-hotplugged
{
    printf '%s\t%s\n' "with the fourth added again, the report is ready, with four GPUs" \
        "(d['ready'], len(d['gpus'])) == (True, 4)"
    printf '%s\t%s\n' "it counts $hot's store file, of the GPU there now, and the driver configured for it" \
        "[(x['storeFile']['state'], x['storeFile']['base'], x['driverConfigured']) for x in d['gpus'] if x['bus'] == '$hot'] == [('valid', '0x$fourth_base', True)]"
} | report_checks status-hotplugged
fourth_minor=$(< "/sys/bus/pci/devices/$hot/minor") || fourth_minor="?"
timed "hot-plug: the fourth's record saved and told"

hotplug_step 3 '{"execute":"device_del","arguments":{"id":"qv-hot1"}}' --deleted qv-hot1
first_gone=$answer
hotplug_step 4 '{"execute":"device_del","arguments":{"id":"ua-gpu1"}}' --deleted ua-gpu1
setup "L1 took away the fourth ($first_gone) and the first, $other (L1 $other_l1): $answer" \
    wait_until 10 test "${first_gone%% *} ${answer%% *}" = "ok ok" -a ! -e "/sys/bus/pci/devices/$other"
told=$(daemon_successes)
add_gpu 5 qv-hot2 "$other_l1" 1
setup "L1 added the first GPU at the hot-plug port: $answer" test "${answer%% *}" = ok
setup "the first GPU appears again, below the hot-plug port" wait_until 30 numbered 1
setup "at the guest address the fourth had, $hot (found at ${numbered:-none})" test "$numbered" = "$hot"
load_expectations
timed "hot-plug: another GPU added where the fourth was"
check "the daemon saved $hot's record again, from the GPU there now: the first's L1 BAR0 base $other_base, not the fourth's $fourth_base" \
    wait_until "$DAEMON_LIMIT" store_file_holds "$hot"
within "$DAEMON_LIMIT" $((told + 1)) "the daemon configured the driver again once the first was added at $hot" \
    "the daemon did not configure the driver after a GPU was added" daemon_successes
minor=$(< "/sys/bus/pci/devices/$hot/minor")
for g in $(gpus); do
    check "$g's driver holds the first's L1 BAR0 base $other_base under minor $minor, the GPU now at $hot: the fourth's $fourth_base was not told for it" \
        test "$(peer_entry "$g" "$minor")" = "$minor $other_base"
done
check "$hot's driver instance, new with the GPU, was told the GPUs there now alone: no entry of the fourth's base $fourth_base" \
    bash -c '! grep -q " $1\$" "/sys/bus/pci/devices/$2/p2p_peers"' _ "$fourth_base" "$hot"
status_json status-replaced
{
    printf '%s\t%s\n' "with three GPUs left, the report is ready and counts no GPU taken away" \
        "(d['ready'], sorted(x['bus'] for x in d['gpus'])) == (True, sorted('$(gpus | paste -sd' ')'.split()))"
    printf '%s\t%s\n' "it counts $hot's store file with the base of the GPU there now ($other_base)" \
        "[(x['storeFile']['state'], x['storeFile']['base'], x['driverConfigured']) for x in d['gpus'] if x['bus'] == '$hot'] == [('valid', '0x$other_base', True)]"
} | report_checks status-replaced
check "the daemon said no error while GPUs came and went" bash -c '! grep -q Error /tmp/daemon.out'
kill "$daemon"
wait "$daemon" 2>/dev/null
echo "--- daemon output, hot-plug"; cat /tmp/daemon.out
note "a GPU taken away stays in its peers' tables until the driver's next load (it cannot forget a peer): the fourth's entry, minor $fourth_minor, is kept there"
timed "hot-plug: another GPU where the fourth was"

echo "done l2" >> "$RESULTS"
poweroff_now
