#!/bin/bash
# Inside the VM: the camera service's CPU and memory with a still picture
# (camera off) and one reader of each kind, or none. Prints key=value lines.
#   guest.sh BIN OUT RULE SECONDS
set -u
BIN=$1 OUT=$2 RULE=$3 SPAN=${4:-20}
HERE=$(cd "$(dirname "$(readlink -f "$0")")/../../tests/v4l2" && pwd)
source "$HERE/session.sh"

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
# measure NAME: the service's share of one core over SPAN seconds, and its RSS at the end
measure() {
  local hz; hz=$(getconf CLK_TCK)
  local t0 c0 t1 c1; t0=$(date +%s.%N); c0=$(ticks "$SERVICE")
  sleep "$SPAN"
  t1=$(date +%s.%N); c1=$(ticks "$SERVICE")
  echo "$1_cpu_percent=$(echo "scale=3; 100 * ($c1 - $c0) / $hz / ($t1 - $t0)" | bc)"
  echo "$1_rss_kb=$(rss_kb "$SERVICE")"
}
with_reader() {  # with_reader NAME COMMAND...: measures while COMMAND reads
  local name=$1; shift
  "$@" > "$OUT/$name-reader.log" 2>&1 &
  local r=$!
  sleep 6  # the reader settles and the stream starts
  measure "$name"
  kill "$r" 2>/dev/null; wait "$r" 2>/dev/null
  sleep 4
}
dev=$(node_of Tovrelle)
start_session
set_state '{"mode":"off"}'
start_service
wait_for 30 streams "$dev"
sleep 5
measure idle
with_reader v4l2 v4l2-ctl -d "$dev" --stream-mmap --stream-to=/dev/null
with_reader pipewire gst-launch-1.0 -q pipewiresrc target-object=Tovrelle ! video/x-raw,format=YUY2 ! fakesink
stop_service
TOVRELLE_V4L2=0 start_service
sleep 5
with_reader pipewire_only gst-launch-1.0 -q pipewiresrc target-object=Tovrelle ! video/x-raw,format=YUY2 ! fakesink
stop_service
