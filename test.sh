#!/usr/bin/env bash
# Sets everything up and runs every test: the normal build, the batch and renderer tests again on
# one CPU, the same suite under ASan and UBSan (without the window), the threaded parts' tests
# under TSan, and a short fuzz run of the PNG reader and the parsers of foreign bytes.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Runs ctest on a build folder and keeps its logs, under the run's name, for the closing line; a
# failure ends the script after that line. Usage: run_ctest NAME FOLDER [CTEST-ARGUMENTS]; PIN, when
# set, is the command that ctest runs under.
run_ctest() {
  local name=$1 build=$2 status=0
  shift 2
  # shellcheck disable=SC2086  # PIN is a command with its arguments
  ${PIN:-} ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@" | tee "$logs/$name.log" ||
    status=$?
  cp "$build/Testing/Temporary/LastTest.log" "$logs/$name.last.log" || true
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
run_ctest build build --timeout 900

echo "== the batch and renderer tests on one CPU, where no second thread is started"
PIN="taskset -c 0" run_ctest one-cpu build --timeout 900 -L one-cpu

echo "== Debian package"
scripts/test-package.sh build

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLAMAR_SANITIZE=ON \
  -DQUILLAMAR_WITH_GUI=OFF -DQUILLAMAR_BENCH=OFF -DQUILLAMAR_WERROR=ON
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build-asan build-asan --timeout 1800 -LE "slow|engines"

echo "== the threaded parts' tests under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLAMAR_SANITIZE=thread \
  -DQUILLAMAR_WITH_GUI=OFF -DQUILLAMAR_BENCH=OFF -DQUILLAMAR_WERROR=ON
cmake --build build-tsan -j "$jobs" --target threaded_tests
# A report ends its process with status 66; the renderer's own standard error goes to /dev/null, so
# a report there shows only as that status.
TSAN_OPTIONS=halt_on_error=1 run_ctest build-tsan build-tsan --timeout 1800 -L threads

echo "== fuzzing"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLAMAR_FUZZ=ON -DQUILLAMAR_WITH_GUI=OFF -DQUILLAMAR_WERROR=ON
cmake --build build-fuzz -j "$jobs" --target png_read_fuzzer channel_fuzzer server_request_fuzzer \
  report_fuzzer
scripts/run-fuzz.sh build-fuzz 60

# Packagers build Release, where g++ inlines (and warns) more than at RelWithDebInfo.
echo "== release builds with g++ and clang, warnings as errors (built, not run)"
cmake -S . -B build-release-gcc -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLAMAR_WERROR=ON
cmake --build build-release-gcc -j "$jobs"
CC=clang CXX=clang++ cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUILLAMAR_WERROR=ON
cmake --build build-release -j "$jobs"

# One closing line over every ctest run above, after the skipped tests, each with its reason.
scripts/test-summary.sh "$logs"
