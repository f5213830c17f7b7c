#!/usr/bin/env bash
# Times a whole JPG batch of the shared PDFs through quillamar-cli against pdftoppm -jpeg (one
# process per PDF) in one run, and prints the ratio of wall times.
# Usage: bench/batch/bench_jpg_batch.sh [CLI] [DPI] [PDF_FOLDER] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${1:-$root/build/bin/quillamar-cli}
dpi=${2:-150}
pdfs=${3:-$root/../shared/testdata/pdfs}
rounds=${4:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -x "$cli" ] || { echo "no $cli: build quillamar-cli first" >&2; exit 1; }
command -v pdftoppm >/dev/null || { echo "no pdftoppm (Debian package poppler-utils)" >&2; exit 1; }
mapfile -t files < <(find "$pdfs" -maxdepth 1 -name '*.pdf' | sort)
[ ${#files[@]} -gt 0 ] || { echo "no PDFs in $pdfs" >&2; exit 1; }

now() { date +%s.%N; }

# Both tools get every PDF, the damaged and protected ones included; each reports those its way.
run_pdftoppm() {
  local out=$1 i=0
  for f in "${files[@]}"; do
    i=$((i + 1))
    mkdir -p "$out/$i"
    pdftoppm -jpeg -jpegopt quality=90 -r "$dpi" "$f" "$out/$i/p" 2>/dev/null || true
  done
}

run_ours() {
  local out=$1 status=0
  "$cli" -f JPG -r "$dpi" -o "$out" "${files[@]}" >/dev/null 2>&1 || status=$?
  # 3 says that some PDFs failed, as the damaged ones must; anything else is a fault.
  [ "$status" -eq 0 ] || [ "$status" -eq 3 ] || { echo "quillamar-cli exited $status" >&2; exit 1; }
}

# The best of several rounds, the two tools taking turns so that both see the same machine.
best_ref=0 best_our=0
for round in $(seq "$rounds"); do
  rm -rf "$work/ref" "$work/ours"
  start=$(now); run_pdftoppm "$work/ref"; ref=$(echo "$(now) - $start" | bc -l)
  start=$(now); run_ours "$work/ours"; our=$(echo "$(now) - $start" | bc -l)
  if [ "$round" -eq 1 ] || (($(echo "$ref < $best_ref" | bc -l))); then best_ref=$ref; fi
  if [ "$round" -eq 1 ] || (($(echo "$our < $best_our" | bc -l))); then best_our=$our; fi
done

ref_pages=$(find "$work/ref" -name '*.jpg' | wc -l)
our_pages=$(find "$work/ours" -name '*.jpg' | wc -l)
left_png=$(find "$work/ours" -name '*.png' | wc -l)
printf 'files %d, %s dpi, %d cores, best of %d rounds\n' "${#files[@]}" "$dpi" "$(nproc)" "$rounds"
printf 'pages       quillamar-cli %6d JPEG (%d PNG left)   pdftoppm %6d JPEG\n' "$our_pages" "$left_png" "$ref_pages"
printf 'wall time   quillamar-cli %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 1.0)\n' \
  "$best_our" "$best_ref" "$(echo "$best_our / $best_ref" | bc -l)"
