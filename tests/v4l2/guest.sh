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
source "$HERE/session.sh"

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

  # A V4L2 reader that stops reading holds nothing up: PipeWire clients go on.
  v4l2-ctl -d "$ours" --stream-mmap --stream-to=/dev/null > /dev/null 2>&1 &
  local stalled=$!
  sleep 3
  kill -STOP $stalled
  "$BIN/tovrelle-snap" --frames 60 --timeout 60 > "$OUT/snap-stalled.txt" 2>&1
  kill -KILL $stalled; wait $stalled 2>/dev/null
  WHY="$(grep -E '^(fps|result|error)=' "$OUT/snap-stalled.txt" | paste -sd' ' -)"
  check "a stopped V4L2 reader does not hold up the PipeWire camera" grep -q result=ok "$OUT/snap-stalled.txt"

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
  # Chromium under emulation on a busy host can take minutes to start.
  wait_for 420 grep -q 'CAMCHECK DONE' "$log"
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
