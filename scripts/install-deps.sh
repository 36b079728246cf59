#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev qt6-base-dev libqt6svg6 libjpeg62-turbo-dev libturbojpeg0-dev zlib1g-dev libtiff-dev libopenjp2-7-dev libproj-dev gdal-bin python3-gdal libjpeg-turbo-progs libopenjp2-tools strace parallel slurm-wlm munge)
# Installing: PNG icons from the SVG, the package's dependencies (CPack),
# and the install test's checks (lintian: Debian's checker of packages).
packages+=(librsvg2-bin dpkg-dev file desktop-file-utils gtk-update-icon-cache man-db lintian)
# The README's screenshot: a display without a screen and its capture.
packages+=(xvfb x11-utils imagemagick)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >&2
fi
