#!/usr/bin/env bash
# Runs tvlib's benchmark suite and writes its results table; see bench/README.md.
#
#   bench/run.sh              full sizes, 5 repetitions (about 5 minutes)
#   bench/run.sh --quick      smaller packages, 3 repetitions
#   bench/run.sh --installed  measure the tvlib installed in .venv-qt6 instead
#                             of a Release build of the working tree
#   bench/run.sh --venv .venv-qt5 --only P1,P2,P5
#                             the download figures in another lane (its own
#                             build; results in bench/results/lane-<venv>.*)
#   (other options go to bench/suite.py: --only P4,P6  --repeat N  --results DIR)
#
# Idempotent: installs nginx from Debian and sets up .venv-qt6 only when they
# are missing, and rebuilds only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

installed=0
venv=.venv-qt6
args=()
while (($#)); do
  case $1 in
    --installed) installed=1 ;;
    --venv) venv=${2%/}; shift ;;
    *) args+=("$1") ;;
  esac
  shift
done
lane=${venv#.venv-}

sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
missing=()
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || missing+=(nginx)
command -v curl >/dev/null || missing+=(curl)
if ((${#missing[@]})); then
  echo "bench: installing ${missing[*]}"
  $sudo apt-get update -qq
  # The package's own service stays off: the benchmark starts nginx itself.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

py=$venv/bin/python
if [ ! -x "$py" ]; then
  [ "$venv" = .venv-qt6 ] || { echo "bench: $venv does not exist" >&2; exit 1; }
  scripts/setup.sh qt6
fi
# The stand-in host of the Qt 5 lane is the 2025 release.
if ! "$py" -c "import PySide6" 2>/dev/null; then
  export PYMXS_RELEASE_YEAR=2025
fi
if [ "$venv" != .venv-qt6 ]; then
  args+=(--lane "$lane")
fi

stage=()
if ((!installed)); then
  build=build/bench-$lane
  echo "bench: building tvlib (Release) in $build"
  "$py" -m cmake -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" \
    -DPython_EXECUTABLE="$PWD/$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  "$py" -m cmake --build "$build" >/dev/null
  # The package as the host imports it: the start file and the two modules.
  pkg=build/bench-stage-$lane/tvlib
  mkdir -p "$pkg"
  ln -sf "$PWD/src/tvlib/__init__.py" "$pkg/__init__.py"
  for module in "$build"/src/tvlib/tv*.so; do
    ln -sf "$PWD/$module" "$pkg/$(basename "$module")"
  done
  stage=(--stage "build/bench-stage-$lane")
fi

exec "$py" bench/suite.py "${stage[@]}" "${args[@]}"
