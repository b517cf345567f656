#!/usr/bin/env bash
# Runs every check of tvlib on a fresh machine (sets it up first):
# formatting and lint, the C++ core's GoogleTest suite and its compile for
# Windows, and the Python suite in the Qt 6 lane and the Qt 5 lane. Ends with
# one line "N passed, N failed".
#
#   scripts/test.sh           everything but the slow cases
#   scripts/test.sh --full    also the cases that wait out real time-outs (CI)
set -uo pipefail
cd "$(dirname "$0")/.."
full=0
[ "${1:-}" = "--full" ] && full=1

scripts/setup.sh || { echo "0 passed, 1 failed"; exit 1; }

results=build/test-results
rm -rf "$results" && mkdir -p "$results"
failed_steps=()

step() {  # step NAME COMMAND...
  local name=$1; shift
  echo "== $name"
  if ! "$@"; then failed_steps+=("$name"); fi
}

cpp_sources() { git ls-files -co --exclude-standard -- 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp'; }
step "clang-format" bash -c "$(declare -f cpp_sources); cpp_sources | xargs -r clang-format --dry-run --Werror"
step "ruff check" .venv-qt6/bin/ruff check .
step "ruff format" .venv-qt6/bin/ruff format --check .

py6=.venv-qt6/bin/python
step "configure C++ tests" $py6 -m cmake -S . -B build/cpp-tests -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv-qt6/bin/ninja" \
  -DTVLIB_BUILD_MODULES=OFF -DTVLIB_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "build C++ tests" $py6 -m cmake --build build/cpp-tests
# The Windows halves are not in this build's compile database; the Windows
# check below compiles them.
step "clang-tidy" bash -c "$(declare -f cpp_sources); cpp_sources | grep '^src/core/.*\.cpp$' \
  | grep -v '_windows\.cpp$' | xargs -r -P2 -n4 clang-tidy -p build/cpp-tests --quiet 2>/dev/null"
step "Windows compile (mingw-w64)" scripts/check_windows_build.sh
step "GoogleTest" $py6 -m cmake -E env \
  "$PWD/.venv-qt6/bin/ctest" --test-dir build/cpp-tests --output-on-failure \
  --output-junit "$PWD/$results/cpp.xml"

markers=(-m "not slow")
((full)) && markers=()
for lane in qt6 qt5; do
  # Full mode also builds modules with test package keys (a few minutes) in
  # one lane, to show signed packages installed and tampered ones refused.
  keyed=0
  ((full)) && [ "$lane" = qt6 ] && keyed=1
  step "pytest $lane" env QT_QPA_PLATFORM=offscreen TVLIB_KEYED_BUILD=$keyed \
    .venv-$lane/bin/python -m pytest -q -p no:cacheprovider "${markers[@]}" \
    --junitxml="$results/pytest-$lane.xml"
done

.venv-qt6/bin/python scripts/summarize_results.py "$results" "${failed_steps[@]}"
