#!/usr/bin/env bash
# Runs every test: the whole suite in a plain build and again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)

echo "== plain build"
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
ninja -C "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"
passed=$(ctest --test-dir "$root/build" -N | awk '/Total Tests:/ { print $3 }')

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSORVEND_SANITIZE=ON \
  >/dev/null
ninja -C "$root/build-asan" -j "$jobs"
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"
passed=$((passed + $(ctest --test-dir "$root/build-asan" -N | awk '/Total Tests:/ { print $3 }')))

if command -v clang++ >/dev/null; then
  echo "== fuzzing the engine for ${SORVEND_FUZZ_SECONDS:-60} s"
  cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DSORVEND_FUZZ=ON \
    -DSORVEND_BUILD_TESTS=OFF -DSORVEND_BUILD_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$root/build-fuzz" -j "$jobs" fuzz_engine
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir "$work/corpus" "$work/artifacts"
  find "$root/tests/data" -type f ! -name '*.md' -exec cp {} "$work/corpus/" \;
  "$root/build-fuzz/tests/fuzz/fuzz_engine" -max_total_time="${SORVEND_FUZZ_SECONDS:-60}" \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" \
    2>"$work/fuzz.log" || { tail -n 60 "$work/fuzz.log"; exit 1; }
  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units)' "$work/fuzz.log" || true
  passed=$((passed + 1))
else
  echo "== clang++ not found: fuzzing skipped"
fi

# Every step above stops the script on a failure, so reaching here means all of them passed.
echo "run-tests: $passed passed, 0 failed"
