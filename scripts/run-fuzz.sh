#!/usr/bin/env bash
# Fuzzes the PNG reader and the parsers of foreign bytes, sharing a number of seconds among them,
# each seeded from its committed corpus and crashers (the PNG reader from PngSuite too).
# Usage: scripts/run-fuzz.sh BUILD_DIR SECONDS. Exits non-zero when an input crashes a target;
# the input is kept in BUILD_DIR/fuzz-artifacts/TARGET- (commit it to fuzz/crashers/TARGET/ once
# fixed).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
seconds=${2:-60}
targets=(png_read channel server_request report)
share=$((seconds / ${#targets[@]} > 0 ? seconds / ${#targets[@]} : 1))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

# Fuzzes one target for its share of the time; new inputs go to a scratch folder, the seed
# folders are only read.
fuzz_target() {
  local target=$1
  local fuzzer="$build/bin/${target}_fuzzer"
  [ -x "$fuzzer" ] || { echo "run-fuzz: $fuzzer not built" >&2; exit 2; }
  local seeds=("fuzz/corpus/$target" "fuzz/crashers/$target")
  if [ "$target" = png_read ]; then seeds+=(tests/data/pngsuite); fi
  mkdir "$work/$target"
  echo "== fuzzing $target for $share s"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$fuzzer" -max_total_time="$share" -timeout=10 -rss_limit_mb=2560 -max_len=65536 \
    -dict="fuzz/$target.dict" -artifact_prefix="$build/fuzz-artifacts/$target-" \
    -print_final_stats=1 "$work/$target" "${seeds[@]}"
}

for target in "${targets[@]}"; do fuzz_target "$target"; done
