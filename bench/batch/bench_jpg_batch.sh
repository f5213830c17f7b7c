#!/usr/bin/env bash
# Times a whole JPG batch of the shared PDFs through quillamar-cli against pdftoppm -jpeg (one
# process per PDF) in one run, and prints the ratios of wall times and CPU-seconds. Then, sampled
# by sample_peak (beside the CLI), the peak size of the intermediate files in the output folder
# for a generated 400-page Letter PDF at 150 and 600 dpi, and the peak resident memory of the CLI
# and its renderer for 6 Letter pages at 600 dpi with -j 16.
# Usage: bench/batch/bench_jpg_batch.sh [CLI] [DPI] [PDF_FOLDER] [ROUNDS] [LONG_PAGES]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${1:-$root/build/bin/quillamar-cli}
dpi=${2:-150}
pdfs=${3:-$root/../shared/testdata/pdfs}
rounds=${4:-3}
long_pages=${5:-400}
sampler=$(dirname "$cli")/sample_peak
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -x "$cli" ] || { echo "no $cli: build quillamar-cli first" >&2; exit 1; }
command -v pdftoppm >/dev/null || { echo "no pdftoppm (Debian package poppler-utils)" >&2; exit 1; }
mapfile -t files < <(find "$pdfs" -maxdepth 1 -name '*.pdf' | sort)
[ ${#files[@]} -gt 0 ] || { echo "no PDFs in $pdfs" >&2; exit 1; }

now() { date +%s.%N; }

# CPU-seconds (user + system) of a command and all its children, added to the named variable.
cpu_of() {
  local var=$1 out
  shift
  out=$(mktemp)
  /usr/bin/time -f '%U %S' -o "$out" "$@"
  printf -v "$var" '%s' "$(echo "${!var} + $(sed 's/ / + /' "$out")" | bc -l)"
  rm -f "$out"
}

# Both tools get every PDF, the damaged and protected ones included; each reports those its way.
run_pdftoppm() {
  local out=$1 i=0
  for f in "${files[@]}"; do
    i=$((i + 1))
    mkdir -p "$out/$i"
    cpu_of ref_cpu pdftoppm -jpeg -jpegopt quality=90 -r "$dpi" "$f" "$out/$i/p" 2>/dev/null || true
  done
}

run_ours() {
  local out=$1 status=0
  cpu_of our_cpu "$cli" -f JPG -r "$dpi" -o "$out" "${files[@]}" >/dev/null 2>&1 || status=$?
  # 3 says that some PDFs failed, as the damaged ones must; anything else is a fault.
  [ "$status" -eq 0 ] || [ "$status" -eq 3 ] || { echo "quillamar-cli exited $status" >&2; exit 1; }
}

# The best of several rounds, the two tools taking turns so that both see the same machine.
best_ref=0 best_our=0 best_ref_cpu=0 best_our_cpu=0
for round in $(seq "$rounds"); do
  rm -rf "$work/ref" "$work/ours"
  ref_cpu=0 our_cpu=0
  start=$(now); run_pdftoppm "$work/ref"; ref=$(echo "$(now) - $start" | bc -l)
  start=$(now); run_ours "$work/ours"; our=$(echo "$(now) - $start" | bc -l)
  if [ "$round" -eq 1 ] || (($(echo "$ref < $best_ref" | bc -l))); then best_ref=$ref; fi
  if [ "$round" -eq 1 ] || (($(echo "$our < $best_our" | bc -l))); then best_our=$our; fi
  if [ "$round" -eq 1 ] || (($(echo "$ref_cpu < $best_ref_cpu" | bc -l))); then best_ref_cpu=$ref_cpu; fi
  if [ "$round" -eq 1 ] || (($(echo "$our_cpu < $best_our_cpu" | bc -l))); then best_our_cpu=$our_cpu; fi
done

ref_pages=$(find "$work/ref" -name '*.jpg' | wc -l)
our_pages=$(find "$work/ours" -name '*.jpg' | wc -l)
left_png=$(find "$work/ours" -name '*.png' | wc -l)
printf 'files %d, %s dpi, %d cores, best of %d rounds\n' "${#files[@]}" "$dpi" "$(nproc)" "$rounds"
printf 'pages       quillamar-cli %6d JPEG (%d PNG left)   pdftoppm %6d JPEG\n' "$our_pages" "$left_png" "$ref_pages"
printf 'wall time   quillamar-cli %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 1.0)\n' \
  "$best_our" "$best_ref" "$(echo "$best_our / $best_ref" | bc -l)"
printf 'CPU-seconds quillamar-cli %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 2.0)\n' \
  "$best_our_cpu" "$best_ref_cpu" "$(echo "$best_our_cpu / $best_ref_cpu" | bc -l)"

# A Letter PDF of N pages, each with a line of text and a grey band, written by hand.
letter_pdf() {
  local pages=$1 file=$2 body="" offsets=() i object=3 kids="" stream
  body+="%PDF-1.4"$'\n'
  offsets[1]=${#body}; body+="1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj"$'\n'
  for ((i = 0; i < pages; i++)); do kids+="$((3 + 2 * i)) 0 R "; done
  offsets[2]=${#body}
  body+="2 0 obj << /Type /Pages /Count $pages /Kids [ $kids] >> endobj"$'\n'
  for ((i = 1; i <= pages; i++)); do
    stream="0.8 g 72 600 468 40 re f 0 g BT /F1 24 Tf 72 700 Td (Page $i of a long manual) Tj ET"
    offsets[object]=${#body}
    body+="$object 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents $((object + 1)) 0 R"
    body+=" /Resources << /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >> >> endobj"$'\n'
    offsets[object + 1]=${#body}
    body+="$((object + 1)) 0 obj << /Length ${#stream} >> stream"$'\n'"$stream"$'\n'"endstream endobj"$'\n'
    object=$((object + 2))
  done
  local xref=${#body}
  body+="xref"$'\n'"0 $object"$'\n'"0000000000 65535 f "$'\n'
  for ((i = 1; i < object; i++)); do body+=$(printf '%010d 00000 n \n' "${offsets[i]}")$'\n'; done
  body+="trailer << /Size $object /Root 1 0 R >>"$'\n'"startxref"$'\n'"$xref"$'\n'"%%EOF"$'\n'
  printf '%s' "$body" >"$file"
}

if [ ! -x "$sampler" ]; then
  echo "no $sampler: build the target sample_peak for the disk and memory figures" >&2
  exit 0
fi
export LC_ALL=C  # byte offsets in letter_pdf
letter_pdf "$long_pages" "$work/long.pdf"
letter_pdf 6 "$work/six.pdf"
page_mb() { echo "612 * 792 * $1 * $1 / 5184 * 3 / 1048576" | bc -l; }  # an uncompressed RGB page
for long_dpi in 150 600; do
  rm -rf "$work/long"
  line=$("$sampler" "$work/long" "$cli" -f JPG -r "$long_dpi" -o "$work/long" "$work/long.pdf")
  peak=$(sed 's/.*peak_intermediate_mb=\([0-9.]*\).*/\1/' <<<"$line")
  printf 'disk        %d pages at %d dpi: intermediate files peak %8.1f MB = %.1f pages of %.1f MB (target <= 8)   [%s]\n' \
    "$long_pages" "$long_dpi" "$peak" "$(echo "$peak / $(page_mb "$long_dpi")" | bc -l)" \
    "$(page_mb "$long_dpi")" "$line"
done
rm -rf "$work/six"
line=$("$sampler" "$work/six" "$cli" -j 16 -f JPG -r 600 -o "$work/six" "$work/six.pdf")
printf 'memory      6 pages at 600 dpi, -j 16: peak resident memory of all processes %s MB (target <= 500)   [%s]\n' \
  "$(sed 's/.*peak_rss_mb=\([0-9]*\).*/\1/' <<<"$line")" "$line"
printf 'machine     load average %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
