#!/usr/bin/env bash
# The Windows lane: the C++ core and its GoogleTest suite built for 64-bit
# Windows with mingw-w64 and the project's own CMake, run under Wine; the
# binding layer compiled against CPython's Windows headers and linked against
# an import library of the symbols it uses.
#
#   scripts/windows_lane.sh [RESULTS_DIR]
#
# The Windows libraries (libcurl with Schannel, libsodium, OpenSSL for the test
# server only, GoogleTest) are built once from Debian's source packages into
# ${TVLIB_CACHE:-$HOME/.cache/tvlib}/windows and reused from there (a deb-src
# entry for Debian 12 is added when missing). Needs Debian's wine64 and
# mingw-w64, which scripts/setup.sh installs. Writes RESULTS_DIR/windows-cpp.xml
# (the suite's report).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
results=build/test-results
[ "${1:-}" = "--call" ] || results=${1:-$results}
mkdir -p "$results"
results=$(cd "$results" && pwd)

cache=${TVLIB_CACHE:-$HOME/.cache/tvlib}/windows
prefix=$cache/prefix
jobs=${TVLIB_JOBS:-2}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
export TVLIB_WINDOWS_PREFIX=$prefix
# The lane's CMake and Ninja, those of the Qt 6 lane when it is set up.
venv=$root/.venv-qt6/bin
if [ -x "$venv/cmake" ]; then cmake=$venv/cmake ninja=$venv/ninja
else cmake=$(command -v cmake) ninja=$(command -v ninja); fi

# --- the Windows libraries, from Debian's source packages --------------------

# The pinned versions are Debian 12's; its sources come from an entry of the
# lane's own, added once (apt-get update then runs once).
source_entry=/etc/apt/sources.list.d/tvlib-windows-lane-src.sources
ensure_source_entry() {
  [ -f "$source_entry" ] && return 0
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
    "Suites: bookworm bookworm-updates" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
    $sudo tee "$source_entry" >/dev/null
  $sudo apt-get update -qq
}

# fetch PACKAGE UPSTREAM_VERSION: the unpacked source (patched as Debian
# ships it) under $cache/src; stops when Debian's version is not the pinned one.
fetch() {
  local package=$1 version=$2
  local folder
  folder=$(find "$cache/src" -maxdepth 1 -type d -name "$package-$version*" 2>/dev/null | head -1)
  if [ -z "$folder" ]; then
    mkdir -p "$cache/src" "$cache/build"
    ensure_source_entry
    # Debian 12's, whatever other releases the machine's deb-src entries offer.
    (cd "$cache/src" && apt-get source -qq --only-source "$package/bookworm" \
      >"$cache/build/fetch-$package.log" 2>&1) ||
      { tail -5 "$cache/build/fetch-$package.log" >&2; return 1; }
    folder=$(find "$cache/src" -maxdepth 1 -type d -name "$package-$version*" | head -1)
    [ -n "$folder" ] || { echo "windows lane: Debian 12's $package is not $version" >&2; return 1; }
  fi
  echo "$folder"
}

windows_cmake() {  # windows_cmake SOURCE BUILD ARGS...: configure, build, install
  local source=$1 build=$2; shift 2
  "$cmake" -S "$source" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$build.log" 2>&1 &&
    "$cmake" --build "$build" -j "$jobs" >>"$build.log" 2>&1 &&
    "$cmake" --install "$build" >>"$build.log" 2>&1 ||
    { tail -30 "$build.log" >&2; return 1; }
}

build_curl() {
  local source
  source=$(fetch curl 7.88.1)
  # Schannel and nothing else: HTTP only, no compression or IDN libraries.
  windows_cmake "$source" "$cache/build/curl" -DCURL_USE_SCHANNEL=ON \
    -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON -DENABLE_UNICODE=ON -DCURL_ZLIB=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DBUILD_CURL_EXE=OFF \
    -DBUILD_TESTING=OFF -DCURL_DISABLE_LDAP=ON
}

build_sodium() {
  local source
  source=$(fetch libsodium 1.0.18)
  (cd "$source" && { [ -x configure ] || ./autogen.sh -s; } &&
    ./configure -q --host=x86_64-w64-mingw32 --disable-shared --enable-static \
      --prefix="$prefix" && make -s -j"$jobs" && make -s install) \
    >"$cache/build/sodium.log" 2>&1 || { tail -30 "$cache/build/sodium.log" >&2; return 1; }
}

build_openssl() {
  local source
  source=$(fetch openssl 3.0)
  (cd "$source" && ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
      no-shared no-tests no-module no-legacy --prefix="$prefix" --libdir=lib &&
    make -s -j"$jobs" build_libs && make -s install_dev) \
    >"$cache/build/openssl.log" 2>&1 || { tail -30 "$cache/build/openssl.log" >&2; return 1; }
}

build_googletest() {
  local source
  source=$(fetch googletest 1.12.1)
  windows_cmake "$source" "$cache/build/googletest" -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON
}

build_libraries() {
  mkdir -p "$cache/build" "$prefix"
  local start=$SECONDS
  [ -f "$prefix/lib/libcurl.a" ] || build_curl
  [ -f "$prefix/lib/libsodium.a" ] || build_sodium
  [ -f "$prefix/lib/libssl.a" ] || build_openssl
  [ -f "$prefix/lib/libgtest.a" ] || build_googletest
  echo "windows lane: libraries ready in $((SECONDS - start)) s ($prefix)"
}

# --- the core and its tests, run under Wine -----------------------------------

build=$root/build/windows

