#!/usr/bin/env bash
# Prepares a fresh Debian machine for building and testing tvlib. Idempotent:
# a second run only rebuilds what changed.
#
#   scripts/setup.sh            every lane
#   scripts/setup.sh LANE...    the lanes named
#
# qt6:    .venv-qt6 on the default python3, PySide6 6.10 from PyPI.
# qt5:    .venv-qt5 on /usr/bin/python3 with the system site packages, so
#         that Debian's PySide2 is seen.
# qt6.5, qt6.8, qt6.12: as qt6, with PySide6 6.5.3, 6.8 and 6.12.0.
# py3.13: .venv-py3.13 on CPython 3.13, built once from Debian's source
#         package into ${TVLIB_CACHE:-~/.cache/tvlib}, with PySide6 6.10.
set -euo pipefail
cd "$(dirname "$0")/.."
lanes=${1:-all}

# Debian's packages by what needs them, so that the demo's one lane does not
# wait for the test toolchain.
build_packages=(  # building tvlib and running it in a Qt lane
  g++ ccache pkg-config libcurl4-openssl-dev libssl-dev libsodium-dev
  # what Qt needs to run headless, offscreen or on a virtual screen
  libgl1 libegl1 libxkbcommon0 libxkbcommon-x11-0 libfontconfig1 libdbus-1-3
  libglib2.0-0 libxcb-cursor0
)
# The Qt 5 lane runs on Debian's own interpreter, beside Debian's PySide2.
qt5_packages=(python3-venv python3-dev python3-pip python3-pyside2.qtcore python3-pyside2.qtgui python3-pyside2.qtwidgets
              python3-pyside2.qttest)
test_packages=(  # scripts/test.sh's tools, servers and the Windows lane
  libgtest-dev googletest clang-format clang-tidy xvfb xauth
  clang-14 libclang-rt-14-dev  # libFuzzer and the sanitizer runtimes (scripts/fuzz.sh)
  nginx-light  # the benchmark tooling's case (bench/tests)
  squid-openssl  # the real proxies of the proxy tests, TLS inspection included
  # the Windows lane (scripts/windows_lane.sh): cross compilers, Wine, and what
  # building its libraries from Debian's sources takes
  mingw-w64 wine64 dpkg-dev autoconf automake libtool
)
apt_packages=("${build_packages[@]}")
case " $* " in *" qt5 "*) apt_packages+=("${qt5_packages[@]}") ;; esac
if [ "$lanes" = all ]; then apt_packages+=("${qt5_packages[@]}" "${test_packages[@]}"); fi
missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  # The servers come as tools for the tests, which start their own: none is
  # left running or started at boot by the install.
  printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
  $sudo chmod +x /usr/sbin/policy-rc.d
  # One lane (the demo) takes what it names and no more; the test command's
  # toolchain (Wine above all) is taken as Debian recommends it.
  recommends=(); [ "$lanes" = all ] || recommends=(--no-install-recommends)
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 \
    install -y -qq "${recommends[@]}" "${missing[@]}" >/dev/null
  $sudo rm -f /usr/sbin/policy-rc.d
fi

# One compiler cache for the several builds of the same sources (the lanes,
# the C++ tests, the keyed build of the tests): a file compiles once per set
# of flags, whatever the build folder. It lives beside the other caches,
# outside the checkout, so that a fresh clone on the same machine starts warm;
# paths are taken relative to the checkout, so any clone's hits count.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  CMAKE_CXX_COMPILER_LAUNCHER=ccache \
  CCACHE_DIR="${TVLIB_CACHE:-$HOME/.cache/tvlib}/ccache" \
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
  if [ "$python" = python3 ] && [ "$lane" != qt6 ]; then
    # Same interpreter as the qt6 lane, so the same modules: its build, as a
    # wheel, spares a compile per PySide6 release.
    [ -x .venv-qt6/bin/python ] || lane_qt6
    echo "setup: installing the qt6 lane's build of tvlib into $lane"
    rm -rf build/wheels/qt6
    .venv-qt6/bin/python -m pip wheel -q --no-deps --no-build-isolation \
      -Cbuild-dir=build/qt6 -w build/wheels/qt6 .
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps build/wheels/qt6/tvlib-*.whl
    return
  fi
  echo "setup: building tvlib for $lane"
  "$venv/bin/python" -m pip install -q --no-build-isolation \
    -Cbuild-dir="build/$lane" .
}

# CPython from Debian's source package, built once into a cache outside the
# repository (a venv points into it, so it must outlive a fresh clone) and
# reused by later runs. The upstream tarball is built as it is: Debian's
# patches assume Debian's own file layout.
cache=${TVLIB_CACHE:-$HOME/.cache/tvlib}
build_cpython() {  # build_cpython VERSION SUITE: prints the interpreter's path
  local version=$1 suite=$2
  local prefix=$cache/python$version
  if [ ! -x "$prefix/bin/python$version" ]; then
    local sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
    local list=/etc/apt/sources.list.d/tvlib-$suite-src.sources
    if [ ! -f "$list" ]; then
      printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
        "Suites: $suite" "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
        $sudo tee "$list" >/dev/null
      $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq >&2
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 \
      install -y -qq dpkg-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
      libsqlite3-dev libreadline-dev >/dev/null
    local work=$cache/src-python$version
    rm -rf "$work" && mkdir -p "$work"
    echo "setup: building CPython $version from Debian's $suite source" >&2
    # Chained: `set -e` does not hold inside a subshell whose failure is tested.
    (
      cd "$work" &&
        apt-get source --download-only -qq "python$version" >&2 &&
        tar xf python"$version"_*.orig.tar.xz &&
        cd Python-"$version".*/ &&
        ./configure -q --prefix="$prefix" --enable-shared \
          LDFLAGS="-Wl,-rpath,$prefix/lib" >&2 &&
        make -s -j2 >&2 &&
        make -s install >/dev/null
    ) || { echo "setup: CPython $version build failed (in $work)" >&2; return 1; }
    rm -rf "$work"
  fi
  echo "$prefix/bin/python$version"
}

# A lane per generation of host: the Qt for Python release a host carries,
# or the interpreter it embeds. The test command runs each in its own venv.
qt6_default="PySide6-Essentials==6.10.* pytest-qt"
lane_qt6() { make_lane qt6 python3 "" "$qt6_default"; }
# pytest-qt 4.5 dropped PySide2.
lane_qt5() { make_lane qt5 /usr/bin/python3 "--system-site-packages" "pytest-qt<4.5"; }
# The oldest release supported (see the README), the LTS line between, and the
# newest on PyPI, pinned so that a new release is a deliberate change.
lane_qt6_5() { make_lane qt6.5 python3 "" "PySide6-Essentials==6.5.3 pytest-qt"; }
lane_qt6_8() { make_lane qt6.8 python3 "" "PySide6-Essentials==6.8.* pytest-qt"; }
lane_qt6_12() { make_lane qt6.12 python3 "" "PySide6-Essentials==6.12.0 pytest-qt"; }
lane_py3_13() {
  local python
  python=$(build_cpython 3.13 trixie)
  make_lane py3.13 "$python" "" "$qt6_default"
}

all_lanes=(qt6 qt5 qt6.5 qt6.8 qt6.12 py3.13)
[ "$lanes" = all ] && set -- "${all_lanes[@]}"
for lane in "$@"; do
  case $lane in
    qt6 | qt5 | qt6.5 | qt6.8 | qt6.12 | py3.13) "lane_${lane//./_}" ;;
    *) echo "usage: $0 [all | LANE...], LANE one of: ${all_lanes[*]}" >&2; exit 2 ;;
  esac
done
