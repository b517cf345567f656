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
jobs=${TVLIB_JOBS:-2}
toolchain=$root/cmake/mingw-w64-x86_64.cmake
seeds=$root/scripts/windows_lane
# The lane's CMake and Ninja, those of the Qt 6 lane when it is set up.
venv=$root/.venv-qt6/bin
if [ -x "$venv/cmake" ]; then cmake=$venv/cmake ninja=$venv/ninja
else cmake=$(command -v cmake) ninja=$(command -v ninja); fi

# --- the Windows libraries, from Debian's source packages --------------------

# The pinned versions are Debian 12's; its sources come from an entry of the
# lane's own, added once (apt-get update then runs once; scripts/setup.sh adds
# it with the others).
source_entry=/etc/apt/sources.list.d/tvlib-windows-lane-src.sources
ensure_source_entry() {
  [ -f "$source_entry" ] && return 0
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
    "Suites: bookworm bookworm-updates" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
    $sudo tee "$source_entry" >/dev/null
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
}

# debian_version PACKAGE: the version of Debian 12's source package.
debian_version() {
  (cd /tmp && apt-get source --print-uris --only-source "$1/bookworm" 2>/dev/null) |
    sed -n "s/^'[^']*' $1_\(.*\)\.dsc .*/\1/p"
}

# fetch PACKAGE UPSTREAM_VERSION: the unpacked source (patched as Debian
# ships it) under $cache/src, one folder per Debian version; stops when
# Debian's version is not the pinned one.
fetch() {
  local package=$1 version=$2 debian
  debian=$(debian_version "$package")
  [ -n "$debian" ] || { echo "windows lane: Debian 12 has no $package source" >&2; return 1; }
  case $debian in
    "$version"*) ;;
    *) echo "windows lane: Debian 12's $package is $debian, not $version" >&2; return 1 ;;
  esac
  local where=$cache/src/${package}_$debian
  if [ ! -f "$where/unpacked" ]; then
    rm -rf "$where" && mkdir -p "$where"
    (cd "$where" && apt-get source -qq --only-source "$package=$debian" >fetch.log 2>&1) ||
      { tail -5 "$where/fetch.log" >&2; return 1; }
    touch "$where/unpacked"
  fi
  find "$where" -mindepth 1 -maxdepth 1 -type d -name "$package-$version*" | head -1
}

# What the cross compiler is: the seeds below hold what configure learnt
# about this one, and are used for no other.
compiler_id() {
  echo "$(x86_64-w64-mingw32-gcc-posix -dumpfullversion)" \
    "$(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev 2>/dev/null)"
}
# seed FILE: FILE when it was made for this compiler (its first line says
# which), nothing otherwise: configure then asks the compiler itself.
seed() {
  local file=$seeds/$1
  [ -f "$file" ] && [ "$(head -1 "$file")" = "# $(compiler_id)" ] && echo "$file"
  return 0
}

# The libraries serve tests only, so they are built at -O1: half the CPU of
# their own -O2 and -O3, and not a figure of ours depends on their speed.
library_flags=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O1 -DNDEBUG"
               -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG")

windows_cmake() {  # windows_cmake SOURCE BUILD ARGS...: configure, build, install
  local source=$1 build=$2; shift 2
  rm -rf "$build"
  "$cmake" -S "$source" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${library_flags[@]}" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$build.log" 2>&1 &&
    "$cmake" --build "$build" -j "$jobs" >>"$build.log" 2>&1 &&
    "$cmake" --install "$build" >>"$build.log" 2>&1 ||
    { tail -30 "$build.log" >&2; return 1; }
}

# libcurl with Schannel and HTTP alone: no other protocol, no compression, IDN,
# HTTP/2, cookies, MIME, netrc, alt-svc, HSTS or DoH; the checks of what
# the cross compiler offers come from a seed (scripts/windows_lane/), so that
# configuring does not run a few hundred test programs.
curl_options=(-DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON
  -DENABLE_UNICODE=ON -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_LIBIDN2=OFF
  -DUSE_NGHTTP2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DBUILD_CURL_EXE=OFF
  -DBUILD_TESTING=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_MANUAL=OFF -DPICKY_COMPILER=OFF
  -DCURL_DISABLE_COOKIES=ON -DCURL_DISABLE_MIME=ON -DCURL_DISABLE_NETRC=ON
  -DCURL_DISABLE_ALTSVC=ON -DCURL_DISABLE_HSTS=ON -DCURL_DISABLE_DOH=ON)
