#!/usr/bin/env bash
# Installs the Debian packages that building and testing KTWSession need.
# Idempotent: does nothing when every package is already installed.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config lld
    clang libclang-rt-14-dev clang-format-14
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libssl-dev openssl
    qemu-system-x86
    zlib1g-dev libdeflate-dev
    liblzo2-dev
    libusb-1.0-0-dev
    libjpeg-dev
    libpixman-1-dev
    libpng-dev
    libasound2-dev
    libx11-dev libxext-dev libxrandr-dev libxtst-dev libxfixes-dev libxrender-dev libxcursor-dev
    libxft-dev libfontconfig-dev fonts-wqy-microhei
    xvfb xauth xclip xdotool x11-xserver-utils
    iproute2
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
