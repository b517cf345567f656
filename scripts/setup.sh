#!/usr/bin/env bash
# Prepares a fresh Debian machine for building and testing tvlib. Idempotent:
# a second run only rebuilds what changed.
#
#   scripts/setup.sh [all]      the test command's lanes and tools
#   scripts/setup.sh LANE...    the lanes named; `tests` names the test tools
#   scripts/setup.sh --packages LANE...   only Debian's packages of those
#
# qt6:    .venv-qt6 on the default python3, PySide6 6.10 from PyPI.
# qt5:    .venv-qt5 on /usr/bin/python3 with the system site packages, so
#         that Debian's PySide2 is seen.
# qt6.5, qt6.8, qt6.12: as qt6, with PySide6 6.5.3, 6.8 and 6.12.0.
# py3.13: .venv-py3.13 on CPython 3.13, built from Debian 13's source package
#         into ${TVLIB_CACHE:-~/.cache/tvlib}, with PySide6 6.10.
# py3.14: .venv-py3.14 on Debian sid's own python3.14, inside a sid root
#         (scripts/sid_root.sh) in the same cache, with PySide6 6.10.
set -euo pipefail
cd "$(dirname "$0")/.."
packages_only=0
if [ "${1:-}" = --packages ]; then packages_only=1; shift; fi
all_lanes=(qt6 qt5 qt6.5 qt6.8 qt6.12 py3.13 py3.14)
[ $# -gt 0 ] && [ "$*" != all ] || set -- tests "${all_lanes[@]}"
for lane in "$@"; do
  case $lane in
    tests | qt6 | qt5 | qt6.5 | qt6.8 | qt6.12 | py3.13 | py3.14) ;;
    *) echo "usage: $0 [--packages] [tests | LANE...], LANE one of: ${all_lanes[*]}" >&2; exit 2 ;;
  esac
done
sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo

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
# Building CPython from Debian's source package (py3.13).
cpython_packages=(dpkg-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
                  libreadline-dev)
test_packages=(  # scripts/test.sh's tools, servers and the Windows lane
  libgtest-dev googletest clang-format clang-tidy xvfb xauth
  clang-14 libclang-rt-14-dev  # libFuzzer and the sanitizer runtimes (scripts/fuzz.sh)
  nginx curl  # the benchmark tooling's case (bench/tests)
  squid-openssl  # the real proxies of the proxy tests, TLS inspection included
  # the Windows lane (scripts/windows_lane.sh): cross compilers, Wine, and what
  # building its libraries from Debian's sources takes
  mingw-w64 wine64 dpkg-dev autoconf automake libtool
)
apt_packages=("${build_packages[@]}")
case " $* " in *" qt5 "*) apt_packages+=("${qt5_packages[@]}") ;; esac
case " $* " in *" py3.13 "*) apt_packages+=("${cpython_packages[@]}") ;; esac
# py3.14's own packages go into its sid root (scripts/sid_root.sh).
case " $* " in *" py3.14 "*) apt_packages+=(debootstrap) ;; esac
case " $* " in *" tests "*) apt_packages+=("${test_packages[@]}") ;; esac
# The sources the CPython 3.13 lane and the Windows lane build from: Debian
# 13's and Debian 12's. Added together, so that apt's lists are fetched once.
source_suites=()
case " $* " in *" py3.13 "* | *" tests "*) source_suites=(trixie bookworm) ;; esac

# One deb-src entry per suite, each in a file of its own (the Windows lane's
# Debian 12 sources under the name scripts/windows_lane.sh gives them); apt's
# lists are fetched once for all the entries added.
source_entry() {  # source_entry SUITE: the entry's file, made when missing
  local suite=$1 file suites=$1
  file=/etc/apt/sources.list.d/tvlib-$suite-src.sources
  if [ "$suite" = bookworm ]; then
    file=/etc/apt/sources.list.d/tvlib-windows-lane-src.sources suites="bookworm bookworm-updates"
  fi
  [ -f "$file" ] && return 1
  printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
    "Suites: $suites" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $sudo tee "$file" >/dev/null
}
# TVLIB_APT_LISTS_FRESH=1: the caller has just fetched them.
apt_lists_fetched=${TVLIB_APT_LISTS_FRESH:-0}
fetch_apt_lists() {
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt_lists_fetched=1
}
added=0
for suite in "${source_suites[@]}"; do source_entry "$suite" && added=1; done
((added)) && fetch_apt_lists

missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  ((apt_lists_fetched)) || fetch_apt_lists
  # The servers come as tools for the tests, which start their own: none is
  # left running or started at boot by the install.
  printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
  $sudo chmod +x /usr/sbin/policy-rc.d
  # One lane (the demo) takes what it names and no more; the test command's
  # toolchain (Wine above all) is taken as Debian recommends it.
  recommends=(--no-install-recommends)
  case " $* " in *" tests "*) recommends=() ;; esac
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

# pybind11 3 is the first that supports CPython 3.14.
dev_requirements=(pytest pytest-timeout trustme cryptography requests ruff
                  scikit-build-core "pybind11>=3.0" cmake ninja)

