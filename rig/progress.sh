#!/bin/bash
# The rig's sign of progress through a systemd boot, on the console, where
# the level above watches for it: a line each time systemd has started
# more units, or a process has been started since the last look (a unit
# that takes minutes to start, the guest's save among them, starts
# processes all along).  Nothing is written while the machine stands
# still, and once started the loop starts no process: its reads and its
# pause (nap) are the shell's own.  It ends when the rig's checks begin
# (they make /run/qv-rig-checks): from then on their result lines are the
# progress, and the processes the checks' own waits start are not.
source "$(dirname "$0")/lib.sh"
shopt -s nullglob
last=""
while [ ! -e /run/qv-rig-checks ]; do
    units=(/run/systemd/units/*)
    read -r _ _ _ _ pid < /proc/loadavg
    now="${#units[@]} units started, last pid $pid"
    if [ "$now" != "$last" ]; then
        echo "rig: systemd: $now" > /dev/console
        last=$now
    fi
    nap 5
done
