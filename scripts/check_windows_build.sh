#!/usr/bin/env bash
# Compiles the C++ core for Windows with mingw-w64, to object files only, so
# that a POSIX-only call or a narrow path conversion fails here and not on a
# release engineer's machine. No Windows libcurl or libsodium is needed: their
# headers are the same for every platform, so the host's copies are used.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=${TVLIB_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
out=build/windows-check
headers=$out/include
mkdir -p "$headers"
# Only the two libraries' folders: the rest of /usr/include is Linux's libc.
curl_headers=$(dirname "$(find /usr/include -name curl.h -path '*/curl/*' | head -1)")
rm -rf "$headers/curl" "$headers/sodium" "$headers/sodium.h"
cp -r "$curl_headers" "$headers/curl"
cp -r /usr/include/sodium /usr/include/sodium.h "$headers/"

# The key list as CMake writes it for a build without keys.
sed -e 's/@tvlib_package_key_count@/0/' -e 's/@tvlib_package_keys@//' \
  src/core/integrity/package_keys.cpp.in >"$out/package_keys.cpp"

flags=(-std=c++20 -Wall -Wextra -Wpedantic -Werror -O1
       -D_WIN32_WINNT=0x0A00 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -DCURL_STATICLIB
       -DTVLIB_MAX_UNANNOUNCED_DOWNLOAD=1073741824ULL  # as CMake sets it by default
       -Isrc -isystem "$headers")
# Every core file but the POSIX halves of the platform pairs.
mapfile -t sources < <(find src/core -name '*.cpp' ! -name '*_posix.cpp' | sort)
sources+=("$out/package_keys.cpp")
printf '%s\n' "${sources[@]}" | xargs -P"$(nproc)" -I{} sh -c \
  'o='"$out"'/$(echo "{}" | tr / _).obj; '"$cxx ${flags[*]}"' -c "{}" -o "$o"'
echo "windows check: ${#sources[@]} core files compiled for Windows"