make_lane() {
  local lane=$1 python=$2 venv_flags=$3 extra=$4
  local venv=.venv-$lane
  if [ ! -x "$venv/bin/python" ]; then
    echo "setup: creating $venv"
    # shellcheck disable=SC2086
    "$python" -m venv $venv_flags "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
  fi
  # The venv keeps what it was given; a later run asks PyPI again only when
  # that changed.
  local wanted="${dev_requirements[*]} $extra"
  if [ "$(cat "$venv/tvlib-requirements" 2>/dev/null)" != "$wanted" ]; then
    # shellcheck disable=SC2086
    "$venv/bin/python" -m pip install -q "${dev_requirements[@]}" $extra
    echo "$wanted" >"$venv/tvlib-requirements"
  fi
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

# CPython from Debian's source package, built into a cache outside the
# repository (a venv points into it, so it must outlive a fresh clone) and
# reused by later runs. The build is kept with the Debian version it came from
# and a digest of the recipe below: a new Debian upload or another recipe
# builds it again. The upstream tarball is built as it is: Debian's patches
# assume Debian's own file layout. -O1 and no debug information: the
# interpreter runs the tests, whose time goes to waiting, and an -O3 build
# costs twice the CPU; nor are CPython's own tests built or installed.
cache=${TVLIB_CACHE:-$HOME/.cache/tvlib}
compile_cpython() {  # compile_cpython SOURCE PREFIX, in the unpacked source
  ./configure -q --prefix="$2" --enable-shared --disable-test-modules \
    --with-ensurepip=no LDFLAGS="-Wl,-rpath,$2/lib" OPT="-DNDEBUG -O1" &&
    make -s -j2 && make -s install COMPILEALL_OPTS=-j0 >/dev/null
}
cpython_suite() { case $1 in 3.13) echo trixie ;; esac; }
cpython_build_id() {  # cpython_build_id VERSION: Debian's version and the recipe's digest
  local version=$1 suite debian
  suite=$(cpython_suite "$version")
  debian=$(cd /tmp && apt-get source --print-uris --only-source "python$version/$suite" 2>/dev/null |
    sed -n "s/^'[^']*' python${version}_\(.*\)\.dsc .*/\1/p")
  [ -n "$debian" ] || { echo "setup: Debian's $suite has no python$version source" >&2; return 1; }
  echo "python$version $suite $debian recipe $(declare -f compile_cpython | sha256sum | cut -c1-12)"
}
build_cpython() {  # build_cpython VERSION: prints the interpreter's path
  local version=$1 suite id
  suite=$(cpython_suite "$version")
  local prefix=$cache/python$version
  id=$(cpython_build_id "$version") || return 1
  if [ "$(cat "$prefix/tvlib-build" 2>/dev/null)" != "$id" ]; then
    local work=$cache/src-python$version debian=${id#* * }
    debian=${debian%% *}
    rm -rf "$work" "$prefix" && mkdir -p "$work"
    echo "setup: building CPython $version from Debian's $suite source ($debian)" >&2
    # Chained: `set -e` does not hold inside a subshell whose failure is tested.
    (
      cd "$work" &&
        apt-get source --download-only -qq --only-source "python$version=$debian" >&2 &&
        tar xf python"$version"_*.orig.tar.xz &&
        cd Python-"$version".*/ &&
        compile_cpython "$work" "$prefix" >&2
    ) || { echo "setup: CPython $version build failed (in $work)" >&2; return 1; }
    echo "$id" >"$prefix/tvlib-build"
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
# The oldest release supported (see docs/lanes.md), the LTS line between, and the
# newest on PyPI, pinned so that a new release is a deliberate change.
lane_qt6_5() { make_lane qt6.5 python3 "" "PySide6-Essentials==6.5.3 pytest-qt"; }
lane_qt6_8() { make_lane qt6.8 python3 "" "PySide6-Essentials==6.8.* pytest-qt"; }
lane_qt6_12() { make_lane qt6.12 python3 "" "PySide6-Essentials==6.12.0 pytest-qt"; }
# The interpreters built here: a lane's venv is made again when its
# interpreter was built again.
lane_cpython() {  # lane_cpython VERSION
  local version=$1 python
  python=$(build_cpython "$version")
  local venv=.venv-py$version
  if ! cmp -s "$venv/tvlib-interpreter" "$cache/python$version/tvlib-build"; then
    rm -rf "$venv" "build/py$version"
  fi
  make_lane "py$version" "$python" "" "$qt6_default"
  cp "$cache/python$version/tvlib-build" "$venv/tvlib-interpreter"
}
lane_py3_13() { lane_cpython 3.13; }
# 3.14 is Debian sid's own python3.14, run inside a sid root: sid's binaries
# need a newer C library than this machine's (and this workplace's mirror does
# not serve sid's python3.14 source). The venv and the build are made inside
# the root, in the checkout mounted at its own path; the venv is made again
# when the root was. PySide6 6.10 is published for 3.14 (abi3 wheels,
# Requires-Python <3.15), as is 6.12.0.
lane_py3_14() {
  local venv=.venv-py3.14 root=$cache/sid-root
  scripts/sid_root.sh make
  if ! cmp -s "$venv/tvlib-interpreter" "$root/tvlib-root"; then
    rm -rf "$venv" build/py3.14
  fi
  scripts/sid_root.sh run bash -c "set -euo pipefail; $(declare -p dev_requirements)
    $(declare -f make_lane); make_lane py3.14 python3.14 '' '$qt6_default'"
  cp "$root/tvlib-root" "$venv/tvlib-interpreter"
}

((packages_only)) && exit 0
for lane in "$@"; do
  [ "$lane" = tests ] || "lane_${lane//./_}"
done
