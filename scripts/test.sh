#!/usr/bin/env bash
# Builds the library and runs the whole test suite in every configuration:
#   default   optimised, warnings as errors
#   sanitize  AddressSanitizer + UndefinedBehaviorSanitizer, any report fails
#   m32       32-bit x86 (4-byte pointers)
# Usage: scripts/test.sh [configuration...]   (default: all of them)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh || exit 1

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(default sanitize m32)

san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
passed=0
failed=0
status=0
summary=()

for config in "${configs[@]}"; do
  dir="$root/build/$config"
  mkdir -p "$root/build"
  case "$config" in
    default)  args=(-DCMAKE_BUILD_TYPE=Release -DIMG3D_WERROR=ON) ;;
    sanitize) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMG3D_WERROR=ON -DIMG3D_BUILD_BENCH=OFF
                    "-DCMAKE_C_FLAGS=$san" "-DCMAKE_CXX_FLAGS=$san"
                    "-DCMAKE_EXE_LINKER_FLAGS=$san" "-DCMAKE_SHARED_LINKER_FLAGS=$san") ;;
    m32)      args=(-DCMAKE_BUILD_TYPE=Release -DIMG3D_WERROR=ON -DIMG3D_BUILD_BENCH=OFF
                    -DIMG3D_GTEST_FROM_SOURCE=ON
                    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-m32.cmake") ;;
    *) echo "unknown configuration: $config" >&2; exit 2 ;;
  esac
  echo "==== $config: configure and build"
  if ! cmake -S "$root" -B "$dir" -G Ninja "${args[@]}" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; status=1; summary+=("$config: configure failed"); continue
  fi
  if ! cmake --build "$dir" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; status=1; summary+=("$config: build failed"); continue
  fi
  echo "==== $config: test"
  log="$dir/ctest.log"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 900 2>&1 | tee "$log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed'
  [ "${PIPESTATUS[0]}" -ne 0 ] && status=1
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  if [ -n "$line" ]; then
    passed=$((passed + total - bad)); failed=$((failed + bad))
    summary+=("$config: $line")
  else
    status=1; summary+=("$config: no test summary")
  fi
done

echo "==== summary"
printf '%s\n' "${summary[@]}"
echo "total: $passed passed, $failed failed"
exit $status
