#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need; only the missing ones.
set -euo pipefail
PKGS=(cmake g++ make pkg-config qt6-base-dev libqt6opengl6-dev libgl-dev libqcustomplot-dev
      libudev-dev fonts-dejavu-core fonts-liberation2 xvfb xauth dpkg-dev file
      lintian desktop-file-utils appstream prometheus libmosquitto-dev mosquitto mosquitto-clients openssl libssl-dev openssh-client
      python3 dbus-daemon faketime xdotool openbox poppler-utils systemd man-db)
# scripts/test-kernel also needs QEMU, busybox and udev (its kernel is downloaded, not
# installed).
if [ "${1:-}" = "--kernel" ]; then
  PKGS+=(qemu-system-x86 busybox-static cpio bc udev)
fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