build_curl() {
  local source checks
  source=$(fetch curl 7.88.1)
  checks=$(seed curl-checks.cmake)
  windows_cmake "$source" "$cache/build/curl" ${checks:+-C "$checks"} "${curl_options[@]}"
}

# libsodium, its configure answered from a seed of the same kind (an autoconf
# cache file); configure writes what it learns anew into a copy.
build_sodium() {
  local source checks
  source=$(fetch libsodium 1.0.18)
  checks=$(seed libsodium-config.cache)
  rm -f "$cache/build/sodium-config.cache"
  [ -z "$checks" ] || cp "$checks" "$cache/build/sodium-config.cache"
  (cd "$source" && { [ -x configure ] || ./autogen.sh -s; } &&
    { [ ! -f Makefile ] || make -s distclean; } &&
    ./configure -q --host=x86_64-w64-mingw32 --disable-shared --enable-static \
      --prefix="$prefix" --cache-file="$cache/build/sodium-config.cache" CFLAGS=-O1 &&
    make -s -j"$jobs" && make -s install) \
    >"$cache/build/sodium.log" 2>&1 || { tail -30 "$cache/build/sodium.log" >&2; return 1; }
}

# OpenSSL serves the test binary's own TLS servers: the TLS and X.509 they use,
# none of the ciphers, protocols and formats besides.
openssl_options=(no-shared no-tests no-module no-legacy no-engine
  no-aria no-bf no-blake2 no-camellia no-cast no-cms no-comp no-ct no-des no-dsa
  no-dtls no-ec2m no-gost no-idea no-md4 no-mdc2 no-ocb no-rc2 no-rc4 no-rc5 no-rmd160
  no-scrypt no-seed no-siphash no-sm2 no-sm3 no-sm4 no-srp no-srtp no-ts no-whirlpool
  no-cmp no-ssl3 no-weak-ssl-ciphers)
build_openssl() {
  local source
  source=$(fetch openssl 3.0)
  (cd "$source" && { [ ! -f Makefile ] || make -s distclean; } &&
    ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
      "${openssl_options[@]}" --prefix="$prefix" --libdir=lib -O1 &&
    make -s -j"$jobs" build_libs && make -s install_dev) \
    >"$cache/build/openssl.log" 2>&1 || { tail -30 "$cache/build/openssl.log" >&2; return 1; }
}

build_googletest() {
  local source
  source=$(fetch googletest 1.12.1)
  windows_cmake "$source" "$cache/build/googletest" -DBUILD_GMOCK=OFF -Dgtest_force_shared_crt=ON
}

# make_seeds: the seeds from what the last configure runs learnt (after
# build_libraries with the old seeds moved away; see docs/windows-build.md).
# CMake keeps each check's answer as an internal cache entry; the entries that
# name paths or CMake's own state are left out.
make_seeds() {
  mkdir -p "$seeds"
  {
    echo "# $(compiler_id)"
    echo "# What libcurl's CMake learnt about the cross compiler above (scripts/windows_lane.sh make_seeds)."
    grep -E '^[A-Za-z][A-Za-z0-9_]*:INTERNAL=' "$cache/build/curl/CMakeCache.txt" |
      grep -vE '^(CMAKE_|FIND_PACKAGE_)|-(ADVANCED|STRINGS|MODIFIED):|/' |
      sed -E 's/^([^:]*):INTERNAL=(.*)$/set(\1 "\2" CACHE INTERNAL "")/'
  } >"$seeds/curl-checks.cmake"
  {
    echo "# $(compiler_id)"
    echo "# What libsodium's configure learnt about the cross compiler above (scripts/windows_lane.sh make_seeds)."
    grep -vE '^(ac_cv_env_|ac_cv_path_|ac_cv_prog_AWK=)' "$cache/build/sodium-config.cache"
  } >"$seeds/libsodium-config.cache"
}

