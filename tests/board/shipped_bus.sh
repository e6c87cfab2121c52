#!/usr/bin/env bash
# shipped_bus.sh SETTINGS PROGRAM BOARD_JSON NODE NO_NODE_ERROR NODE_ERROR
# REQUEST...: a libmraa program of the bundle that talks to a bus through
# the kernel's device node NODE (i2c-dev, spidev), run under qemu-arm in a
# root that holds only musl's loader, with MRAA_JSON_PLATFORM at the bundled
# board description.
#
# qemu-user does not pass i2c-dev and spidev requests through to the PC's
# kernel: it refuses them as unsupported (ENOTTY) before they reach any
# file, and logs each one it refuses (-d unimp). So the program can reach
# its bus, but never make an exchange there:
#  - without NODE it cannot open the bus: NO_NODE_ERROR on standard error,
#    and no request made;
#  - with NODE (an empty file stands in for it) it opens the bus, makes the
#    requests REQUEST... (32-bit request numbers, in order) and fails
#    cleanly on the first that it cannot do without: NODE_ERROR on standard
#    error, or nothing there when NODE_ERROR is "-".
# Either way nothing on standard output and status 1.
source "$(dirname "$0")/checks.sh" "$1"
need_qemu
program=$2 board_json=$3 node=$4 no_node_error=$5 node_error=$6
shift 6
name=$(basename "$program")
[ ! -e "$node" ] || skip "this machine has a $node, which qemu-arm would hand to the program"
dir=$(scratch "shipped.$name")
board_root "$dir/root"
export MRAA_JSON_PLATFORM=$board_json

# run CASE ERROR REQUEST...: one run, and how it must end.
run() {
  local case=$1 error=$2 status=0
  shift 2
  (cd "$dir" && qemu_board root -d unimp -D "$dir/$case.log" "$program") \
    </dev/null >"$dir/$case.out" 2>"$dir/$case.err" || status=$?
  if [ "$error" != - ]; then printf '%s\n' "$error"; fi > "$dir/$case.expected"
  same_bytes "standard error ($case)" "$dir/$case.expected" "$dir/$case.err"
  [ ! -s "$dir/$case.out" ] || fail "$case: standard output is not empty: $(cat "$dir/$case.out")"
  expect_status "$name ($case)" 1 "$status"
  # qemu prints a request as a long; an ARM one is 32 bits.
  local request
  while read -r request; do
    printf '0x%08x\n' $((request & 0xffffffff))
  done < <(sed -n 's/^Unsupported ioctl: cmd=\(0x[0-9a-f]*\)$/\1/p' "$dir/$case.log") > "$dir/$case.requests"
  if [ $# -gt 0 ]; then printf '%s\n' "$@"; fi > "$dir/$case.expected_requests"
  same_bytes "the requests on $node ($case)" "$dir/$case.expected_requests" "$dir/$case.requests"
}

run no_node "$no_node_error"
mkdir -p "$dir/root$(dirname "$node")"
: > "$dir/root$node"
run node "$node_error" "$@"
said="\"$node_error\""
[ "$node_error" != - ] || said="nothing on standard error"
echo "$name: without $node \"$no_node_error\"; with it the requests $*, then $said and status 1"
