#!/usr/bin/env bash
# On a fresh machine: installs the missing system packages, builds and
# installs the command-line tool `ordel` (into /usr/local, or $ORDEL_PREFIX),
# then verifies an allowed and a denied request against the example policy
# for a coding agent.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "${ORDEL_JOBS:-2}" --target ordel_cli

prefix="${ORDEL_PREFIX:-/usr/local}"
sudo=""
if [[ $(id -u) -ne 0 && ! -w "$prefix" ]]; then
  sudo="sudo"
fi
$sudo cmake --install build --component cli --prefix "$prefix"
ordel="$prefix/bin/ordel"
echo

# Runs `ordel verify` on the example policy and checks its exit status:
# 0 for an allowed request, 1 for a denied one.
policy=examples/coding_agent.odl
run() {
  local want=$1
  shift
  printf '$ ordel verify %s' "$policy"
  printf ' %q' "$@"
  echo
  local status=0
  "$ordel" verify "$policy" "$@" || status=$?
  echo
  if [[ $status -ne $want ]]; then
    echo "demo: expected exit status $want, got $status" >&2
    exit 1
  fi
}
run 0 ReadFile path=/workspace/src/main.py
run 1 ReadFile path=/workspace/../etc/passwd
