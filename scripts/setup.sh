#!/usr/bin/env bash
# Prepares a fresh Debian machine for building and testing tvlib. Idempotent:
# a second run only rebuilds what changed.
#
#   scripts/setup.sh            both lanes
#   scripts/setup.sh qt6|qt5    one lane
#
# Qt 6 lane: .venv-qt6 on the default python3, PySide6 from PyPI.
# Qt 5 lane: .venv-qt5 on /usr/bin/python3 with the system site packages, so
#            that Debian's PySide2 is seen.
set -euo pipefail
cd "$(dirname "$0")/.."
lanes=${1:-all}

apt_packages=(
  g++ ccache libcurl4-openssl-dev libssl-dev libgtest-dev googletest libsodium-dev
  clang-format clang-tidy
  clang-14 libclang-rt-14-dev  # libFuzzer and the sanitizer runtimes (scripts/fuzz.sh)
  # the Windows lane (scripts/windows_lane.sh): cross compilers, Wine, and what
  # building its libraries from Debian's sources takes
  mingw-w64 wine64 dpkg-dev autoconf automake libtool
  python3-venv python3-dev python3-pip
  python3-pyside2.qtcore python3-pyside2.qtgui python3-pyside2.qtwidgets
  python3-pyside2.qttest
  # what Qt needs to run headless, offscreen or on a virtual screen
  libgl1 libegl1 libxkbcommon0 libxkbcommon-x11-0 libfontconfig1 libdbus-1-3
  libglib2.0-0 libxcb-cursor0 xvfb xauth
)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# One compiler cache for the several builds of the same sources (the lanes,
# the C++ tests, the keyed build of the tests): a file compiles once per set
# of flags, whatever the build folder.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$PWD/build/ccache" \
  CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

dev_requirements=(pytest pytest-timeout trustme cryptography requests ruff
                  scikit-build-core pybind11 cmake ninja)

make_lane() {
  local lane=$1 python=$2 venv_flags=$3 extra=$4
  local venv=.venv-$lane
  if [ ! -x "$venv/bin/python" ]; then
    echo "setup: creating $venv"
    # shellcheck disable=SC2086
    "$python" -m venv $venv_flags "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
  fi
  # shellcheck disable=SC2086
  "$venv/bin/python" -m pip install -q "${dev_requirements[@]}" $extra
  echo "setup: building tvlib for $lane"
  "$venv/bin/python" -m pip install -q --no-build-isolation \
    -Cbuild-dir="build/$lane" .
}

case $lanes in
  all|qt6) make_lane qt6 python3 "" "PySide6-Essentials==6.10.* pytest-qt" ;;&
  # pytest-qt 4.5 dropped PySide2.
  all|qt5) make_lane qt5 /usr/bin/python3 "--system-site-packages" "pytest-qt<4.5" ;;
  qt6) ;;
  *) echo "usage: $0 [qt6|qt5]" >&2; exit 2 ;;
esac
