#!/usr/bin/env bash
# Builds the library and runs the whole test suite in every configuration:
#   default   optimised, warnings as errors
#   sanitize  AddressSanitizer + UndefinedBehaviorSanitizer, any report fails
#   m32       32-bit x86 (4-byte pointers)
#   windows   img3d.dll for 32-bit Windows, cross-built with mingw-w64; the
#             export table is checked here, the test programs run under wine
#             where this machine can run 32-bit x86 code
#   fuzz      clang + libFuzzer: every fuzz target for IMG3D_FUZZ_SECONDS (20)
#   valgrind  the default build's test programs once more under memcheck
#   python    the Python package installed into a fresh venv, its pytest suite
# Usage: scripts/test.sh [configuration...]   (default: all of them)
#
# Every configuration builds in build/test-NAME, never in build/default (the
# demo's and the README's) nor in the README's venv, so a run of the tests
# never relinks a library that a user's tool or venv is running.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(default sanitize m32 windows fuzz valgrind python)

# wine runs 32-bit Windows programs as a 32-bit Linux process (wine32), so it
# needs a kernel that executes 32-bit x86 code.  Some kernels have no IA32
# emulation, where every 32-bit program fails with "Exec format error".
runs_32bit_code() {
  local probe
  probe=$(mktemp -d) || return 1
  printf 'int main(void) { return 0; }\n' >"$probe/probe.c"
  cc -m32 "$probe/probe.c" -o "$probe/probe" >/dev/null 2>&1 && "$probe/probe" >/dev/null 2>&1
  local rc=$?
  rm -rf "$probe"
  return $rc
}

# Prepares the windows configuration: the cross compiler always, wine where it
# can run.  Sets wine=ON or OFF.
windows_setup() {
  scripts/deps.sh --no-tool g++-mingw-w64-i686-posix binutils-mingw-w64-i686 || return 1
  wine=OFF
  if runs_32bit_code; then
    scripts/deps.sh --no-tool wine wine32:i386 || return 1
    wine=ON
  else
    echo "windows: this kernel cannot execute 32-bit x86 code (no IA32 emulation: a 32-bit program"
    echo "windows: fails with 'Exec format error'), and wine32, which runs 32-bit Windows programs, is"
    echo "windows: a 32-bit Linux program itself.  The test programs are built but not run; only the"
    echo "windows: checks that run on Linux (the DLL's export and import tables) run."
  fi
}

# wine's server, started by the first wine program, would inherit and hold
# CTest's output pipe and CTest would wait for it forever: start it (and the
# prefix) beforehand with its output elsewhere, and stop it afterwards.
wine_start() {
  export WINEPREFIX="$1/wineprefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
}
wine_stop() { wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; }

# The tool's libraries: the default and sanitize configurations build the
# tool, the fuzz configuration its file readers.
tool_deps=(--no-tool)
python_deps=()
for config in "${configs[@]}"; do
  case "$config" in
    default|sanitize|fuzz) tool_deps=() ;;
    python) python_deps=(--python) ;;
  esac
done
scripts/deps.sh "${tool_deps[@]}" "${python_deps[@]}" || exit 1

san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
passed=0
failed=0
status=0
summary=()

