#!/usr/bin/env bash
# Times the page renderer against pdftoppm on the shared PDFs in one run and prints the ratios of
# wall time, total PNG size and peak memory (per worker), and the cost of the renderer's
# confinement against the same renderer run unconfined. The tools take turns file by file, so that
# a change of load on the machine hits all alike.
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

declare -A seconds=([pdftoppm]=0 [ours]=0 [intermediate]=0 [unconfined]=0)
declare -A peak=([pdftoppm]=0 [ours]=0 [intermediate]=0 [unconfined]=0)
declare -A bytes=([pdftoppm]=0 [ours]=0 [intermediate]=0 [unconfined]=0)
declare -A pages=([pdftoppm]=0 [ours]=0 [intermediate]=0 [unconfined]=0)

# Runs one tool on one file into a fresh folder and adds its time, peak memory, bytes and pages.
run() {
  local name=$1 pdf=$2 out=$work/$1 start end kib
  rm -rf "$out" && mkdir -p "$out"
  start=$(date +%s.%N)
  case $name in
    pdftoppm) /usr/bin/time -f %M -o "$work/mem" pdftoppm -png -r "$dpi" "$pdf" "$out/p" ;;
    ours) /usr/bin/time -f %M -o "$work/mem" "$renderer" -o "$out/p_%d.png" -F png -r "$dpi" "$pdf" ;;
    intermediate) QUILLAMAR_INTERMEDIATE_PNG=1 /usr/bin/time -f %M -o "$work/mem" \
      "$renderer" -o "$out/p_%d.png" -F png -r "$dpi" "$pdf" ;;
    unconfined) QUILLAMAR_RENDERER_UNCONFINED=1 /usr/bin/time -f %M -o "$work/mem" \
      "$renderer" -o "$out/p_%d.png" -F png -r "$dpi" "$pdf" ;;
  esac
  end=$(date +%s.%N)
  seconds[$name]=$(echo "${seconds[$name]} + $end - $start" | bc -l)
  kib=$(tail -n 1 "$work/mem")
  [ "$kib" -gt "${peak[$name]}" ] && peak[$name]=$kib
  bytes[$name]=$((${bytes[$name]} + $(du -sb "$out" | cut -f1)))
  pages[$name]=$((${pages[$name]} + $(find "$out" -name '*.png' | wc -l)))
}

for f in "${files[@]}"; do
  for name in pdftoppm ours intermediate unconfined; do run "$name" "$f"; done
done
[ "${pages[ours]}" -eq "${pages[pdftoppm]}" ] ||
  echo "warning: lib.dll wrote ${pages[ours]} pages, pdftoppm ${pages[pdftoppm]}" >&2

ratio() { echo "$1 / $2" | bc -l; }
printf 'files %d, pages %d (pdftoppm %d), %s dpi, %d workers\n' \
  "${#files[@]}" "${pages[ours]}" "${pages[pdftoppm]}" "$dpi" "$workers"
printf 'wall time   lib.dll %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 0.25)\n' \
  "${seconds[ours]}" "${seconds[pdftoppm]}" "$(ratio "${seconds[ours]}" "${seconds[pdftoppm]}")"
printf 'PNG bytes   lib.dll %10d   pdftoppm %10d   ratio %.3f (target <= 1.2)\n' \
  "${bytes[ours]}" "${bytes[pdftoppm]}" "$(ratio "${bytes[ours]}" "${bytes[pdftoppm]}")"
printf 'peak memory lib.dll %8d KiB pdftoppm %8d KiB ratio %.3f, per worker %.3f (target <= 1.5)\n' \
  "${peak[ours]}" "${peak[pdftoppm]}" "$(ratio "${peak[ours]}" "${peak[pdftoppm]}")" \
  "$(ratio "${peak[ours]}" "$((${peak[pdftoppm]} * workers))")"
printf 'intermediate pages (%s=1): wall time %.2f s, ratio %.3f; %d bytes; peak %d KiB\n' \
  QUILLAMAR_INTERMEDIATE_PNG "${seconds[intermediate]}" \
  "$(ratio "${seconds[intermediate]}" "${seconds[pdftoppm]}")" "${bytes[intermediate]}" \
  "${peak[intermediate]}"
printf 'confinement: wall time %.2f s against %.2f s unconfined (%s=1), ratio %.3f\n' \
  "${seconds[ours]}" "${seconds[unconfined]}" QUILLAMAR_RENDERER_UNCONFINED \
  "$(ratio "${seconds[ours]}" "${seconds[unconfined]}")"
