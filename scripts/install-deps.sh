#!/usr/bin/env bash
# Installs the Debian packages both builds and their tests need. Does nothing when all are there.
set -euo pipefail

PACKAGES=(
    cmake ninja-build g++ python3 zip unzip openssl curl tzdata
    zlib1g-dev libminizip-dev libssl-dev nlohmann-json3-dev googletest
    libcurl4-openssl-dev
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64
    xvfb xdotool x11-utils
    7zip libarchive-tools pigz gdal-bin msitools wixl x11vnc tinyproxy
    osslsigncode faketime
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
