#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, where they
# are missing.  Usage: scripts/deps.sh [extra packages...]
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libbenchmark-dev pkgconf qemu-user "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "deps: missing packages: ${missing[*]} (install them, e.g. apt-get install ${missing[*]})" >&2
  exit 1
fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