# The libraries are kept in a folder named for what made them: the recipes
# above, the seeds, the toolchain, the cross compiler and Debian's versions of
# the sources. Any change builds them anew; the folder of another recipe is
# removed then.
libraries_id() {
  local package
  {
    declare -f windows_cmake build_curl build_sodium build_openssl build_googletest
    declare -p library_flags curl_options openssl_options
    local file
    for file in "$toolchain" "$seeds"/*; do [ ! -f "$file" ] || cat "$file"; done
    compiler_id
    for package in curl libsodium openssl googletest; do debian_version "$package"; done
  } | sha256sum | cut -c1-16
}

# The libraries' folder, and the Debian 12 sources entry it takes.
find_libraries() {
  ensure_source_entry
  prefix=$cache/libraries-$(libraries_id)
  export TVLIB_WINDOWS_PREFIX=$prefix
}

build_libraries() {
  local start=$SECONDS
  if [ ! -f "$prefix/complete" ]; then
    mkdir -p "$cache/build"
    find "$cache" -maxdepth 1 -name 'libraries-*' -exec rm -rf {} +
    rm -rf "$cache/prefix"  # the unnamed folder of earlier runs
    mkdir -p "$prefix"
    build_curl
    build_sodium
    build_openssl
    build_googletest
    touch "$prefix/complete"
  fi
  echo "windows lane: libraries ready in $((SECONDS - start)) s ($prefix)"
}

# --- the core and its tests, run under Wine -----------------------------------

build=$root/build/windows
# CPython's headers want MS_WIN64 for a 64-bit build; the core's build takes it
# too, so that the modules' build finds the core's objects in the compiler cache.
windows_cxx_flags=-DMS_WIN64
# Release at -O1: the suite's speed under Wine does not matter, and -O3 costs
# twice the compile time (the native builds keep -O3, and its warnings).
windows_release_flags="-O1 -DNDEBUG"

build_core_tests() {
  # The project's own CMake, as a Windows build runs it; only the compiler and
  # the libraries' location differ. The test list is not taken from the
  # binary at build time: it cannot run here without Wine.
  PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH='' \
    "$cmake" -S "$root" -B "$build/core" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DTVLIB_BUILD_MODULES=OFF -DTVLIB_BUILD_TESTS=ON \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST -DCMAKE_CXX_FLAGS="$windows_cxx_flags" \
    -DCMAKE_CXX_FLAGS_RELEASE="$windows_release_flags" \
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

export WINEPREFIX=$cache/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wine_prefix() {  # made once, the first time in tens of seconds
  local wine
  wine=$(wine_launcher)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1 || true
    "$(dirname "$wine")/wineserver" -w 2>/dev/null || true
  fi
}

run_core_tests() {
  local wine
  wine=$(wine_launcher)
  wine_prefix
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
    -DCMAKE_CXX_FLAGS="$windows_cxx_flags" -DCMAKE_CXX_FLAGS_RELEASE="$windows_release_flags" \
    -Dpybind11_DIR="$pybind11_dir" \
    -DCMAKE_MODULE_LINKER_FLAGS="-static-libgcc -static-libstdc++ -L$python_lib" \
    >"$build/modules.log" 2>&1 &&
    "$cmake" --build "$build/modules" -j "$jobs" >>"$build/modules.log" 2>&1 ||
    { tail -40 "$build/modules.log" >&2; return 1; }
  echo "windows lane: binding layer built and linked:" \
    "$(cd "$build/modules" && find . -name '*.pyd' -printf '%f ')"
}

main() {
  local start=$SECONDS
  find_libraries
  # The builds' caches name the libraries' folder: another folder, new builds.
  [ "$(cat "$build/libraries" 2>/dev/null)" = "$prefix" ] || rm -rf "$build"
  mkdir -p "$build" && echo "$prefix" >"$build/libraries"
  # Wine makes its prefix while the libraries build.
  wine_prefix & local wine_job=$!
  build_libraries
  build_core_tests
  echo "windows lane: core and tests built, $((SECONDS - start)) s"
  # The modules build while the suite runs under Wine, which waits on its
  # sockets much of the time.
  build_binding >"$build/binding.out" 2>&1 & local binding_job=$!
  local status=0
  wait "$wine_job"
  run_core_tests || status=1
  echo "windows lane: suite ran under Wine, $((SECONDS - start)) s"
  wait "$binding_job" || status=1
  cat "$build/binding.out"
  echo "windows lane: done, $((SECONDS - start)) s"
  return $status
}

if [ "${1:-}" = "--call" ]; then  # --call FUNCTION ARGS...: one piece, for debugging
  shift
  find_libraries
  "$@"
else
  main
fi
