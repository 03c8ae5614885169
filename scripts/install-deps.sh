#!/usr/bin/env bash
# Installs the Debian 12 packages the helper builds, tests and benchmarks with. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev clang-format
  libasio-dev libcurl4-openssl-dev libarchive-dev libssl-dev openssl libplist-dev libsystemd-dev
  libcurl4 libarchive13 libsystemd0  # opened at run time by soname, not linked: named so they are never left out
  nlohmann-json3-dev libexpected-dev libgtest-dev libgmock-dev libbenchmark-dev
  systemd procps util-linux iproute2 python3 libarchive-tools curl tmux less strace
  bubblewrap  # runs the client in a sandbox as Flatpak does
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
