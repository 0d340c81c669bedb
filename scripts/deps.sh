#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, where they
# are missing.  Usage: scripts/deps.sh [extra packages...]
# An extra package of another architecture (wine32:i386) enables that
# architecture first.
set -euo pipefail

packages=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libbenchmark-dev pkgconf qemu-user clang libclang-rt-dev valgrind "$@")
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
for p in "${missing[@]}"; do
  case "$p" in
    *:*) arch=${p##*:}
         if [ "$arch" != "$(dpkg --print-architecture)" ] &&
            ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
           dpkg --add-architecture "$arch"
         fi ;;
  esac
done
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
