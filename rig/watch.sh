# Watching a boot of the rig's machines: sourced by run.sh on the build
# machine (for L1) and by lib.sh in L1 (for L2).  A boot is lost when the
# rig's own progress stops, or when its kernel shows a CPU that is dead; it
# is booted again only when no check of it has failed (boot_again).
# `rig/watch.sh CONSOLE...`
# run alone replays kept consoles through the kernel's rules, and prints
# what the watcher would have said of each, and when.

# progress RESULTS CONSOLE: what the rig itself has written of a boot, as
# one word: the size of its results, and how many lines of its own (those
# that begin with "rig") its console holds.  The kernel's own reports are
# no progress: a kernel whose one CPU is dead can go on printing from the
# other.
progress() {
    local size=0 lines=0
    [ -e "$1" ] && size=$(stat -c %s "$1")
    [ -e "$2" ] && lines=$(grep -ac '^rig' "$2")
    echo "$size/$lines"
}

# dead_cpu CONSOLE: why the kernel behind CONSOLE has a CPU that will not
# come back, "" when it shows none: its RCU grace-period thread starved for
# RCU_STARVED_LOST jiffies or more (its timer interrupts are gone), or a
# CPU stuck for LOCKUP_LOST seconds or more (a soft lockup).
dead_cpu() {
    local starved stuck
    starved=$(grep -aoE 'rcu_[a-z]+ kthread starved for [0-9]+ jiffies' "$1" 2>/dev/null |
        grep -oE '[0-9]+ jiffies' | sort -n | tail -n 1)
    starved=${starved% jiffies}
    if [ "${starved:-0}" -ge "$RCU_STARVED_LOST" ]; then
        echo "its kernel's RCU thread starved for $starved jiffies (a CPU that takes no interrupts)"
        return
    fi
    stuck=$(grep -aoE 'soft lockup - CPU#[0-9]+ stuck for [0-9]+s' "$1" 2>/dev/null |
        grep -oE '[0-9]+s$' | tr -d s | sort -n | tail -n 1)
    if [ "${stuck:-0}" -ge "$LOCKUP_LOST" ]; then
        echo "its kernel reported a CPU stuck for ${stuck} s (a soft lockup)"
    fi
}

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

# reap PID: waits for a process of ours that was started in the background
# (a boot), REAP_LIMIT seconds at most once it has been killed: a QEMU whose
# vCPU is stuck in the kernel may never end.  Its exit status in
# $reaped_status; false when it did not end.
reap() {
    local i
    for i in $(seq 1 "$REAP_LIMIT"); do
        kill -0 "$1" 2>/dev/null || break
        sleep 1
    done
    if kill -0 "$1" 2>/dev/null; then
        reaped_status=""
        return 1
    fi
    reaped_status=0
    wait "$1" || reaped_status=$?
}

# watch_boot STALL PID RESULTS CONSOLE: waits until the boot started as PID
# (a timeout around QEMU) has ended.  When the rig's progress in it (see
# progress) stops for STALL seconds, or its kernel shows a dead CPU, it
# ends the boot and prints why it was lost (a boot with a FAIL is then
# never booted again: its caller decides); it prints nothing for a boot
# that ended by itself.  With HEARTBEAT set (a file, the watching
# machine's console) it says there, at most every 15 s, that
# the boot it watches made progress, so that the level above counts that
# progress as its own.
watch_boot() {
    local stall=$1 pid=$2 results=$3 console=$4 now last quiet=0 beat=0 beaten why
    last=$(progress "$results" "$console")
    beaten=$last
    while kill -0 "$pid" 2>/dev/null; do
        now=$(progress "$results" "$console")
        if [ "$now" != "$last" ]; then
            last=$now
            quiet=0
        else
            quiet=$((quiet + 5))
        fi
        if [ -n "${HEARTBEAT:-}" ] && [ "$beat" -ge 15 ] && [ "$now" != "$beaten" ]; then
            echo "rig: the guest goes on ($now)" > "$HEARTBEAT"
            beaten=$now
            beat=0
        fi
        why=$(dead_cpu "$console")
        [ -n "$why" ] || [ "$quiet" -lt "$stall" ] || why="no progress of the rig's for $stall s"
        if [ -n "$why" ]; then
            kill_tree "$pid"
            echo "$why"
            return
        fi
        sleep 5
        beat=$((beat + 5))
    done
}

# boot_again WHY RESULTS: the one retry rule.  A boot is booted again only
# when it was lost (WHY says how), and never once a check of it has
# failed: every FAIL of every boot is counted.
boot_again() { [ -n "$1" ] && ! grep -q '^FAIL ' "$2"; }

# Alone: each kept console through the kernel's rules, with the uptime of
# the first line at which they would have ended the boot.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -uo pipefail
    source "$(dirname "$0")/limits.sh"
    for console in "$@"; do
        why="" upto=/tmp/qv-rig-replay.$$
        : > "$upto"
        while IFS= read -r line; do
            printf '%s\n' "$line" >> "$upto"
            case $line in *'kthread starved for'*|*'soft lockup'*) ;; *) continue ;; esac
            why=$(dead_cpu "$upto")
            if [ -n "$why" ]; then
                at=$(grep -aoE '^\[ *[0-9]+\.[0-9]+\]' <<<"$line" | tr -d '[ ]')
                echo "$console: lost at uptime ${at:-?} s: $why"
                break
            fi
        done < <(tr -d '\r' < "$console")
        [ -n "$why" ] || echo "$console: no dead CPU shown"
        rm -f "$upto"
    done
fi
