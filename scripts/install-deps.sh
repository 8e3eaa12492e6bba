#!/usr/bin/env bash
# Installs every Debian package that building, running and testing tecontrol needs.
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config
      qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools
      libqt6serialport6 libqt6uitools6 qt6-qpa-plugins libqt6opengl6-dev
      libqcustomplot-dev libgtest-dev libgmock-dev
      clang libclang-rt-dev ccache
      xvfb xauth x11-apps imagemagick fonts-dejavu-core locales
      help2man desktop-file-utils appstream dpkg-dev file man-db
      python3-pytest python3-serial python3-venv python3-setuptools python3-pip
      libmicrohttpd-dev qt6-websockets-dev libmosquitto-dev mosquitto mosquitto-clients
      prometheus chromium curl)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The file-format tests run under a decimal-comma locale too.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
