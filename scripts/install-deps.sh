#!/usr/bin/env bash
# Installs the Debian packages Sorvend needs to build, test and run, when any is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config libgtest-dev   # build and unit tests
  zlib1g-dev liblzma-dev                          # checksums and compressed streams
  libbz2-dev libzstd-dev liblz4-dev libarchive-dev  # decoding archives and compressed streams
  qt6-base-dev fonts-ipafont-gothic               # the window and its Japanese font
  qt6-image-formats-plugins                       # thumbnails of TIFF, WebP, TGA and ICNS outputs
  xvfb xauth x11-utils libx11-dev                 # the window's test on a real X server
  clang libclang-rt-14-dev                        # the fuzzer
  scdoc file dpkg-dev                             # manual pages and the Debian package
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}"
