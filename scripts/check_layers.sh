#!/usr/bin/env bash
# Checks the layering in a built tree from the headers each object was compiled
# with: the core includes nothing of Python, and nothing outside the core
# includes libcurl's headers (they stay behind the core's interface).
#
#   scripts/check_layers.sh BUILD_DIR   (a Ninja build of the modules)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: $0 BUILD_DIR}
ninja=${NINJA:-.venv-qt6/bin/ninja}
deps=$("$ninja" -C "$build" -t deps)
found=$(awk '
  /^[^ ]/ { object = $1; sub(/:$/, "", object); next }
  object ~ /tvlib_core\.dir\// && /\/Python\.h$/ { print object " includes Python" }
  object ~ /(tvlib_binding|tvupd|tvcore)\.dir\// && /\/curl\/curl\.h$/ {
    print object " includes libcurl" }
' <<<"$deps" | sort -u)
objects=$(grep -c '^[^ ].*\.o:' <<<"$deps" || true)
if [ "$objects" -eq 0 ]; then
  echo "layers: no objects in $build (not built?)" >&2
  exit 1
fi
if [ -n "$found" ]; then
  echo "layers: $found" >&2
  exit 1
fi
echo "layers: $objects objects checked, the core free of Python, the rest free of libcurl"
