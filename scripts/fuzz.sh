#!/usr/bin/env bash
# Fuzzes the core's pieces that take hostile text (MAXScript literals, package
# names, reply heads) with libFuzzer under ASan and UBSan, each for a bounded
# time, and writes what ran to RESULTS/fuzz-<target>.json. Fails on the first
# property broken or memory fault; the input that did it is kept in the build
# folder and named in the output.
#
#   scripts/fuzz.sh SECONDS_PER_TARGET RESULTS_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?seconds per target}
results=${2:?results folder}
build=${TVLIB_FUZZ_BUILD:-build/fuzz}
cxx=${TVLIB_FUZZ_CXX:-/usr/lib/llvm-14/bin/clang++}
mkdir -p "$build" "$results"

declare -A sources=(
  [maxscript_literal]="src/core/maxscript/string_literal.cpp"
  [package_name]="src/core/files/package_name.cpp src/core/files/path_text.cpp"
  [reply_head]="src/core/http/head.cpp"
)
status=0
for target in maxscript_literal package_name reply_head; do
  binary=$build/${target}_fuzz
  # shellcheck disable=SC2086
  "$cxx" -std=c++20 -g -O1 -Isrc -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=all -o "$binary" "tests/fuzz/${target}_fuzz.cpp" ${sources[$target]}
  # The corpus grows in the build folder; the seeds in the tree stay as they are.
  corpus=$build/corpus-$target
  mkdir -p "$corpus"
  log=$build/$target.log
  failed=0
  start=$EPOCHREALTIME
  if ! "$binary" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
      -print_final_stats=1 -artifact_prefix="$build/crash-$target-" \
      "$corpus" "tests/fuzz/seeds/$target" >"$log" 2>&1; then
    echo "fuzz $target: FAILED, see $log"; tail -n 30 "$log"; failed=1; status=1
  fi
  elapsed=$(awk "BEGIN { print $EPOCHREALTIME - $start }")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  printf '{"target": "%s", "executions": %s, "seconds": %.1f, "failed": %s}\n' \
    "$target" "${runs:-0}" "$elapsed" "$failed" >"$results/fuzz-$target.json"
  echo "fuzz $target: ${runs:-0} executions in ${seconds}s"
done
exit $status
