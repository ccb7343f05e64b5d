#!/bin/bash
# Runs inside the test VM as root (through vm-run): the camera service from
# the build tree, a private PipeWire and WirePlumber with the package's rule,
# a test camera, and V4L2 clients nobody here wrote. Prints "PASS name" or
# "FAIL name: why" per check and keeps logs and frames in OUT.
#   guest.sh devices BIN OUT RULE   module loaded before: two loopback devices, ours second
#   guest.sh hotplug BIN OUT RULE   module loaded while the service runs; a busy and a faked node
set -u
MODE=$1 BIN=$2 OUT=$3 RULE=$4
HERE=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
W=1280 H=720
mkdir -p "$OUT"
export XDG_RUNTIME_DIR=/tmp/run XDG_CONFIG_HOME=/tmp/config TOVRELLE_NO_JOURNAL=1 HOME=/tmp/home
mkdir -p -m 0700 "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/wireplumber/main.lua.d" "$HOME"
cp "$RULE" "$XDG_CONFIG_HOME/wireplumber/main.lua.d/"
DATA=/tmp/data
mkdir -p "$DATA"

pass() { echo "PASS $1"; }
fail() { echo "FAIL $1: $2"; }
check() { local name=$1; shift; if "$@"; then pass "$name"; else fail "$name" "${WHY:-}"; fi; WHY=; }
# wait_for SECONDS COMMAND...: polls until COMMAND succeeds
wait_for() { local end=$((SECONDS + $1)); shift; until "$@"; do ((SECONDS < end)) || return 1; sleep 0.2; done; }
not() { ! "$@"; }

PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; }
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
  ( while :; do touch "$DATA/heartbeat"; sleep 1; done ) & PIDS+=($!)
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
# pw_props KEY: the value of KEY on the Tovrelle PipeWire node
pw_prop() {
  pw-dump 2>/dev/null | /usr/bin/python3 -c '
import json, sys
for o in json.load(sys.stdin):
    p = (o.get("info") or {}).get("props") or {}
    if p.get("node.name") == "Tovrelle" and p.get("media.class") == "Video/Source":
        print(p.get(sys.argv[1], "")); break' "$1"
}
# The Video/Source nodes whose description or name mentions Tovrelle.
pw_tovrelle_sources() {
  pw-dump 2>/dev/null | /usr/bin/python3 -c '
import json, sys
for o in json.load(sys.stdin):
    p = (o.get("info") or {}).get("props") or {}
    if p.get("media.class") == "Video/Source" and "Tovrelle" in (p.get("node.name", "") + p.get("node.description", "")):
        print(p.get("node.name"), "|", p.get("node.description"))'
}
state_is() { [ "$(pw_prop tovrelle.v4l2.state)" = "$1" ]; }
# Whether anything reads the test camera: a link from its node.
camera_read() {
  pw-dump 2>/dev/null | /usr/bin/python3 -c '
import json, sys
objs = json.load(sys.stdin)
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

devices_mode() {
  start_session
  set_state '{"mode":"camera","selectedCameraId":"testcam-v4l2"}'
  local other ours; other=$(node_of Other); ours=$(node_of Tovrelle)
  echo "devices: Other=$other Tovrelle=$ours"
  start_service
  WHY="caps [$(caps "$ours")], log: $(grep VideoDevice "$OUT/service.log" | tail -n 3)"
  check "our device streams once the service runs" wait_for 20 streams "$ours"
  WHY="caps [$(caps "$other")]"
  check "another program's loopback device is left alone" test "$(caps "$other")" = "Video Output"
  WHY="state=$(pw_prop tovrelle.v4l2.state) device=$(pw_prop tovrelle.v4l2.device)"
  check "the PipeWire camera says where the V4L2 device is" \
    test "$(pw_prop tovrelle.v4l2.state) $(pw_prop tovrelle.v4l2.device)" = "ready $ours"
  sleep 3
  WHY="a link to the test camera exists with no reader"
  check "the physical camera stays closed while nobody reads" not camera_read

  # ffmpeg reads 150 frames: the picture must be the camera's, and the camera
  # must be open while it reads.
  rm -f /tmp/read-during /tmp/state-during
  ( wait_for 60 camera_read && echo yes > /tmp/read-during ) &
  local probe1=$!
  ( wait_for 60 state_is reading && echo yes > /tmp/state-during ) &
  local probe2=$!
  ffmpeg_frame "$ours" 150 "$OUT/ffmpeg.png"
  wait $probe1 $probe2
  WHY="bars=$BARS"
  check "ffmpeg reads the passed-through camera from the V4L2 device" test "${BARS:-0}" -ge 6
  WHY="not linked"
  check "the physical camera opens while an ffmpeg reader is there" test -s /tmp/read-during
  WHY="the state never said reading"
  check "the PipeWire camera says a program reads the device" test -s /tmp/state-during
  WHY="still linked 15 s after the reader left"
  check "the physical camera closes after the reader leaves" wait_for 15 not camera_read

  rm -f "$OUT/gst.rgb"
  timeout 120 gst-launch-1.0 -q v4l2src device="$ours" num-buffers=150 ! videoconvert \
    ! video/x-raw,format=RGB ! filesink location="$OUT/gst.rgb" > "$OUT/gst.log" 2>&1
  look gstreamer "$OUT/gst.rgb" $W $H
  WHY="bars=$BARS, $(tail -n 3 "$OUT/gst.log")"
  check "GStreamer's v4l2src reads the camera" test "${BARS:-0}" -ge 6

  # Camera off: readers get the camera-off picture, not the camera.
  set_state '{"mode":"off"}'
  ffmpeg_frame "$ours" 60 "$OUT/ffmpeg-off.png"
  WHY="bars=$BARS black=$BLACK"
  check "camera off reaches V4L2 readers" sh -c "[ ${BARS:-0} -lt 3 ] && [ $BLACK = 0 ]"
  set_state '{"mode":"camera","selectedCameraId":"testcam-v4l2"}'

  # WirePlumber looking at the device while it streams must not add a second
  # "Tovrelle" camera: the package's rule hides it.
  restart_wireplumber
  local sources; sources=$(pw_tovrelle_sources)
  echo "PipeWire sources named Tovrelle: $sources"
  WHY="$sources"
  check "PipeWire lists one Tovrelle camera" test "$(printf '%s\n' "$sources" | grep -c .)" = 1

  chromium_check "$ours"

  timeout 300 v4l2-compliance -d "$ours" > "$OUT/v4l2-compliance.txt" 2>&1
  echo "v4l2-compliance: $(grep -E '^Total' "$OUT/v4l2-compliance.txt")"
  ffmpeg_frame "$ours" 20 "$OUT/ffmpeg-after.png"
  WHY="bars=$BARS; service $(kill -0 "$SERVICE" 2>/dev/null && echo running || echo gone)"
  check "the device still streams after v4l2-compliance" test -n "${BARS:-}"

  stop_service
  WHY="caps [$(caps "$ours")]"
  check "a stopped service leaves the device" wait_for 10 not streams "$ours"
}

chromium_check() {
  local log=$OUT/chromium.log prof=/tmp/chromium-profile
  chromium --headless=new --no-sandbox --use-fake-ui-for-media-stream --disable-gpu --no-first-run \
    --no-default-browser-check --user-data-dir="$prof" --enable-logging=stderr --v=0 \
    "file://$HERE/camera-page.html" > "$log" 2>&1 &
  local c=$!
  wait_for 240 grep -q 'CAMCHECK DONE' "$log"
  kill $c 2>/dev/null; wait $c 2>/dev/null
  grep -o '"CAMCHECK [^"]*"' "$log" | grep -v 'CAMCHECK PNG' | sed 's/^"CAMCHECK /chromium: /; s/"$//'
  local labels; labels=$(grep -o '"CAMCHECK videoinput [^"]*"' "$log" | sed 's/^"CAMCHECK videoinput //; s/"$//')
  WHY="cameras: [$(paste -sd, <<< "$labels")]"
  check "Chromium without flags lists exactly one camera, Tovrelle" test "$labels" = Tovrelle
  grep -o '"CAMCHECK PNG [^"]*"' "$log" | head -n1 | sed 's/^"CAMCHECK PNG data:image\/png;base64,//; s/"$//' \
    | base64 -d > "$OUT/chromium.png" 2>/dev/null
  BARS=0
  if [ -s "$OUT/chromium.png" ]; then
    ffmpeg -hide_banner -loglevel error -i "$OUT/chromium.png" -f rawvideo -pix_fmt rgb24 -y "$OUT/chromium.rgb"
    look chromium "$OUT/chromium.rgb" 320 180
  fi
  WHY="bars=$BARS"
  check "Chromium shows the camera's picture" test "${BARS:-0}" -ge 6
}

hotplug_mode() {
  start_session
  set_state '{"mode":"off"}'
  start_service
  WHY="state=$(pw_prop tovrelle.v4l2.state)"
  check "without the module the service says there is no device" wait_for 20 state_is no-device
  modprobe v4l2loopback devices=1 exclusive_caps=1 card_label=Tovrelle
  local t0=$SECONDS dev; dev=$(node_of Tovrelle)
  WHY="caps [$(caps "$dev")]"
  check "a device that appears is taken up" wait_for 30 streams "$dev"
  echo "device streamed $((SECONDS - t0)) s after modprobe (TCG)"
  ffmpeg_frame "$dev" 20 "$OUT/hotplug.png"
  WHY="black=$BLACK"
  check "the camera-off picture reaches a reader of the new device" test "${BLACK:-1}" = 0
  stop_service

  # Another program writes to our device first.
  gst-launch-1.0 -q videotestsrc is-live=true ! "video/x-raw,format=YUY2,width=$W,height=$H,framerate=30/1" \
    ! v4l2sink device="$dev" sync=false > "$OUT/producer.log" 2>&1 &
  local producer=$!
  wait_for 60 streams "$dev"
  start_service
  WHY="$(grep VideoDevice "$OUT/service.log" | tail -n 2)"
  check "a device another program writes to is reported busy" wait_for 20 grep -q "another program already writes to $dev" "$OUT/service.log"
  WHY="$(pw_prop tovrelle.v4l2.state)"
  check "the PipeWire camera reports the device busy" test "$(pw_prop tovrelle.v4l2.state)" = busy
  "$BIN/tovrelle-snap" --frames 10 --timeout 60 > "$OUT/snap-busy.txt" 2>&1
  WHY="$(tail -n 2 "$OUT/snap-busy.txt")"
  check "the PipeWire camera keeps working meanwhile" grep -q result=ok "$OUT/snap-busy.txt"
  kill $producer; wait $producer 2>/dev/null
  WHY="$(grep VideoDevice "$OUT/service.log" | tail -n 2)"
  check "the device is taken once the other program stops" wait_for 20 streams "$dev"
  stop_service

  # Something else where the device node should be.
  mv "$dev" /dev/tovrelle-real
  ln -s /dev/null "$dev"
  start_service
  WHY="$(grep VideoDevice "$OUT/service.log" | tail -n 2)"
  check "a link in place of the device node is refused" wait_for 20 grep -q "not writing to $dev: $dev is not a character device" "$OUT/service.log"
  stop_service
  rm "$dev"; mv /dev/tovrelle-real "$dev"
  WHY="caps [$(caps "$dev")]"
  check "nothing wrote to the device behind the link" test "$(caps "$dev")" = "Video Output"
}

case $MODE in
  devices) devices_mode ;;
  hotplug) hotplug_mode ;;
  *) echo "guest.sh: unknown mode $MODE" >&2; exit 2 ;;
esac
