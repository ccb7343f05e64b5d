#!/bin/bash
# The V4L2 output's cost, measured inside the test VM (one boot): the camera
# service's CPU with one V4L2 reader against one PipeWire reader of the same
# still picture, with no reader at all, and its memory with and without the
# V4L2 output. The VM emulates its processor, so absolute figures are far
# above a real machine's; the ratios are what to compare.
#   bench/v4l2/run.sh [BUILD_DIR] [SECONDS]
set -u
SRC=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$(readlink -f "${1:-$SRC/build}")/bin SPAN=${2:-20}
VM=${TOVRELLE_VM_DIR:-$SRC/../shared/vm}
OUT=$(readlink -f "$BIN/..")/v4l2-bench
rm -rf "$OUT" && mkdir -p "$OUT"
"$VM/vm-run" -q --share "$OUT" --timeout 900 --modprobe 'v4l2loopback devices=1 exclusive_caps=1 card_label=Tovrelle' \
  -- bash "$SRC/bench/v4l2/guest.sh" "$BIN" "$OUT" "$SRC/packaging/wireplumber/51-tovrelle-hide-loopback.lua" "$SPAN" \
  | tee "$OUT/figures.txt"
v() { sed -n "s/^$1=//p" "$OUT/figures.txt"; }
ratio() { echo "scale=2; $1 / $2" | bc 2>/dev/null; }
echo "V4L2 reader / PipeWire reader, CPU: $(ratio "$(v v4l2_cpu_percent)" "$(v pipewire_cpu_percent)") (target <= 1.3)"
echo "no reader, CPU: $(v idle_cpu_percent) % of a core under emulation (target <= 0.3 % on a real machine)"
echo "RSS with a PipeWire reader, with the V4L2 output - without it: $(( $(v pipewire_rss_kb) - $(v pipewire_only_rss_kb) )) kB (target <= 10 MB)"
echo "RSS with a V4L2 reader - with no reader: $(( $(v v4l2_rss_kb) - $(v idle_rss_kb) )) kB"