build_core_tests() {
  # The project's own CMake, as a Windows build runs it; only the compiler and
  # the libraries' location differ. The test list is not taken from the
  # binary at build time: it cannot run here without Wine.
  PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH='' \
    "$cmake" -S "$root" -B "$build/core" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DTVLIB_BUILD_MODULES=OFF -DTVLIB_BUILD_TESTS=ON \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=TRUE >"$build/core.log" 2>&1 &&
    "$cmake" --build "$build/core" -j "$jobs" >>"$build/core.log" 2>&1 ||
    { tail -40 "$build/core.log" >&2; return 1; }
}

# Wine 8 from Debian, headless, in a prefix of the lane's own.
wine_launcher() {
  local launcher
  launcher=$(dpkg -L wine64 2>/dev/null | grep -E '/wine64$' | head -1)
  [ -x "$launcher" ] || { echo "windows lane: Debian's wine64 is not installed" >&2; return 1; }
  echo "$launcher"
}

run_core_tests() {
  local wine
  wine=$(wine_launcher)
  export WINEPREFIX=$cache/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1 || true
    "$(dirname "$wine")/wineserver" -w 2>/dev/null || true
  fi
  rm -f "$results/windows-cpp.xml"
  # One process for the suite: a Wine start costs seconds. The time limit
  # stands in for ctest's per-case one.
  timeout 900 "$wine" "$build/core/tests/cpp/tvlib_core_tests.exe" \
    --gtest_output="xml:$(winepath_of "$results/windows-cpp.xml")" \
    ${TVLIB_GTEST_FILTER:+--gtest_filter="$TVLIB_GTEST_FILTER"}
}

# Wine maps the Linux root to drive Z:.
winepath_of() { echo "Z:$1"; }

# --- the binding layer, against CPython's Windows headers --------------------

# python311.dll's import library, from every function and variable the
# headers declare for export (PyAPI_FUNC, PyAPI_DATA): a module that uses
# anything else fails to link here as it would against the real one.
python_import_library() {
  local headers=$1 out=$2
  mkdir -p "$out"
  python3 - "$headers" "$out/python311.def" <<'PY'
import re, sys
from pathlib import Path
names = set()
for header in Path(sys.argv[1]).rglob("*.h"):
    text = header.read_text(errors="replace")
    for match in re.finditer(r"PyAPI_FUNC\((?:[^()]|\([^()]*\))*\)\s*(\w+)\s*\(", text):
        names.add((match.group(1), ""))
    for match in re.finditer(r"PyAPI_DATA\((?:[^()]|\([^()]*\))*\)\s*\(?\s*\*?\s*(\w+)", text):
        names.add((match.group(1), " DATA"))
lines = ["LIBRARY python311.dll", "EXPORTS"]
lines += [f"  {name}{kind}" for name, kind in sorted(names)]
Path(sys.argv[2]).write_text("\n".join(lines) + "\n")
PY
  x86_64-w64-mingw32-dlltool -d "$out/python311.def" -D python311.dll \
    -l "$out/libpython311.dll.a"
}

build_binding() {
  local source
  source=$(fetch python3.11 3.11.2)
  local python_lib=$cache/python311
  # A Windows install's include folder: the headers with PC's pyconfig.h.
  if [ ! -f "$python_lib/include/pyconfig.h" ]; then
    mkdir -p "$python_lib"
    cp -r "$source/Include" "$python_lib/include"
    cp "$source/PC/pyconfig.h" "$python_lib/include/"
  fi
  [ -f "$python_lib/libpython311.dll.a" ] || python_import_library "$python_lib/include" "$python_lib"
  # FindPython adds the build machine's interpreter's link libraries (-ldl);
  # Windows has no libdl, so an empty one stands in for the name.
  [ -f "$python_lib/libdl.a" ] || x86_64-w64-mingw32-ar rc "$python_lib/libdl.a"
  local pybind11_dir
  pybind11_dir=$("$root/.venv-qt6/bin/python" -m pybind11 --cmakedir)
  # FindPython asks the build machine's 3.11 for what it cannot see in the
  # headers; the module suffix is Windows' own.
  PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH='' \
    "$cmake" -S "$root" -B "$build/modules" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DTVLIB_BUILD_MODULES=ON -DTVLIB_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE=/usr/bin/python3.11 -DPython_INCLUDE_DIR="$python_lib/include" \
    -DPython_LIBRARY="$python_lib/libpython311.dll.a" \
    -DPython_SOABI=cp311-win_amd64 -DPYTHON_MODULE_EXTENSION=.cp311-win_amd64.pyd \
    -DCMAKE_CXX_FLAGS="-DMS_WIN64" -Dpybind11_DIR="$pybind11_dir" \
    -DCMAKE_MODULE_LINKER_FLAGS="-static-libgcc -static-libstdc++ -L$python_lib" \
    >"$build/modules.log" 2>&1 &&
    "$cmake" --build "$build/modules" -j "$jobs" >>"$build/modules.log" 2>&1 ||
    { tail -40 "$build/modules.log" >&2; return 1; }
  echo "windows lane: binding layer built and linked:" \
    "$(cd "$build/modules" && find . -name '*.pyd' -printf '%f ')"
}

main() {
  local start=$SECONDS
  mkdir -p "$build"
  build_libraries
  build_core_tests
  echo "windows lane: core and tests built, $((SECONDS - start)) s"
  local status=0
  run_core_tests || status=1
  echo "windows lane: suite ran under Wine, $((SECONDS - start)) s"
  build_binding || status=1
  echo "windows lane: done, $((SECONDS - start)) s"
  return $status
}

if [ "${1:-}" = "--call" ]; then  # --call FUNCTION ARGS...: one piece, for debugging
  shift
  "$@"
else
  main
fi
