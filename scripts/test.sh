#!/usr/bin/env bash
# Runs every check of tvlib on a fresh machine (sets it up first):
# formatting and lint, the C++ core's GoogleTest suite, the Windows lane (the
# core's suite built for Windows and run under Wine), fuzzing, the core's
# tests and the modules under ASan and UBSan, the layering of that build
# (scripts/check_layers.sh), and the Python suite in every lane: Qt 6 and Qt 5
# whole, CPython 3.13 and 3.14 with Qt 6 whole (3.14 is Debian sid's, run in a
# sid root: scripts/sid_root.sh), the other PySide6 releases the tests marked
# every_lane. Ends with the reliability figures of the run and one line
# "N passed, N failed". The Python lanes are those of scripts/setup.sh.
#
#   scripts/test.sh           everything but the slow cases
#   scripts/test.sh --full    also the cases that wait out real time-outs, and
#                             longer fuzzing (CI)
set -uo pipefail
cd "$(dirname "$0")/.."
full=0
[ "${1:-}" = "--full" ] && full=1

start=$SECONDS
results=build/test-results
rm -rf "$results" && mkdir -p "$results" build/pytest-tmp
failed_steps=()
# The builds share one compiler cache (see scripts/setup.sh).
export CMAKE_CXX_COMPILER_LAUNCHER=ccache \
  CCACHE_DIR="${TVLIB_CACHE:-$HOME/.cache/tvlib}/ccache" \
  CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1

step() {  # step NAME COMMAND...
  local name=$1; shift
  echo "== $name"
  local start=$SECONDS
  if ! "$@"; then failed_steps+=("$name"); fi
  echo "== $name: $((SECONDS - start)) s"
}

