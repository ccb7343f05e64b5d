#!/usr/bin/env bash
# Installs what is missing, builds, and runs the Tovrelle camera extension in
# the foreground (Ctrl-C stops it); where the installed camera service already
# publishes the camera, it uses that one instead of starting a second camera.
# It uses the desktop's PipeWire when one is
# reachable; on a machine without one it starts a private session bus,
# PipeWire and WirePlumber in a runtime directory of its own, says so, and
# stops them on exit.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(tovrelle-camera-extension tovrelle-snap)
# The host app joins the build once its target exists.
if ninja -C build -t targets all 2>/dev/null | grep -q '^tovrelle:'; then targets+=(tovrelle); fi
cmake --build build -j "$(nproc)" --target "${targets[@]}"

pids=()
runtime=""
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  if [ -n "$runtime" ]; then rm -rf "$runtime"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() {  # wait_for PATH WHAT
  for _ in $(seq 1 100); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  echo "tovrelle: $2 did not start" >&2
  exit 1
}

pipewire_reachable() {
  local dir="${PIPEWIRE_RUNTIME_DIR:-${XDG_RUNTIME_DIR:-}}"
  [ -n "$dir" ] && [ -S "$dir/${PIPEWIRE_REMOTE:-pipewire-0}" ] && timeout 5 pw-cli info 0 >/dev/null 2>&1
}

if pipewire_reachable; then
  echo "== using the running PipeWire (${PIPEWIRE_RUNTIME_DIR:-$XDG_RUNTIME_DIR})"
else
  runtime="$(mktemp -d /tmp/tovrelle-run-XXXXXX)"
  chmod 700 "$runtime"
  export XDG_RUNTIME_DIR="$runtime" PIPEWIRE_RUNTIME_DIR="$runtime"
  export XDG_CONFIG_HOME="$runtime/config" XDG_STATE_HOME="$runtime/state"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus"
  export PIPEWIRE_LOG_SYSTEMD=false
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_STATE_HOME"
  echo "== no PipeWire is running: starting a private session bus, PipeWire and WirePlumber in $runtime"
  echo "   (they stop when this script ends; clients must run with XDG_RUNTIME_DIR=$runtime)"
  dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" >"$runtime/dbus.log" 2>&1 &
  pids+=($!)
  wait_for "$runtime/bus" dbus-daemon
  pipewire >"$runtime/pipewire.log" 2>&1 &
  pids+=($!)
  wait_for "$runtime/pipewire-0" pipewire
  wireplumber >"$runtime/wireplumber.log" 2>&1 &
  pids+=($!)
  sleep 1
fi

# ---- host app ----------------------------------------------------------------
# The tray app `tovrelle` starts here, next to the extension, once it is
# built; it is stopped with everything else when this script ends.
if [ -x build/bin/tovrelle ]; then
  echo "== starting the Tovrelle app"
  build/bin/tovrelle &
  pids+=($!)
fi
# -------------------------------------------------------------------------------

echo "== see the camera \"Tovrelle\" with:"
echo "   ${runtime:+XDG_RUNTIME_DIR=$runtime }build/bin/tovrelle-snap --save 0"
echo "   ${runtime:+XDG_RUNTIME_DIR=$runtime }gst-launch-1.0 pipewiresrc target-object=Tovrelle ! videoconvert ! autovideosink"
echo "== running tovrelle-camera-extension (Ctrl-C to stop)"
status=0
build/bin/tovrelle-camera-extension &
extension=$!
pids+=("$extension")
wait "$extension" || status=$?
if [ "$status" -eq 3 ]; then
  # Another process (the installed camera service) publishes the camera already.
  echo "== the installed Tovrelle camera service already publishes the camera; using it"
  if [ -x build/bin/tovrelle ]; then
    build/bin/tovrelle --camera-status || true
    echo "== the app keeps running (Ctrl-C to stop)"
    wait
  fi
  exit 0
fi
exit "$status"
