#!/bin/bash
# The rig's sign of progress through a systemd boot, on the console, where
# the level above watches for it: a line each time systemd has started
# more units, or a process has been started since the last look (a unit
# that takes minutes to start, the guest's save among them, starts
# processes all along).  Nothing is written while the machine stands
# still, and nothing here starts a process: the reads are the shell's own,
# and the pause a read that times out on a FIFO nobody writes.  It ends
# when the rig's checks begin (they make /run/qv-rig-checks): from then on
# their result lines are the progress, and the processes the checks' own
# waits start are not.
shopt -s nullglob
mkfifo /run/qv-rig-progress
exec {nap}<>/run/qv-rig-progress
rm -f /run/qv-rig-progress
last=""
while [ ! -e /run/qv-rig-checks ]; do
    units=(/run/systemd/units/*)
    read -r _ _ _ _ pid < /proc/loadavg
    now="${#units[@]} units started, last pid $pid"
    if [ "$now" != "$last" ]; then
        echo "rig: systemd: $now" > /dev/console
        last=$now
    fi
    read -r -t 5 -u "$nap" _ || :
done
