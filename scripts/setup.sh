#!/usr/bin/env bash
# Installs every build and test dependency from Debian's archive. Safe to run twice:
# packages already present are left alone.
set -euo pipefail
packages=(
  g++ cmake make pkgconf
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libcli11-dev libgtest-dev libbenchmark-dev libomp-dev
  clang libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
echo "setup: all dependencies present"
