#!/usr/bin/env python3
"""systemd-analyze blame's list, from systemd's own log of a boot's jobs.

Usage: blame.py JOURNAL...  (journalctl -o json _PID=1, as the rig keeps
it); writes JOURNAL's name with .blame for .journal beside each.  A unit's
time runs from its "Starting" to its "Started" or "Finished", as
systemd-analyze counts it from leaving inactive to active.  A job still
running when the log was taken is listed as such, and a unit with no start
logged (a target, or one that started before journald) with the time it
became active.
"""
import json
import sys

STARTING = "7d4958e842da4a758f6c1cdc7b36dcc5"
STARTED = "39f53479d3a045ac8e11786248231fbf"


def blame(path):
    began, took, early = {}, {}, {}
    with open(path, errors="replace") as log:
        for line in log:
            try:
                entry = json.loads(line)
            except ValueError:
                continue   # journalctl's own complaint, kept in the file
            unit, mid = entry.get("UNIT"), entry.get("MESSAGE_ID")
            at = int(entry.get("__MONOTONIC_TIMESTAMP", 0))
            if not unit:
                continue
            if mid == STARTING:
                began[unit] = at
            elif mid == STARTED and unit in began:
                took[unit] = at - began.pop(unit)
            elif mid == STARTED:
                # A target, or a unit that started before journald did:
                # no start logged.
                early[unit] = at
    lines = [f"{us / 1e6:9.3f}s {unit}" for unit, us in sorted(took.items(), key=lambda t: -t[1])]
    lines += [f"  running {unit}" for unit in sorted(began)]
    lines += [f"  active at {us / 1e6:.3f}s, no start logged: {unit}"
              for unit, us in sorted(early.items(), key=lambda t: t[1])]
    return "\n".join(lines) + "\n"


for journal in sys.argv[1:]:
    with open(journal.replace(".journal", ".blame"), "w") as out:
        out.write(blame(journal))
