#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and benchmarks with
# (compilers and libraries, and what the scripts call: bc and python3 for
# the timing scripts of bench/, tar as their peer). A no-op when they are all
# present.
set -euo pipefail

packages=(
  g++ clang libclang-rt-14-dev cmake ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libxerces-c-dev libacl1-dev libattr1-dev libsqlite3-dev
  attr acl
  bc python3 tar
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