logged() {  # logged FILE COMMAND...: the command's output, also kept in FILE
  local log=$1; shift
  "$@" 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

# Tests that bound the host's timing run after the lanes, one lane at a
# time: beside seven lanes on two cores a stall can be the machine's.
markers=(-m "not slow and not quiet_machine")
((full)) && markers=(-m "not quiet_machine")
# The Python suite of every lane runs in the background, each lane from the
# moment its venv is ready, side by side with the checks below: the lanes
# spend most of their time waiting out time-outs. Each has its own temporary
# folders and its own service; their output is shown once they end.
# The py3.14 lane runs inside its sid root, in this checkout mounted at its
# own path, so the paths below hold there too.
run_lane() {  # run_lane LANE[/PART] KEYED [PYTEST ARGS...]; its status also in a file
  local lane=${1//\//-} venv=.venv-${1%%/*} keyed=$2 start=$SECONDS inside=(); shift 2
  [ "$venv" != .venv-py3.14 ] || inside=(scripts/sid_root.sh run)
  env QT_QPA_PLATFORM=offscreen TVLIB_KEYED_BUILD="$keyed" \
    "${inside[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" \
    --basetemp="build/pytest-tmp/$lane" -o junit_family=xunit1 \
    --junitxml="$results/pytest-$lane.xml" >"$results/pytest-$lane.log" 2>&1
  local status=$?
  echo "lane $lane: $((SECONDS - start)) s" >>"$results/pytest-$lane.log"
  echo "$status" >"$results/pytest-$lane.status"
  return "$status"
}
# The other Qt for Python releases run the tests marked every_lane, in two
# rows (the oldest beside the two others); the CPython lanes run the whole
# Qt 6 suite.
subset=(-m "every_lane and not slow and not quiet_machine")
((full)) && subset=(-m "every_lane and not quiet_machine")
run_release_lanes() {
  run_lane qt6.5 0 "${subset[@]}" & local oldest=$!
  run_lane qt6.8 0 "${subset[@]}"
  run_lane qt6.12 0 "${subset[@]}"
  wait "$oldest"
}
python_lanes=(qt6 qt6-keys qt5 qt6.5 qt6.8 qt6.12 py3.13 py3.14)
lane_jobs=()
# Set-up, with the machine kept busy. Debian's packages for building (the
# CPython lanes' and Qt 5's included) come first. Then CPython builds from
# Debian's source in the background (CPU) while the test tools are installed
# (I/O) and the Qt 6 lane is made, which the checks below need; the other Qt
# lanes are made in the background too. Each lane's suite starts as soon as
# its lane is made; the background set-ups' logs are shown at the end.
scripts/setup.sh --packages py3.13 py3.14 qt5 || { echo "0 passed, 1 failed"; exit 1; }
export TVLIB_APT_LISTS_FRESH=1  # fetched just now: the calls below need not again
made() {  # made NAME LANE...: scripts/setup.sh LANE..., logged; a failure fails each lane
  local name=$1 log=$results/setup-$1.log lane; shift
  if scripts/setup.sh "$@" >"$log" 2>&1; then
    echo "setup of $name: done $((SECONDS - start)) s after the start" >>"$log"
    return 0
  fi
  for lane in "$@"; do
    { echo "setup of $lane failed:"; tail -30 "$log"; } >"$results/pytest-$lane.log"
    echo 1 >"$results/pytest-$lane.status"
  done
  return 1
}
# One after the other: CPython 3.13's build takes both cores, as does the
# first build of tvlib in py3.14's sid root (whose making is mostly downloads).
cpython_lanes() {
  made py3.13 py3.13 && { run_lane py3.13 0 "${markers[@]}" & }
  made py3.14 py3.14 && { run_lane py3.14 0 "${markers[@]}" & }
  wait
}
cpython_lanes & lane_jobs+=($!)
# The Qt 6 lane in two processes: the package-key cases (in full mode they
# build the modules anew with test keys, minutes the first time) beside the rest.
keyed_cases=tests/python/test_package_authenticity.py
if scripts/setup.sh tests qt6; then
  run_lane qt6 "$full" "${markers[@]}" --ignore="$keyed_cases" & lane_jobs+=($!)
  run_lane qt6/keys "$full" "${markers[@]}" "$keyed_cases" & lane_jobs+=($!)
else
  failed_steps+=("setup qt6")
fi
{ made qt5 qt5 && run_lane qt5 0 "${markers[@]}"; } & lane_jobs+=($!)
{ made releases qt6.5 qt6.8 qt6.12 && run_release_lanes; } & lane_jobs+=($!)
echo "== setup (the other lanes go on in the background): $((SECONDS - start)) s"
cpp_sources() { git ls-files -co --exclude-standard -- 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp'; }
step "clang-format" bash -c "$(declare -f cpp_sources); cpp_sources | xargs -r clang-format --dry-run --Werror"
step "ruff check" .venv-qt6/bin/ruff check .
step "ruff format" .venv-qt6/bin/ruff format --check .

py6=.venv-qt6/bin/python
step "configure C++ tests" $py6 -m cmake -S . -B build/cpp-tests -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv-qt6/bin/ninja" \
  -DTVLIB_BUILD_MODULES=OFF -DTVLIB_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
step "build C++ tests" $py6 -m cmake --build build/cpp-tests
# The Windows halves are not in this build's compile database; the Windows
# lane below builds them.
# A file clang-tidy passed before with the same inputs is not checked again
# (scripts/clang_tidy_cached.py).
step "clang-tidy" bash -c "$(declare -f cpp_sources); cpp_sources | grep '^src/core/.*\.cpp$' \
  | grep -v '_windows\.cpp$' | xargs -r $py6 scripts/clang_tidy_cached.py build/cpp-tests \
  '${TVLIB_CACHE:-$HOME/.cache/tvlib}/clang-tidy'"
# The core and its tests built for Windows and run under Wine, and the binding
# layer built and linked for Windows (scripts/windows_lane.sh).
step "Windows lane (mingw-w64, Wine)" scripts/windows_lane.sh "$results"
step "GoogleTest" $py6 -m cmake -E env \
  "$PWD/.venv-qt6/bin/ctest" --test-dir build/cpp-tests --output-on-failure \
  --output-junit "$PWD/$results/cpp.xml"

# The benchmark tooling, and the suite once with tiny packages (seconds),
# against the nginx and curl that setup installs: a skipped case fails here.
bench_tests() {
  $py6 -m pytest -q -p no:cacheprovider -rs --basetemp=build/pytest-tmp/bench \
    -o junit_family=xunit1 --junitxml="$results/bench.xml" bench/tests || return 1
  ! grep -q '<skipped' "$results/bench.xml" ||
    { echo "benchmark tooling: a case was skipped (above)"; return 1; }
}
step "benchmark tooling" bench_tests

# The pieces that take hostile text, a few seconds each; CI fuzzes longer.
fuzz_seconds=3
((full)) && fuzz_seconds=15
step "fuzz" scripts/fuzz.sh "$fuzz_seconds" "$results"

# The core's tests and the modules again, built with ASan and UBSan (-O1, so
# the build stays short). The modules run in the ordinary interpreter with the
# sanitizer runtime preloaded; its own allocations at exit are not ours to
# free, hence no leak check there. Any finding stops the process and fails
# the step.
san=build/sanitize
san_env=(ASAN_OPTIONS=halt_on_error=1
         UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
step "configure sanitizers" $py6 -m cmake -S . -B $san -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$PWD/.venv-qt6/bin/ninja" -DTVLIB_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$PWD/$py6" -Dpybind11_DIR="$($py6 -m pybind11 --cmakedir)" \
  -DTVLIB_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE= \
  -DCMAKE_CXX_FLAGS="-O1 -g1 -fno-sanitize-recover=all"
step "build sanitizers" bash -c "$py6 -m cmake --build $san && \
  $py6 -m cmake --install $san --prefix $san/stage >/dev/null"
step "layering" scripts/check_layers.sh $san
step "GoogleTest (sanitizers)" logged "$results/sanitize-cpp.log" env "${san_env[@]}" \
  "$PWD/.venv-qt6/bin/ctest" --test-dir $san -j2 --output-on-failure \
  --output-junit "$PWD/$results/sanitize-cpp.xml"
# The module-level tests, and the downloads and concurrent runs, which put the
# core's threads and files to work. libstdc++ is preloaded too, or ASan finds
# no real __cxa_throw to forward the modules' exceptions to. Reports go to the
# terminal (--capture=sys): a halted process leaves no pytest report.
san_tests=(tests/python/test_account_store.py tests/python/test_type_stubs.py
           tests/python/test_bootstrap.py tests/python/test_module_startup.py
           tests/python/test_download.py tests/python/test_reliability.py)
step "pytest (sanitizers)" logged "$results/sanitize-python.log" env "${san_env[@]}" \
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=0 PYTHONMALLOC=malloc \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  PYTHONPATH="$san/stage" QT_QPA_PLATFORM=offscreen $py6 -m pytest -q -p no:cacheprovider \
  -m "not slow" --capture=sys "${san_tests[@]}" --junitxml="$results/sanitize-python.xml"

wait "${lane_jobs[@]}"
quiet_lanes=()
for lane in qt6 qt5 qt6.5 qt6.8 qt6.12 py3.13 py3.14; do
  run_lane "$lane/quiet" 0 -m quiet_machine tests/python/test_host_safety.py
  quiet_lanes+=("$lane-quiet")
done
cat "$results"/setup-*.log
for lane in "${python_lanes[@]}" "${quiet_lanes[@]}"; do
  echo "== pytest $lane"
  cat "$results/pytest-$lane.log"
  [ "$(cat "$results/pytest-$lane.status" 2>/dev/null)" = 0 ] || failed_steps+=("pytest $lane")
done
echo "== pytest: every lane done $((SECONDS - start)) s after the start"

echo "== reliability figures (rerun: scripts/test.sh${1:+ $1})"
.venv-qt6/bin/python scripts/reliability_figures.py "$results"
.venv-qt6/bin/python scripts/summarize_results.py "$results" "${failed_steps[@]}"
