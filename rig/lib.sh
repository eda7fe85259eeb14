# Shared by the stage scripts that run inside the rig's guests: where things
# are, and how a check is reported.  Each check appends one line to the
# results file, "ok NAME" or "FAIL NAME: why"; run.sh counts them.
RIG=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$RIG")
WORK=$ROOT/build-rig
TOOL=$WORK/tool/qvgpu-vm-p2p
PEEK=$WORK/peek
MODULE=$WORK/module/morvanti.ko
KVER=$(uname -r)
RESULTS=${RESULTS:-/xfer/results}
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

ok()   { echo "ok $LEVEL: $*" | tee -a "$RESULTS"; }
fail() { echo "FAIL $LEVEL: $*" | tee -a "$RESULTS"; }
note() { echo "note $LEVEL: $*" | tee -a "$RESULTS"; }

# check NAME COMMAND...: one result line for the command's success.
check() {
    local name=$1; shift
    if "$@"; then ok "$name"; else fail "$name"; fi
}

# Times each step: "time LEVEL: STEP 1.2 s".
step_start=0   # the first step timed is the boot itself
timed() {
    local now; now=$(cut -d' ' -f1 /proc/uptime)
    echo "time $LEVEL: $1 $(awk -v a="$step_start" -v b="$now" 'BEGIN { printf "%.1f", b - a }') s" |
        tee -a "$RESULTS"
    step_start=$now
}

# run NAME ARGS...: the tool, its standard output, error and exit status kept
# in /tmp/NAME.out, /tmp/NAME.err and $status.
run() {
    local name=$1; shift
    "$TOOL" "$@" >"/tmp/$name.out" 2>"/tmp/$name.err"
    status=$?
    echo "--- qvgpu-vm-p2p $* (exit $status)"
    cat "/tmp/$name.out" "/tmp/$name.err"
}

# The maker's GPUs as the kernel shows them, in bus order.
gpus() {
    local d
    for d in /sys/bus/pci/devices/*; do
        [ "$(cat "$d/vendor")" = 0x1f7a ] && basename "$d"
    done
}

# BAR0's start address from the kernel's resource table (not from config
# space, which is what the tool reads), in hexadecimal without prefix.
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

poweroff_now() {
    sync
    echo o > /proc/sysrq-trigger
    sleep 30
}
