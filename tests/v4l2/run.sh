#!/bin/bash
# The V4L2 output against a real v4l2loopback module: boots a throw-away VM
# twice (../shared/vm/vm-run) and runs guest.sh there. Skips (status 77) when
# the VM harness is not beside the project or cannot boot.
#   run.sh BIN_DIR SOURCE_DIR
set -u
BIN=$(readlink -f "$1") SRC=$(readlink -f "$2")
VM=${TOVRELLE_VM_DIR:-$SRC/../shared/vm}
HERE=$SRC/tests/v4l2
RULE=$SRC/packaging/wireplumber/51-tovrelle-hide-loopback.lua
OUT=$(readlink -f "$BIN/..")/v4l2-guest
if [ ! -x "$VM/vm-run" ]; then echo "no VM harness at $VM: skipping the V4L2 guest tests"; exit 77; fi
if [ "$(id -u)" != 0 ]; then echo "the VM harness needs root: skipping the V4L2 guest tests"; exit 77; fi
"$VM/vm-setup" ffmpeg v4l-utils gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
  pipewire pipewire-bin wireplumber dbus-daemon dbus-bin chromium > "$BIN/../vm-setup.log" 2>&1 \
  || { echo "the VM could not be set up (see vm-setup.log): skipping"; tail -n 5 "$BIN/../vm-setup.log"; exit 77; }
rm -rf "$OUT" && mkdir -p "$OUT/devices" "$OUT/hotplug"

boot() {  # boot NAME [vm-run options]: one VM run of guest.sh NAME, its lines kept in OUT/NAME.txt
  local name=$1; shift
  "$VM/vm-run" -q --share "$OUT" --timeout 900 "$@" -- bash "$HERE/guest.sh" "$name" "$BIN" "$OUT/$name" "$RULE" \
    > "$OUT/$name.txt" 2>&1
  local status=$?
  cat "$OUT/$name.txt"
  if [ $status = 125 ] || [ $status = 124 ]; then echo "FAIL $name VM run: vm-run status $status"; fi
}
{
  boot devices --modprobe 'v4l2loopback devices=2 exclusive_caps=1,1 card_label=Other,Tovrelle'
  boot hotplug
} | tee "$OUT/results.txt"
passed=$(grep -c '^PASS ' "$OUT/results.txt")
failed=$(grep -c '^FAIL ' "$OUT/results.txt")
echo "frames and logs: $OUT"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
