#!/usr/bin/env bash
# Sets everything up and runs every test: the normal build, the same suite under ASan and UBSan
# (without the window), and a short fuzz run of the PNG reader and the parsers of foreign bytes.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Runs ctest on a build folder and keeps its logs for the closing line; a failure ends the script
# after that line.
run_ctest() {
  local build=$1 status=0
  shift
  ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@" | tee "$logs/$build.log" ||
    status=$?
  cp "$build/Testing/Temporary/LastTest.log" "$logs/$build.last.log" || true
  if ((status != 0)); then
    scripts/test-summary.sh "$logs"
    exit "$status"
  fi
}

echo "== lint"
scripts/lint.sh

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLAMAR_WERROR=ON
cmake --build build -j "$jobs"

echo "== tests"
export QT_QPA_PLATFORM=offscreen
run_ctest build --timeout 900

echo "== Debian package"
scripts/test-package.sh build

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLAMAR_SANITIZE=ON \
  -DQUILLAMAR_WITH_GUI=OFF -DQUILLAMAR_BENCH=OFF -DQUILLAMAR_WERROR=ON
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan --timeout 1800 -LE "slow|engines"

echo "== fuzzing"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLAMAR_FUZZ=ON -DQUILLAMAR_WITH_GUI=OFF -DQUILLAMAR_WERROR=ON
cmake --build build-fuzz -j "$jobs" --target png_read_fuzzer channel_fuzzer server_request_fuzzer \
  report_fuzzer
scripts/run-fuzz.sh build-fuzz 60

echo "== release build with clang, warnings as errors (built, not run)"
CC=clang CXX=clang++ cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUILLAMAR_WERROR=ON
cmake --build build-release -j "$jobs"

# One closing line over both suites, after the skipped tests, each with its reason.
scripts/test-summary.sh "$logs"
