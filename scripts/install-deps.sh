#!/usr/bin/env bash
# Installs the system packages the build and the tests need (Debian 12/13).
# Runs apt-get only when something is missing; needs root for that.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libicu-dev libre2-dev
  nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  valgrind
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
