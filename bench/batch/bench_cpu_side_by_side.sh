#!/usr/bin/env bash
# CPU-seconds of a JPG batch through quillamar-cli against pdftoppm -jpeg -jpegopt quality=90 (once
# per PDF), the two running at the same time, each held to a core of its own (swapped every round).
# A machine whose speed drifts from minute to minute slows both alike, so the ratio of one round
# holds even where runs taken in turn differ by more than the margin being measured. Held to one
# core, quillamar-cli runs as with -j 1 unless JOBS says otherwise.
# Usage: bench/batch/bench_cpu_side_by_side.sh [CLI] [DPI] [PDF_FOLDER] [ROUNDS] [JOBS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${1:-$root/build/bin/quillamar-cli}
dpi=${2:-300}
pdfs=${3:-$root/tests/data/pdfs}
rounds=${4:-3}
jobs=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -x "$cli" ] || { echo "no $cli: build quillamar-cli first" >&2; exit 1; }
pdftoppm=$(command -v pdftoppm) || { echo "no pdftoppm (Debian package poppler-utils)" >&2; exit 1; }
[ "$(nproc)" -ge 2 ] || { echo "needs two cores" >&2; exit 1; }
mapfile -t files < <(find "$pdfs" -maxdepth 1 -name '*.pdf' | sort)
[ ${#files[@]} -gt 0 ] || { echo "no PDFs in $pdfs" >&2; exit 1; }

# User + system seconds that /usr/bin/time wrote last into the file.
cpu_in() { tail -n 1 "$1" | awk '{ print $1 + $2 }'; }

# Every PDF in turn, the damaged and protected ones included; pdftoppm reports those its way.
run_pdftoppm() {
  local i=0 list
  mapfile -t list <"$work/files"
  for f in "${list[@]}"; do
    i=$((i + 1))
    "$pdftoppm" -jpeg -jpegopt quality=90 -r "$dpi" "$f" "$work/ref/$i" 2>/dev/null || true
  done
}
export -f run_pdftoppm
export pdftoppm dpi work
printf '%s\n' "${files[@]}" >"$work/files"

ratios=()
for round in $(seq "$rounds"); do
  rm -rf "$work/ref" "$work/ours"
  mkdir -p "$work/ref" "$work/ours"
  ref_core=$(((round + 1) % 2))
  our_core=$((round % 2))
  taskset -c "$ref_core" /usr/bin/time -f '%U %S' -o "$work/ref.time" bash -c run_pdftoppm &
  status=0
  taskset -c "$our_core" /usr/bin/time -f '%U %S' -o "$work/our.time" \
    "$cli" ${jobs:+-j "$jobs"} -f JPG -r "$dpi" -o "$work/ours" "${files[@]}" >/dev/null 2>&1 ||
    status=$?
  wait
  # Exit status 3 says that some PDFs failed, as the damaged ones must.
  [ "$status" -eq 0 ] || [ "$status" -eq 3 ] || { echo "quillamar-cli exited $status" >&2; exit 1; }
  ref=$(cpu_in "$work/ref.time")
  ours=$(cpu_in "$work/our.time")
  ratio=$(echo "$ours / $ref" | bc -l)
  ratios+=("$ratio")
  printf 'round %d   CPU-seconds quillamar-cli %7.2f s   pdftoppm %7.2f s   ratio %.3f\n' \
    "$round" "$ours" "$ref" "$ratio"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -g | awk '{ r[NR] = $1 } END { print r[int((NR + 1) / 2)] }')
printf 'side by side  %d PDFs at %s dpi, %d rounds: median ratio %.3f (target <= 1.2)\n' \
  "${#files[@]}" "$dpi" "$rounds" "$median"
