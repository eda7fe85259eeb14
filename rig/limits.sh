# The rig's time limits, in seconds, each in one place: numbers only (the
# code that watches boots is watch.sh).  Sourced by run.sh on the build
# machine and by lib.sh in the guests.
#
# A run of the tool or the report: one that overruns it is a FAIL naming
# it, never a lost boot.
TOOL_LIMIT=60
# The package's units, started by systemd at boot, in place of their own
# limits (120 s, 50 s): the machines are emulated, L2 under KVM on L1's
# emulated CPU, their roots read over 9p (the guest unit's save took 96 s
# of its 120 on 2026-12-09, and ran out of them in CI that day).  Below the
# boot limits, so that a unit that hangs fails its check.
UNIT_START_LIMIT=600
# The daemon's effect: its own one-second wait and up to 30 s of retries,
# and as long again for the nested guest's slowness.  Below L2_STALL, so
# that a daemon that never reacts is a FAIL that says so, not a lost boot.
DAEMON_LIMIT=60
# A boot is lost when the rig's own progress in it (its result lines and
# its own console lines) stops this long: at most three minutes.  L1
# passes L2's progress on at most 15 s late, so L1's limit lies above L2's
# by that and a margin: L1 always sees a stalled L2 first, and says so.
L2_STALL=120
L1_STALL=170
# L2 waits this long for L1's store beside it, which starts once L2 has
# booted and usually ends while L2's first report runs; below L2_STALL, so
# that a store that never ends is a FAIL, not a lost L2.
L1_STORE_WAIT=90
# The kernel's own signs of a CPU that will not come back end a boot at
# once.  Its RCU grace-period thread starved for two minutes (30000
# jiffies at Debian's HZ=250): on 2026-12-09 a lost L1 showed 5253, 21010
# and 36766 jiffies at 360, 423 and 486 s, and nothing else until a soft
# lockup at 1033 s.  A CPU stuck for two minutes (a soft lockup): boots
# that pass show lockups of 20 to 30 s; lost ones 131 s and more, up to
# 900 s.
RCU_STARVED_LOST=30000
LOCKUP_LOST=120
# A QEMU that was killed and has not ended after this long never will
# (its vCPU is stuck in the kernel): the boot is lost, and said so.
REAP_LIMIT=30
# Each boot's limit, for the whole of it: about twice a slow day's time.
# L2 running l2.sh: 303 to 642 s on the slow days of 2026-12-08 and -09
# (509 s on a clean clone of 2026-12-09, and past 900 s once).  L2 booted
# with systemd, to its power-off: 394 s that day, but 810 s before its
# checks in CI once, and 211 s of checks.
L2_FLOW_LIMIT=1500
L2_BOOT_LIMIT=1500
L2_TRIES=2
# L1's own steps beside its L2 boots, in each stage (on that slow day 80 s
# and 110 s, with its boot; on 2026-12-09 76 s and up to 165 s).
L1_FLOW_STEPS=200
L1_BOOT_STEPS=200
L1_FLOW_LIMIT=$((L1_FLOW_STEPS + L2_TRIES * L2_FLOW_LIMIT))
L1_BOOT_LIMIT=$((L1_BOOT_STEPS + L2_TRIES * L2_BOOT_LIMIT))
L1_TRIES=3
# What a stage needs, boots lost aside, on a slow day: with less time than
# this left before the run's deadline (QVGPU_RIG_DEADLINE), a boot is not
# started, and that is a FAIL.  The deadline, not these limits times their
# tries, bounds the rig's time.
L1_FLOW_NEED=$((L1_FLOW_STEPS + L2_FLOW_LIMIT / 2))
L1_BOOT_NEED=$((L1_BOOT_STEPS + L2_BOOT_LIMIT / 2))
