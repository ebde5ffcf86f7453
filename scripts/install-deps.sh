#!/usr/bin/env bash
# Installs the Debian packages Quorvex needs to build, test and run, when any is missing.
# Uses sudo only when not root. Safe to run again: it does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev googletest
  libavcodec-dev libavformat-dev libavfilter-dev libavdevice-dev
  libavutil-dev libswscale-dev libswresample-dev
  libsdl2-dev
  ffmpeg
  xvfb xauth x11-apps imagemagick
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
