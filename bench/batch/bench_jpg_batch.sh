#!/usr/bin/env bash
# A JPG batch through quillamar-cli, with each of its renderer's engines (--engine poppler and
# mupdf), against pdftoppm -jpeg -jpegopt quality=90, all measured in the same run, taking turns in
# each round (best of ROUNDS rounds):
#  1. the shared PDFs at each resolution of DPIS, pdftoppm once per PDF: ratios of wall times and
#     of CPU-seconds (all processes);
#  2. 50 copies of a one-page PDF at 72 and 150 dpi against pdftoppm on two PDFs at a time
#     (xargs -P 2): ratio of wall times, and that of lib.dll alone run the same way (the share of
#     the rendering; the rest is the re-encoding);
#  3. one huge page (vector_poster_A3_1p.pdf at 1200 dpi): ratio of wall times and of the peak
#     resident memory of all processes, sampled by sample_peak (beside the CLI);
#  4. one long PDF alone (LONG_PDF at 150 dpi, no other PDF to render ahead): ratios of wall times
#     and CPU-seconds, and those of lib.dll alone on it writing intermediate pages (the rendering's
#     share; the rest is the run's reading and re-encoding, and the waits of its pacing).
# Then, also by sample_peak, the peak size of the intermediate files in the output folder for a
# generated 400-page Letter PDF at 150 and 600 dpi, and the peak resident memory of the CLI and
# its renderer for 6 Letter pages at 600 dpi with -j 16. The last line gives the machine's load:
# other work on it makes the ratios less telling.
# Usage: bench/batch/bench_jpg_batch.sh [CLI] [DPIS] [PDF_FOLDER] [ROUNDS] [LONG_PAGES] [LONG_PDF]
#   DPIS: resolutions of step 1, e.g. "150 300" (the default)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${1:-$root/build/bin/quillamar-cli}
dpis=${2:-150 300}
pdfs=${3:-$root/tests/data/pdfs}
rounds=${4:-2}
long_pages=${5:-400}
long_pdf=${6:-$pdfs/long_lecture_notes_117p.pdf}
engines=(poppler mupdf)
sampler=$(dirname "$cli")/sample_peak
renderer=$(cd "$(dirname "$cli")" && pwd)/lib.dll
one_page_pdf=$pdfs/text_googledocs_1p.pdf
huge_pdf=$pdfs/vector_poster_A3_1p.pdf
copies=50
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -x "$cli" ] || { echo "no $cli: build quillamar-cli first" >&2; exit 1; }
pdftoppm=$(command -v pdftoppm) || { echo "no pdftoppm (Debian package poppler-utils)" >&2; exit 1; }
[ -x "$sampler" ] || { echo "no $sampler: build the target sample_peak" >&2; exit 1; }
mapfile -t files < <(find "$pdfs" -maxdepth 1 -name '*.pdf' | sort)
[ ${#files[@]} -gt 0 ] || { echo "no PDFs in $pdfs" >&2; exit 1; }

now() { date +%s.%N; }
ratio() { echo "$1 / $2" | bc -l; }
# The smaller of the named variable's value and the given one (the value itself in round 1).
keep_least() {
  if [ "$round" -eq 1 ] || (($(echo "$2 < ${!1}" | bc -l))); then printf -v "$1" '%s' "$2"; fi
}

# CPU-seconds (user + system) of a command and all its children, added to the named variable.
cpu_of() {
  local var=$1 out
  shift
  out=$(mktemp)
  /usr/bin/time -f '%U %S' -o "$out" "$@" || true
  printf -v "$var" '%s' "$(echo "${!var} + $(tail -n 1 "$out" | sed 's/ / + /')" | bc -l)"
  rm -f "$out"
}

# Both tools get every PDF, the damaged and protected ones included; each reports those its way.
run_pdftoppm() {
  local out=$1 dpi=$2 i=0
  for f in "${files[@]}"; do
    i=$((i + 1))
    mkdir -p "$out/$i"
    cpu_of ref_cpu "$pdftoppm" -jpeg -jpegopt quality=90 -r "$dpi" "$f" "$out/$i/p" 2>/dev/null
  done
}

# Exit status 3 says that some PDFs failed, as the damaged ones must; anything else is a fault.
check_status() {
  [ "$1" -eq 0 ] || [ "$1" -eq 3 ] || { echo "quillamar-cli exited $1" >&2; exit 1; }
}

# quillamar-cli with the engine on the PDFs into out; its CPU-seconds into our_cpu.
run_ours() {
  local out=$1 dpi=$2 engine=$3 status=0
  shift 3
  our_cpu=0
  cpu_of our_cpu "$cli" --engine "$engine" -f JPG -r "$dpi" -o "$out" "$@" >/dev/null 2>&1 ||
    status=$?
  check_status "$status"
}

# Runs a command and sets the named variable to its wall time.
timed() {
  local var=$1 start
  shift
  start=$(now)
  "$@"
  printf -v "$var" '%s' "$(echo "$(now) - $start" | bc -l)"
}

# The lines of one measure: pdftoppm's figure, then each engine's with its ratio and the target.
engine_lines() {
  local what=$1 unit=$2 ref=$3 target=$4 engine
  shift 4
  printf '  %-11s pdftoppm %8.2f %-2s' "$what" "$ref" "$unit"
  for engine in "${engines[@]}"; do
    printf ' | %-7s %8.2f %-2s ratio %.3f' "$engine" "$1" "$unit" "$(ratio "$1" "$ref")"
    shift
  done
  printf '  (target <= %s)\n' "$target"
}

shared_pdfs() {
  local dpi=$1 round ref our ref_cpu engine
  local best_ref=0 best_ref_cpu=0
  declare -A best_our best_our_cpu
  for round in $(seq "$rounds"); do
    rm -rf "$work/ref" "$work/ours"
    ref_cpu=0
    timed ref run_pdftoppm "$work/ref" "$dpi"
    keep_least best_ref "$ref"
    keep_least best_ref_cpu "$ref_cpu"
    for engine in "${engines[@]}"; do
      rm -rf "$work/ours"
      timed our run_ours "$work/ours" "$dpi" "$engine" "${files[@]}"
      keep_least "best_our[$engine]" "$our"
      keep_least "best_our_cpu[$engine]" "$our_cpu"
    done
  done
  printf 'shared      %d PDFs at %s dpi: quillamar-cli %d JPEG (%d PNG left), pdftoppm %d JPEG\n' \
    "${#files[@]}" "$dpi" "$(find "$work/ours" -name '*.jpg' | wc -l)" \
    "$(find "$work/ours" -name '*.png' | wc -l)" "$(find "$work/ref" -name '*.jpg' | wc -l)"
  engine_lines 'wall time' s "$best_ref" '0.42 mupdf' "${best_our[poppler]}" "${best_our[mupdf]}"
  engine_lines 'CPU-seconds' s "$best_ref_cpu" '0.75 mupdf' "${best_our_cpu[poppler]}" \
    "${best_our_cpu[mupdf]}"
}

# The renderer alone on every copy, two at a time as pdftoppm, writing intermediate pages: what
# the run would take if re-encoding cost nothing.
run_renderer_alone() {
  local out=$1 dpi=$2 engine=$3
  mkdir -p "$out"
  (cd "$work/copies" && ls ./*.pdf | QUILLAMAR_ENGINE=$engine QUILLAMAR_INTERMEDIATE_PNG=1 \
    QUILLAMAR_WORKERS=1 xargs -P 2 -I{} "$renderer" -o "$out/{}-%d.png" -F png -r "$dpi" {})
}

# pdftoppm on every copy, two at a time.
run_pdftoppm_copies() {
  mkdir -p "$work/ref"
  (cd "$work/copies" && ls ./*.pdf | xargs -P 2 -I{} "$pdftoppm" -jpeg -jpegopt quality=90 \
    -r "$1" {} "$work/ref/{}")
}

# Many one-page PDFs: the cost of each renderer's start, against pdftoppm two at a time.
copies_of_one_page() {
  local dpi=$1 round ref our alone engine best_ref=0
  declare -A best_our best_alone
  mkdir -p "$work/copies"
  for i in $(seq "$copies"); do cp "$one_page_pdf" "$work/copies/copy_$i.pdf"; done
  for round in $(seq "$rounds"); do
    rm -rf "$work/ref"
    timed ref run_pdftoppm_copies "$dpi"
    keep_least best_ref "$ref"
    for engine in "${engines[@]}"; do
      rm -rf "$work/ours" "$work/alone"
      timed our run_ours "$work/ours" "$dpi" "$engine" "$work/copies"
      timed alone run_renderer_alone "$work/alone" "$dpi" "$engine"
      keep_least "best_our[$engine]" "$our"
      keep_least "best_alone[$engine]" "$alone"
    done
  done
  printf 'copies      %d one-page PDFs at %d dpi, pdftoppm -P 2:\n' "$copies" "$dpi"
  engine_lines 'wall time' s "$best_ref" 0.7 "${best_our[poppler]}" "${best_our[mupdf]}"
  engine_lines 'rendering' s "$best_ref" '-, lib.dll alone -P 2' "${best_alone[poppler]}" \
    "${best_alone[mupdf]}"
  rm -rf "$work/copies"
}

# The value of field name=N in a sample_peak line.
field() { sed "s/.*$1=\([0-9.]*\).*/\1/" <<<"$2"; }

# One huge page: wall time and the peak memory of every process, both tools sampled alike.
huge_page() {
  local dpi=1200 round start ref our line ref_mb our_mb engine best_ref=0 best_ref_mb=0
  declare -A best_our best_our_mb
  for round in $(seq "$rounds"); do
    rm -rf "$work/ref"
    mkdir -p "$work/ref"
    start=$(now)
    line=$("$sampler" "$work/ref" "$pdftoppm" -jpeg -jpegopt quality=90 -r "$dpi" "$huge_pdf" \
      "$work/ref/p")
    ref=$(echo "$(now) - $start" | bc -l)
    keep_least best_ref "$ref"
    keep_least best_ref_mb "$(field peak_rss_mb "$line")"
    for engine in "${engines[@]}"; do
      rm -rf "$work/ours"
      start=$(now)
      line=$("$sampler" "$work/ours" "$cli" --engine "$engine" -f JPG -r "$dpi" -o "$work/ours" \
        "$huge_pdf")
      our=$(echo "$(now) - $start" | bc -l)
      check_status "$(field status "$line")"
      keep_least "best_our[$engine]" "$our"
      keep_least "best_our_mb[$engine]" "$(field peak_rss_mb "$line")"
    done
  done
  printf 'huge page   %s at %d dpi:\n' "$(basename "$huge_pdf")" "$dpi"
  engine_lines 'wall time' s "$best_ref" 1.0 "${best_our[poppler]}" "${best_our[mupdf]}"
  engine_lines 'peak memory' MB "$best_ref_mb" 1.3 "${best_our_mb[poppler]}" "${best_our_mb[mupdf]}"
}

# One long PDF alone, the most common job: no other PDF keeps the cores busy while its pages are
# rendered. The renderer alone shows how much of the CPU and the wall time the rendering takes;
# the rest is the run's reading and re-encoding and the renderer's waits behind the pacing window.
long_pdf_alone() {
  local dpi=150 round ref ref_cpu our our_cpu alone alone_cpu engine best_ref=0 best_ref_cpu=0
  declare -A best_our best_our_cpu best_alone best_alone_cpu
  for round in $(seq "$rounds"); do
    rm -rf "$work/ref"
    mkdir -p "$work/ref"
    ref_cpu=0
    timed ref cpu_of ref_cpu "$pdftoppm" -jpeg -jpegopt quality=90 -r "$dpi" "$long_pdf" \
      "$work/ref/p"
    keep_least best_ref "$ref"
    keep_least best_ref_cpu "$ref_cpu"
    for engine in "${engines[@]}"; do
      rm -rf "$work/ours" "$work/alone"
      timed our run_ours "$work/ours" "$dpi" "$engine" "$long_pdf"
      # lib.dll as the run starts it, but unpaced, writing intermediate pages.
      mkdir -p "$work/alone"
      alone_cpu=0
      timed alone cpu_of alone_cpu env QUILLAMAR_ENGINE="$engine" QUILLAMAR_INTERMEDIATE_PNG=1 \
        "$renderer" -o "$work/alone/p_%d.png" -F png -r "$dpi" "$long_pdf"
      keep_least "best_our[$engine]" "$our"
      keep_least "best_our_cpu[$engine]" "$our_cpu"
      keep_least "best_alone[$engine]" "$alone"
      keep_least "best_alone_cpu[$engine]" "$alone_cpu"
    done
  done
  printf 'long PDF    %s alone at %d dpi:\n' "$(basename "$long_pdf")" "$dpi"
  engine_lines 'wall time' s "$best_ref" 0.6 "${best_our[poppler]}" "${best_our[mupdf]}"
  engine_lines 'CPU-seconds' s "$best_ref_cpu" - "${best_our_cpu[poppler]}" "${best_our_cpu[mupdf]}"
  engine_lines 'rendering' s "$best_ref" '-, lib.dll alone, wall' "${best_alone[poppler]}" \
    "${best_alone[mupdf]}"
  engine_lines 'rendering' s "$best_ref_cpu" '-, lib.dll alone, CPU' "${best_alone_cpu[poppler]}" \
    "${best_alone_cpu[mupdf]}"
}

printf 'machine     %d cores, best of %d rounds, load average %s\n' "$(nproc)" "$rounds" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
for dpi in $dpis; do shared_pdfs "$dpi"; done
for dpi in 72 150; do copies_of_one_page "$dpi"; done
huge_page
long_pdf_alone

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

export LC_ALL=C  # byte offsets in letter_pdf
letter_pdf "$long_pages" "$work/long.pdf"
letter_pdf 6 "$work/six.pdf"
page_mb() { echo "612 * 792 * $1 * $1 / 5184 * 3 / 1048576" | bc -l; }  # an uncompressed RGB page
for long_dpi in 150 600; do
  rm -rf "$work/long"
  line=$("$sampler" "$work/long" "$cli" -f JPG -r "$long_dpi" -o "$work/long" "$work/long.pdf")
  peak=$(field peak_intermediate_mb "$line")
  printf 'disk        %d pages at %d dpi: intermediate files peak %8.1f MB = %.1f pages of %.1f MB (target <= 8)   [%s]\n' \
    "$long_pages" "$long_dpi" "$peak" "$(echo "$peak / $(page_mb "$long_dpi")" | bc -l)" \
    "$(page_mb "$long_dpi")" "$line"
done
rm -rf "$work/six"
line=$("$sampler" "$work/six" "$cli" -j 16 -f JPG -r 600 -o "$work/six" "$work/six.pdf")
printf 'memory      6 pages at 600 dpi, -j 16: peak resident memory of all processes %s MB (target <= 500)   [%s]\n' \
  "$(field peak_rss_mb "$line")" "$line"
printf 'machine     load average %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
