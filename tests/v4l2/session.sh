#!/bin/bash
# Shared by the V4L2 guest tests and the V4L2 benchmark, sourced inside the
# VM: a private bus, PipeWire and WirePlumber with the package's rule, the
# heartbeat of a running app, a test camera, the camera service from the
# build tree, and ways to ask PipeWire and the device what they see.
# Needs BIN, OUT, RULE and HERE set.
W=1280 H=720
export XDG_RUNTIME_DIR=/tmp/run XDG_CONFIG_HOME=/tmp/config TOVRELLE_NO_JOURNAL=1 HOME=/tmp/home
mkdir -p -m 0700 "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$HOME"
cp "$RULE" "$XDG_CONFIG_HOME/wireplumber/main.lua.d/"
DATA=/tmp/data
mkdir -p "$DATA" "$OUT"

pass() { echo "PASS $1"; }
fail() { echo "FAIL $1: $2"; }
check() { local name=$1; shift; if "$@"; then pass "$name"; else fail "$name" "${WHY:-}"; fi; WHY=; }
# wait_for SECONDS COMMAND...: polls until COMMAND succeeds
wait_for() { local end=$((SECONDS + $1)); shift; until "$@"; do ((SECONDS < end)) || return 1; sleep 0.2; done; }
not() { ! "$@"; }

PIDS=()
cleanup() { stop_service; for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; }
trap cleanup EXIT

node_of() { grep -l "^$1\$" /sys/class/video4linux/video*/name 2>/dev/null | head -n1 | sed 's,.*/\(video[0-9]*\)/name,/dev/\1,'; }
caps() { v4l2-ctl -d "$1" -D 2>/dev/null | sed -n '/Device Caps/,/^[^\t]/p' | grep -oE 'Video (Capture|Output)' | paste -sd, -; }
streams() { [ "$(caps "$1")" = "Video Capture" ]; }

start_session() {
  local a
  { read -r a; read -r _; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=$a
  pipewire > "$OUT/pipewire.log" 2>&1 & PIDS+=($!)
  start_wireplumber
  # The app's heartbeat, dated ahead: under emulation on a busy host a loop
  # cannot promise to renew it within the service's three seconds.
  ( while :; do touch -d "+1 hour" "$DATA/heartbeat"; sleep 1; done ) & PIDS+=($!)
  "$BIN/tovrelle-testcam" --name "Test Cam" --node-name testcam-v4l2 --format YUY2 --size 640x480 \
    > "$OUT/testcam.log" 2>&1 & PIDS+=($!)
  wait_for 60 grep -q "ready as" "$OUT/testcam.log"
}
WP=""
start_wireplumber() {
  wireplumber >> "$OUT/wireplumber.log" 2>&1 & WP=$!
  wait_for 60 sh -c 'pw-cli ls Client 2>/dev/null | grep -q WirePlumber'
  sleep 3  # its V4L2 monitor looks at the devices
}
restart_wireplumber() { kill "$WP"; wait "$WP" 2>/dev/null; start_wireplumber; }
set_state() { printf '%s' "$1" > "$DATA/.state.tmp" && mv "$DATA/.state.tmp" "$DATA/state.json"; }
SERVICE=""
start_service() {
  TOVRELLE_DATA_DIR=$DATA "$BIN/tovrelle-camera-extension" >> "$OUT/service.log" 2>&1 & SERVICE=$!
  wait_for 60 grep -q 'published "Tovrelle"' "$OUT/service.log"
}
stop_service() { kill "$SERVICE" 2>/dev/null; wait "$SERVICE" 2>/dev/null; SERVICE=""; }
# pw-dump can print a second array when the graph changes while it dumps;
# each reader takes the first.
# pw_props KEY: the value of KEY on the Tovrelle PipeWire node
pw_prop() {
  pw-dump 2>/dev/null | /usr/bin/python3 -c '
import json, sys
for o in json.JSONDecoder().raw_decode(sys.stdin.read().lstrip())[0]:
    p = (o.get("info") or {}).get("props") or {}
    if p.get("node.name") == "Tovrelle" and p.get("media.class") == "Video/Source":
        print(p.get(sys.argv[1], "")); break' "$1"
}
# The Video/Source nodes whose description or name mentions Tovrelle.
pw_tovrelle_sources() {
  pw-dump 2>/dev/null | /usr/bin/python3 -c '
import json, sys
for o in json.JSONDecoder().raw_decode(sys.stdin.read().lstrip())[0]:
    p = (o.get("info") or {}).get("props") or {}
    if p.get("media.class") == "Video/Source" and "Tovrelle" in (p.get("node.name", "") + p.get("node.description", "")):
        print(p.get("node.name"), "|", p.get("node.description"))'
}
state_is() { [ "$(pw_prop tovrelle.v4l2.state)" = "$1" ]; }
# Whether anything reads the test camera: a link from its node.
camera_read() {
  pw-dump 2>/dev/null | /usr/bin/python3 -c '
import json, sys
objs = json.JSONDecoder().raw_decode(sys.stdin.read().lstrip())[0]
cam = [o["id"] for o in objs if ((o.get("info") or {}).get("props") or {}).get("node.name") == "testcam-v4l2"]
links = [o for o in objs if o.get("type", "").endswith("Link") and (o.get("info") or {}).get("output-node-id") in cam]
sys.exit(0 if links else 1)'
}
# look NAME RAWFILE WIDTH HEIGHT: what a raw RGB frame shows; sets BARS and BLACK
look() {
  local r; r=$(/usr/bin/python3 "$HERE/check-frame.py" "$2" "$3" "$4")
  echo "$1: $r"
  BARS=$(sed -n 's/^bars //p' <<< "$r"); BLACK=0; grep -q '^black' <<< "$r" && BLACK=1
}
ffmpeg_frame() {  # ffmpeg_frame DEV N PNG: the Nth frame an ffmpeg v4l2 reader gets
  rm -f "$3" "$3.rgb"
  timeout 120 ffmpeg -hide_banner -nostdin -loglevel error -f v4l2 -i "$1" -vf "select=gte(n\,$2)" \
    -frames:v 1 -fps_mode passthrough -y "$3" > "$OUT/ffmpeg.log" 2>&1 || return 1
  ffmpeg -hide_banner -loglevel error -i "$3" -f rawvideo -pix_fmt rgb24 -y "$3.rgb" && look ffmpeg "$3.rgb" $W $H
}

