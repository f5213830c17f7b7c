#!/usr/bin/env bash
# Fuzzes the PNG reader for a number of seconds, seeded from PngSuite and the committed corpus.
# Usage: scripts/run-fuzz.sh BUILD_DIR SECONDS. Exits non-zero when an input crashes the reader;
# the input is kept in BUILD_DIR/fuzz-artifacts/ (commit it to fuzz/crashers/ once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
seconds=${2:-60}
fuzzer="$build/bin/png_read_fuzzer"
[ -x "$fuzzer" ] || { echo "run-fuzz: $fuzzer not built" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

seeds=(fuzz/corpus fuzz/crashers tests/data/pngsuite)

# New inputs go to the scratch folder; the seed folders are only read.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -max_len=65536 \
  -dict=fuzz/png.dict -artifact_prefix="$build/fuzz-artifacts/" -print_final_stats=1 \
  "$work" "${seeds[@]}"
