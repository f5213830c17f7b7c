#!/usr/bin/env bash
# Times the page renderer with each engine against pdftoppm (and the MuPDF engine against mutool
# draw) on the shared PDFs in one run and prints the ratios of wall time, CPU-seconds, total PNG
# size and peak memory (per worker), and the cost of the renderer's confinement against the same
# renderer run unconfined. The tools take turns file by file, so that a change of load on the
# machine hits all alike.
# Usage: bench/pagerender/bench_pagerender.sh [RENDERER] [DPI] [PDF_FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
renderer=${1:-$root/build/bin/lib.dll}
dpi=${2:-150}
pdfs=${3:-$root/tests/data/pdfs}
workers=$(nproc)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The good PDFs only: the damaged and protected ones fail at once and would only add noise.
mapfile -t files < <(find "$pdfs" -maxdepth 1 -name '*.pdf' ! -name 'damaged_*' ! -name 'encrypted_*' | sort)
[ ${#files[@]} -gt 0 ] || { echo "no PDFs in $pdfs" >&2; exit 1; }

command -v mutool >/dev/null || { echo "no mutool (Debian package mupdf-tools)" >&2; exit 1; }

# The runs: the two peers, then lib.dll with each engine as it is, writing intermediate pages, and
# unconfined.
engines=(poppler mupdf)
names=(pdftoppm mutool)
for engine in "${engines[@]}"; do names+=("$engine" "$engine-intermediate" "$engine-unconfined"); done
declare -A seconds peak bytes pages cpu
for name in "${names[@]}"; do seconds[$name]=0 peak[$name]=0 bytes[$name]=0 pages[$name]=0 cpu[$name]=0; done

# Runs one tool on one file into a fresh folder and adds its time, CPU-seconds, peak memory, bytes
# and pages.
run() {
  local name=$1 pdf=$2 out=$work/$1 start end kib engine=${1%%-*}
  local measure=(/usr/bin/time -f '%M %U %S' -o "$work/mem")
  rm -rf "$out" && mkdir -p "$out"
  start=$(date +%s.%N)
  case $name in
    pdftoppm) "${measure[@]}" pdftoppm -png -r "$dpi" "$pdf" "$out/p" ;;
    mutool) "${measure[@]}" mutool draw -q -r "$dpi" -o "$out/page%d.png" "$pdf" 2>/dev/null ;;
    *-intermediate) QUILLAMAR_ENGINE=$engine QUILLAMAR_INTERMEDIATE_PNG=1 "${measure[@]}" \
      "$renderer" -o "$out/p_%d.png" -F png -r "$dpi" "$pdf" ;;
    *-unconfined) QUILLAMAR_ENGINE=$engine QUILLAMAR_RENDERER_UNCONFINED=1 "${measure[@]}" \
      "$renderer" -o "$out/p_%d.png" -F png -r "$dpi" "$pdf" ;;
    *) QUILLAMAR_ENGINE=$engine "${measure[@]}" "$renderer" -o "$out/p_%d.png" -F png -r "$dpi" "$pdf" ;;
  esac
  end=$(date +%s.%N)
  seconds[$name]=$(echo "${seconds[$name]} + $end - $start" | bc -l)
  read -r kib user system < <(tail -n 1 "$work/mem")
  cpu[$name]=$(echo "${cpu[$name]} + $user + $system" | bc -l)
  [ "$kib" -gt "${peak[$name]}" ] && peak[$name]=$kib
  bytes[$name]=$((${bytes[$name]} + $(du -sb "$out" | cut -f1)))
  pages[$name]=$((${pages[$name]} + $(find "$out" -name '*.png' | wc -l)))
}

for f in "${files[@]}"; do
  for name in "${names[@]}"; do run "$name" "$f"; done
done
for name in "${engines[@]}" mutool; do
  [ "${pages[$name]}" -eq "${pages[pdftoppm]}" ] ||
    echo "warning: $name wrote ${pages[$name]} pages, pdftoppm ${pages[pdftoppm]}" >&2
done

ratio() { echo "$1 / $2" | bc -l; }
printf 'files %d, pages %d (pdftoppm %d), %s dpi, %d workers, load average %s\n' \
  "${#files[@]}" "${pages[mupdf]}" "${pages[pdftoppm]}" "$dpi" "$workers" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-24s %9s %7s %9s %7s %12s %7s %10s %7s\n' '' 'wall s' ratio 'CPU s' ratio 'PNG bytes' \
  ratio 'peak KiB' /worker
# One line per run: its figures and their ratios to pdftoppm's (peak memory also per worker).
line() {
  local name=$1 label=$2
  printf '%-24s %9.2f %7.3f %9.2f %7.3f %12d %7.3f %10d %7.3f\n' "$label" "${seconds[$name]}" \
    "$(ratio "${seconds[$name]}" "${seconds[pdftoppm]}")" "${cpu[$name]}" \
    "$(ratio "${cpu[$name]}" "${cpu[pdftoppm]}")" "${bytes[$name]}" \
    "$(ratio "${bytes[$name]}" "${bytes[pdftoppm]}")" "${peak[$name]}" \
    "$(ratio "${peak[$name]}" "$((${peak[pdftoppm]} * workers))")"
}
line pdftoppm pdftoppm
line mutool 'mutool draw'
for engine in "${engines[@]}"; do
  line "$engine" "lib.dll $engine"
  line "$engine-intermediate" "  intermediate pages"
  line "$engine-unconfined" "  unconfined"
done
printf 'targets: wall <= 0.25, PNG bytes <= 1.2, peak per worker <= 1.5 (against pdftoppm)\n'
printf 'MuPDF engine against mutool draw: CPU-seconds ratio %.3f (target <= 1.2), wall %.3f\n' \
  "$(ratio "${cpu[mupdf]}" "${cpu[mutool]}")" "$(ratio "${seconds[mupdf]}" "${seconds[mutool]}")"
for engine in "${engines[@]}"; do
  printf 'confinement %s: wall time %.2f s against %.2f s unconfined (%s=1), ratio %.3f\n' \
    "$engine" "${seconds[$engine]}" "${seconds[$engine-unconfined]}" \
    QUILLAMAR_RENDERER_UNCONFINED "$(ratio "${seconds[$engine]}" "${seconds[$engine-unconfined]}")"
done
