#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, where they
# are missing.  Usage: scripts/deps.sh [--no-tool] [--python] [extra packages...]
#   --no-tool  skip the img3d tool's libraries (cross builds do not build it)
#   --python   add the Python package's build and test needs
# An extra package of another architecture (wine32:i386) enables that
# architecture first.
set -euo pipefail

tool=1
python=0
while [ $# -gt 0 ]; do
  case "$1" in
    --no-tool) tool=0; shift ;;
    --python) python=1; shift ;;
    *) break ;;
  esac
done

packages=(cmake ninja-build g++ g++-multilib googletest libgtest-dev libbenchmark-dev pkgconf qemu-user clang libclang-rt-dev valgrind "$@")
if [ $tool -eq 1 ]; then
  # The tool: NIfTI-1 and NIfTI-2 files, PNG pictures, argument parsing, JSON.
  packages+=(libnifti2-dev libznz-dev zlib1g-dev libpng-dev libcli11-dev nlohmann-json3-dev)
fi
if [ $python -eq 1 ]; then
  # The extension and its venv install; the tests' peers (scipy, scikit-image)
  # the cohort's dask.distributed and nibabel; zarr and tifffile for img3d.volume.
  # The extension links the tool's chain: nifti_clib, zlib and nlohmann-json.
  packages+=(libnifti2-dev libznz-dev zlib1g-dev nlohmann-json3-dev)
  packages+=(pybind11-dev python3-dev python3-venv python3-setuptools python3-wheel python3-pytest python3-numpy
             python3-scipy python3-skimage python3-distributed python3-nibabel python3-zarr python3-tifffile)
fi

# The packages of the list that are not installed, asked of dpkg at once
# (a package may be listed as name or name:architecture).
native=$(dpkg --print-architecture)
missing() {
  local installed p
  installed=" $(dpkg-query -W -f='${db:Status-Status} ${binary:Package}\n' "$@" 2>/dev/null |
                awk '$1 == "installed" { printf "%s ", $2 }')"
  for p in "$@"; do
    [[ "$installed" == *" $p "* || "$installed" == *" $p:$native "* ]] || echo "$p"
  done
}

need=($(missing "${packages[@]}"))
# Real MRI volumes for the tool's optional test; nothing fails without them.
optional=()
[ $tool -eq 1 ] && optional=($(missing mricron-data))
[ ${#need[@]} -eq 0 ] && [ ${#optional[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  if [ ${#need[@]} -gt 0 ]; then
    echo "deps: missing packages: ${need[*]} (install them, e.g. apt-get install ${need[*]})" >&2
    exit 1
  fi
  exit 0
fi
echo "deps: installing ${need[*]} ${optional[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
for p in "${need[@]}"; do
  case "$p" in
    *:*) arch=${p##*:}
         if [ "$arch" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
           dpkg --add-architecture "$arch"
         fi ;;
  esac
done
apt-get update -qq >/dev/null
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [ ${#optional[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${optional[@]}" >/dev/null 2>&1 ||
    echo "deps: ${optional[*]} not installed; the real-data test will be skipped" >&2
fi
