#!/usr/bin/env bash
# Times the page renderer against pdftoppm on the shared PDFs in one run and prints the ratios of
# wall time, total PNG size and peak memory (per worker).
# Usage: bench/pagerender/bench_pagerender.sh [RENDERER] [DPI] [PDF_FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
renderer=${1:-$root/build/bin/lib.dll}
dpi=${2:-150}
pdfs=${3:-$root/../shared/testdata/pdfs}
workers=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The good PDFs only: the damaged and protected ones fail at once and would only add noise.
mapfile -t files < <(find "$pdfs" -maxdepth 1 -name '*.pdf' ! -name 'damaged_*' ! -name 'encrypted_*' | sort)
[ ${#files[@]} -gt 0 ] || { echo "no PDFs in $pdfs" >&2; exit 1; }

# Runs one tool over every file; prints "seconds peak_kib bytes".
measure() {
  local name=$1 out=$work/$1 peak=0 start end kib i=0
  mkdir -p "$out"
  start=$(date +%s.%N)
  for f in "${files[@]}"; do
    i=$((i + 1))
    mkdir -p "$out/$i"
    case $name in
      pdftoppm) /usr/bin/time -f %M -o "$work/mem" pdftoppm -png -r "$dpi" "$f" "$out/$i/p" ;;
      ours) /usr/bin/time -f %M -o "$work/mem" "$renderer" -o "$out/$i/p_%d.png" -F png -r "$dpi" "$f" ;;
      intermediate) QUILLAMAR_INTERMEDIATE_PNG=1 /usr/bin/time -f %M -o "$work/mem" \
        "$renderer" -o "$out/$i/p_%d.png" -F png -r "$dpi" "$f" ;;
    esac
    kib=$(tail -n 1 "$work/mem")
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc -l) $peak $(du -sb "$out" | cut -f1)"
}

read -r ref_s ref_kib ref_bytes < <(measure pdftoppm)
read -r our_s our_kib our_bytes < <(measure ours)
ref_pages=$(find "$work/pdftoppm" -name '*.png' | wc -l)
our_pages=$(find "$work/ours" -name '*.png' | wc -l)
rm -rf "$work/ours"  # keep the disk use of the run small
read -r mid_s mid_kib mid_bytes < <(measure intermediate)
[ "$our_pages" -eq "$ref_pages" ] || echo "warning: lib.dll wrote $our_pages pages, pdftoppm $ref_pages" >&2

printf 'files %d, pages %d (pdftoppm %d), %s dpi, %d workers\n' "${#files[@]}" "$our_pages" "$ref_pages" "$dpi" "$workers"
printf 'wall time   lib.dll %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 0.25)\n' "$our_s" "$ref_s" "$(echo "$our_s / $ref_s" | bc -l)"
printf 'intermediate pages (QUILLAMAR_INTERMEDIATE_PNG=1) %8.2f s, ratio %.3f; %d bytes, peak %d KiB\n' \
  "$mid_s" "$(echo "$mid_s / $ref_s" | bc -l)" "$mid_bytes" "$mid_kib"
printf 'PNG bytes   lib.dll %10d   pdftoppm %10d   ratio %.3f (target <= 1.2)\n' "$our_bytes" "$ref_bytes" "$(echo "$our_bytes / $ref_bytes" | bc -l)"
printf 'peak memory lib.dll %8d KiB pdftoppm %8d KiB ratio %.3f, per worker %.3f (target <= 1.5)\n' \
  "$our_kib" "$ref_kib" "$(echo "$our_kib / $ref_kib" | bc -l)" "$(echo "$our_kib / $ref_kib / $workers" | bc -l)"
