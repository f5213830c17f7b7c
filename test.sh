#!/usr/bin/env bash
# Sets everything up and runs every test: the normal build, the same suite under ASan and UBSan
# (without the window), and a short fuzz run of the PNG reader.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
jobs=$(nproc)

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"

echo "== tests"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 900

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLAMAR_SANITIZE=ON \
  -DQUILLAMAR_WITH_GUI=OFF -DQUILLAMAR_BENCH=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 1800 -LE slow

if [ -f fuzz/CMakeLists.txt ] && grep -q add_executable fuzz/CMakeLists.txt; then
  echo "== fuzzing"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLAMAR_FUZZ=ON -DQUILLAMAR_WITH_GUI=OFF
  cmake --build build-fuzz -j "$jobs"
  scripts/run-fuzz.sh build-fuzz 60
fi
