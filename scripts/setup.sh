#!/usr/bin/env bash
# Installs the Debian packages Tovrelle needs to build, run and test.
# Only missing packages are installed; re-running is cheap.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git ccache
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber dbus dbus-daemon
  nlohmann-json3-dev
  libcairo2-dev libpango1.0-dev fonts-cantarell
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libyuv-dev libwebp-dev
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-svg-dev
  qt6-image-formats-plugins
  libgl-dev
  libxkbcommon-dev libxkbcommon-x11-dev
  libxcb1-dev libxcb-keysyms1-dev libxcb-xkb-dev libxcb-xtest0-dev
  libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  gstreamer1.0-tools gstreamer1.0-pipewire gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  xvfb xdotool x11-utils imagemagick strace binutils
  hicolor-icon-theme qt6-gtk-platformtheme
  lintian desktop-file-utils appstream
  clang libclang-rt-14-dev
  qt6-wayland weston xdg-desktop-portal python3-dbus python3-gi pipewire-v4l2 ffmpeg
  sway waybar grim
)

# With --tests, also what the V4L2 tests need: they boot Debian's own kernel
# in a VM with the v4l2loopback module and read the camera with Chromium.
if [ "${1:-}" = --tests ]; then
  PACKAGES+=(
    qemu-system-x86 linux-image-amd64 linux-headers-amd64 dkms v4l2loopback-dkms kmod busybox-static cpio udev
    v4l-utils chromium
  )
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "tovrelle: installing ${#missing[@]} packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