# Memcheck over the test programs of the default build: any error or leak
# fails the program.
run_valgrind() {
  local dir="$root/build/test-default" ok=0 bad=0
  if [ ! -x "$dir/tests/c_api_test" ]; then
    echo "valgrind: the default configuration has not been built"; status=1; return
  fi
  for exe in "$dir"/tests/*_tests "$dir/tests/c_api_test"; do
    if valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
         "$exe" >"$exe.valgrind.log" 2>&1; then
      ok=$((ok + 1)); echo "valgrind: $(basename "$exe") passed"
    else
      bad=$((bad + 1)); echo "valgrind: $(basename "$exe") FAILED"; tail -n 40 "$exe.valgrind.log"
    fi
  done
  passed=$((passed + ok)); failed=$((failed + bad))
  [ $bad -ne 0 ] && status=1
  summary+=("valgrind: $ok programs passed, $bad failed under memcheck")
}

# The Python package as a user installs it: a fresh venv of Debian's python3
# with the system's packages, pip install of this tree (its CMake build with
# warnings as errors; nothing downloaded), then the package's tests from
# outside the tree.
run_python() {
  local dir="$root/build/test-python" log="$root/build/test-python/pytest.log"
  rm -rf "$dir/venv" "$dir/setuptools"
  mkdir -p "$dir"
  # The cohort's tests compare it with the tool: the default configuration's,
  # or one built here for the purpose.
  local tool="$root/build/test-default/tools/img3d/img3d"
  if [ ! -x "$tool" ]; then
    tool="$root/build/test-tool/tools/img3d/img3d"
    if ! { cmake -S "$root" -B "$root/build/test-tool" -G Ninja -DCMAKE_BUILD_TYPE=Release -DIMG3D_BUILD_TESTS=OFF \
             -DIMG3D_BUILD_BENCH=OFF -DIMG3D_BUILD_EXAMPLES=OFF && cmake --build "$root/build/test-tool" --target img3d_tool; } \
         >"$dir/tool.log" 2>&1; then
      tail -n 40 "$dir/tool.log"; status=1; summary+=("python: the tool for the cohort's tests did not build"); return
    fi
  fi
  export IMG3D_TOOL="$tool"
  if ! /usr/bin/python3 -m venv --system-site-packages "$dir/venv" >"$dir/venv.log" 2>&1 ||
     ! IMG3D_BUILD_BASE="$dir/setuptools" IMG3D_CMAKE_ARGS=-DIMG3D_WERROR=ON "$dir/venv/bin/pip" install --no-build-isolation --no-index \
         --disable-pip-version-check "$root" \
         >"$dir/install.log" 2>&1; then
    tail -n 60 "$dir/venv.log" "$dir/install.log"; status=1; summary+=("python: install failed"); return
  fi
  echo "==== python: test"
  (cd "$dir" && "$dir/venv/bin/python" -m pytest -p no:cacheprovider -c "$root/pyproject.toml" \
     --rootdir "$root" "$root/python/tests") 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -ne 0 ] && status=1
  local line ok bad
  line=$(grep -E '^=+ .*(passed|failed|error).* in [0-9.]+s' "$log" | tail -n 1 | sed -E 's/^=+ //; s/ =+$//')
  ok=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
  bad=0
  for n in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$line" | grep -oE '[0-9]+'); do bad=$((bad + n)); done
  if [ -n "$line" ]; then
    passed=$((passed + ok)); failed=$((failed + bad))
    summary+=("python: pytest: $line")
  else
    status=1; summary+=("python: no pytest summary")
  fi
}

# Sets args, the CMake options of configuration $1 (windows: after its
# setup).  1: the setup failed, 2: no such configuration.
config_args() {
  case "$1" in
    default)  args=(-DCMAKE_BUILD_TYPE=Release -DIMG3D_WERROR=ON) ;;
    sanitize) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMG3D_WERROR=ON -DIMG3D_BUILD_BENCH=OFF
                    "-DCMAKE_C_FLAGS=$san" "-DCMAKE_CXX_FLAGS=$san"
                    "-DCMAKE_EXE_LINKER_FLAGS=$san" "-DCMAKE_SHARED_LINKER_FLAGS=$san") ;;
    m32)      args=(-DCMAKE_BUILD_TYPE=Release -DIMG3D_WERROR=ON -DIMG3D_BUILD_BENCH=OFF
                    -DIMG3D_GTEST_FROM_SOURCE=ON
                    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-m32.cmake") ;;
    windows)  windows_setup || return 1
              args=(-DCMAKE_BUILD_TYPE=Release -DIMG3D_WERROR=ON -DIMG3D_BUILD_BENCH=OFF
                    -DIMG3D_GTEST_FROM_SOURCE=ON -DIMG3D_WINE=$wine
                    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw32.cmake") ;;
    fuzz)     fz="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
              args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DIMG3D_WERROR=ON -DIMG3D_BUILD_BENCH=OFF
                    -DIMG3D_BUILD_EXAMPLES=OFF -DIMG3D_BUILD_TOOLS=OFF -DIMG3D_BUILD_FUZZ=ON
                    -DIMG3D_FUZZ_SECONDS="${IMG3D_FUZZ_SECONDS:-20}"
                    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                    "-DCMAKE_C_FLAGS=$fz" "-DCMAKE_CXX_FLAGS=$fz"
                    "-DCMAKE_EXE_LINKER_FLAGS=$fz" "-DCMAKE_SHARED_LINKER_FLAGS=$fz") ;;
    *) return 2 ;;
  esac
}

# Configures and builds configuration $1 in folder $2 with the options in
# args, its output in $2.configure.log and $2.build.log.  1: the configure
# step failed, 2: the build.
build_config() {
  cmake -S "$root" -B "$2" -G Ninja "${args[@]}" >"$2.configure.log" 2>&1 || return 1
  cmake --build "$2" >"$2.build.log" 2>&1 || return 2
}

# The windows cross build compiles while the default build's tests run, so
# the two cores stay busy; the loop waits for it when its turn comes.
windows_pid=""
later_windows() {
  local c seen=0
  for c in "${configs[@]}"; do
    [ "$c" = default ] && seen=1
    [ "$c" = windows ] && [ $seen -eq 1 ] && return 0
  done
  return 1
}

mkdir -p "$root/build"
for config in "${configs[@]}"; do
  if [ "$config" = valgrind ]; then echo "==== valgrind"; run_valgrind; continue; fi
  if [ "$config" = python ]; then echo "==== python: install into a fresh venv"; run_python; continue; fi
  dir="$root/build/test-$config"
  if [ "$config" = windows ] && [ -n "$windows_pid" ]; then
    echo "==== $config: configure and build (started beside default's tests)"
    wait "$windows_pid"; built=$?; windows_pid=""
  else
    config_args "$config"
    case $? in
      1) status=1; summary+=("$config: setup failed"); continue ;;
      2) echo "unknown configuration: $config" >&2; exit 2 ;;
    esac
    echo "==== $config: configure and build"
    build_config "$config" "$dir"; built=$?
  fi
  case $built in
    1) cat "$dir.configure.log"; status=1; summary+=("$config: configure failed"); continue ;;
    2) tail -n 60 "$dir.build.log"; status=1; summary+=("$config: build failed"); continue ;;
  esac
  if [ "$config" = default ] && later_windows && config_args windows; then
    build_config windows "$root/build/test-windows" &
    windows_pid=$!
  fi
  echo "==== $config: test"
  log="$dir/ctest.log"
  timeout=900
  if [ "$config" = windows ] && [ "$wine" = ON ]; then
    wine_start "$dir"; timeout=300
  fi
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j 2 --timeout $timeout 2>&1 | tee "$log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed'
  [ "${PIPESTATUS[0]}" -ne 0 ] && status=1
  if [ "$config" = windows ] && [ "$wine" = ON ]; then
    wine_stop
  fi
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  if [ -n "$line" ]; then
    passed=$((passed + total - bad)); failed=$((failed + bad))
    summary+=("$config: $line")
    if [ "$config" = windows ] && [ "$wine" = OFF ]; then
      summary+=("$config: test programs built, not run: no 32-bit x86 execution on this kernel, which wine32 needs")
    fi
  else
    status=1; summary+=("$config: no test summary")
  fi
done

echo "==== summary"
printf '%s\n' "${summary[@]}"
echo "total: $passed passed, $failed failed"
exit $status
