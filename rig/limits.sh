# The rig's time limits, in seconds, each in one place and derived from the
# ones it holds.  Sourced by run.sh on the build machine and by lib.sh in
# the guests.  A boot is taken as lost, and booted again, only when its
# console shows no progress for a while (or L1's kernel reported a soft
# lockup) and no check of it has failed; a run of the tool that overruns
# TOOL_LIMIT is a FAIL naming it, never a lost boot.
TOOL_LIMIT=60
# The package's units, started by systemd at boot, in place of their own
# limits (120 s, 50 s): the machines are emulated, L2 under KVM on L1's
# emulated CPU, their roots read over 9p, and what takes milliseconds on a
# server takes a minute or two here (the guest unit's save took 96 s of its
# 120 on 2026-12-09, and ran out of them in CI that day).  Below the boot
# limits, so that a unit that hangs fails its check.
UNIT_START_LIMIT=600
# The daemon's effect: its own one-second wait and up to 30 s of retries,
# and as long again for the nested guest's slowness.  Below L2_STALL, so that
# a daemon that never reacts is a FAIL that says so, not a lost boot.
DAEMON_LIMIT=60
# L2 lost after this long without progress; L1 after longer, so that L1
# itself always sees a stalled L2 first (and says so).
L2_STALL=150
L1_STALL=$((L2_STALL + 90))
# A kernel that reports one of its CPUs stuck this long (a soft lockup) has
# lost its nested guest: on 2026-12-09 L1's kernel, running L2, reported
# its CPU stuck for 900 s and more, the reports growing its console all
# the while, until the boot's time limit.
LOCKUP_LOST=120
# L2, running l2.sh (about 2 minutes on a fast day, 5 or more on a slow
# one: on 2026-12-08 this machine took 303 s and 346 s for it; on
# 2026-12-09 about 380 s, and in a later run of that day, past 420 s, its
# boot alone 59 s; with four GPUs, a second root complex and libvirt's
# machine, its steps up to the report with the driver loaded took 465 s
# that day, and about 300 s more follow them), or booted with systemd
# (about 3 and a half minutes on a fast day, 463 s on 2026-12-08; on
# 2026-12-09 427 s before its checks; with four GPUs and two NUMA nodes,
# that day, 640 s did not reach its login, and in CI that day L1 was lost
# twice under it, so that boot now gets the three GPUs of L1's first root
# complex on one node, as before; in CI, later that day, 810 s passed
# before its checks began, and its limit ran out in them, where this
# machine had taken 361 s and 250 s for them).  A slow day here is twice
# as slow as a fast one: that day the flow's L2 ran past 900 s, two steps
# short of its end, where two runs the night before had taken 624 s and
# 642 s.  A lost L2 is booted once more.
L2_FLOW_LIMIT=1500
L2_BOOT_LIMIT=1500
L2_TRIES=2
# L1's own steps beside its L2 boots, in each stage (on that slow day 80 s
# and 110 s, with its boot; on 2026-12-09 76 s and up to 165 s).
L1_FLOW_STEPS=120
L1_BOOT_STEPS=200
L1_FLOW_LIMIT=$((L1_FLOW_STEPS + L2_TRIES * L2_FLOW_LIMIT))
L1_BOOT_LIMIT=$((L1_BOOT_STEPS + L2_TRIES * L2_BOOT_LIMIT))
# Three boots of L1: on 2026-12-09 nested virtualisation lost four of six
# boots of the systemd stage (L2's first boot silent on its console, then
# L1 silent once L2 was booted again; or L1's kernel hitting a stack guard
# page under L2), each told apart within ten minutes.
L1_TRIES=3
# Every boot lost and every limit run out: L1_TRIES * (3120 + 3200) s, 316
# minutes, which is beyond CI's 90 even alone.
# A lost boot is told apart early (no progress for L2_STALL or L1_STALL, a
# CPU stuck for LOCKUP_LOST), so a run that loses a boot or two costs
# minutes, not whole limits; the limits themselves are what a slow day
# needs, so that a slow day is no FAIL.
RIG_WORST=$((L1_TRIES * (L1_FLOW_LIMIT + L1_BOOT_LIMIT)))

# ended_how CONSOLE: how a machine that never finished its stage ended, as
# its console shows it, for the FAIL line (CI keeps that line, not the
# console): a kernel panic or oops, a power-off, or the console's last line.
ended_how() {
    local line
    line=$(grep -a -m 1 -E 'Kernel panic|BUG:|Oops|general protection fault|double fault' "$1" |
        tr -d '\r' | cut -c 1-200)
    if [ -n "$line" ]; then
        echo "its kernel said: $line"
        return
    fi
    grep -aq 'sysrq: Power Off' "$1" && { echo "it powered itself off"; return; }
    line=$(tr -d '\r' < "$1" | grep -a -v '^[[:space:]]*$' | tail -n 1 | cut -c 1-200)
    echo "its console ends: ${line:-nothing}"
}

# kill_tree PID: the process and everything it started (QEMU runs under
# timeout, under a background subshell).
kill_tree() {
    local child
    for child in $(pgrep -P "$1"); do
        kill_tree "$child"
    done
    kill -KILL "$1" 2>/dev/null
}

# watch_boot STALL PID FILE...: waits until the boot started as PID (a
# timeout around QEMU) has ended.  When none of FILES (its console, its
# results) has grown for STALL seconds, it ends the boot and prints why it
# was lost;
# it prints nothing for a boot that ended by itself.  With HEARTBEAT set
# (a file, the machine's console) it says there now and then that the boot
# goes on, so that the level above sees progress too, whoever started it.
watch_boot() {
    local stall=$1 pid=$2 size last="" quiet=0 beat=0 stuck
    shift 2
    while kill -0 "$pid" 2>/dev/null; do
        size=$(stat -c %s "$@" 2>/dev/null | tr '\n' ' ')
        if [ "$size" != "$last" ]; then
            last=$size
            quiet=0
            if [ -n "${HEARTBEAT:-}" ] && [ "$beat" -ge 30 ]; then
                echo "rig: the guest goes on ($size bytes)" > "$HEARTBEAT"
                beat=0
            fi
        else
            quiet=$((quiet + 5))
        fi
        if [ "$quiet" -ge "$stall" ]; then
            kill_tree "$pid"
            echo "no console progress for $stall s"
            return
        fi
        # A kernel whose CPU has been stuck for minutes has lost its nested
        # guest for good, while its reports keep the console growing: the
        # boot is lost now, not at its time limit.  (An emulated CPU can be
        # stuck for half a minute and go on.)
        stuck=$(grep -aoE 'soft lockup - CPU#[0-9]+ stuck for [0-9]+s' "$1" 2>/dev/null |
            grep -oE '[0-9]+s$' | tr -d s | sort -n | tail -n 1)
        if [ "${stuck:-0}" -ge "$LOCKUP_LOST" ]; then
            kill_tree "$pid"
            echo "its kernel reported a CPU stuck for ${stuck} s (a soft lockup)"
            return
        fi
        sleep 5
        beat=$((beat + 5))
    done
}
