#!/usr/bin/env bash
# Installs what the build, the program and the tests need, skipping what is
# already there. Debian 12; needs root for apt-get.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-translations-l10n qt6-qpa-plugins
  libpcre2-dev libgtest-dev libbenchmark-dev
  zlib1g-dev libbz2-dev liblzma-dev libzstd-dev gzip bzip2 xz-utils zstd
  fonts-ipafont-mincho fonts-ipafont-gothic fonts-dejavu-core
  xvfb xauth xdotool xclip x11-utils imagemagick
  clang-format
  ripgrep  # a yardstick of the benchmarks (bench/compare.sh)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
