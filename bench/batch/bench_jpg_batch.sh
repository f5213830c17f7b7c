#!/usr/bin/env bash
# A JPG batch through quillamar-cli against pdftoppm -jpeg -jpegopt quality=90, both measured in
# the same run, the two taking turns in each round (best of ROUNDS rounds):
#  1. the shared PDFs at each resolution of DPIS, pdftoppm once per PDF: ratios of wall times and
#     of CPU-seconds (all processes);
#  2. 50 copies of a one-page PDF at 72 and 150 dpi against pdftoppm on two PDFs at a time
#     (xargs -P 2): ratio of wall times, and that of lib.dll alone run the same way (the share of
#     the rendering; the rest is the re-encoding);
#  3. one huge page (vector_poster_A3_1p.pdf at 1200 dpi): ratio of wall times and of the peak
#     resident memory of all processes, sampled by sample_peak (beside the CLI).
# Then, also by sample_peak, the peak size of the intermediate files in the output folder for a
# generated 400-page Letter PDF at 150 and 600 dpi, and the peak resident memory of the CLI and
# its renderer for 6 Letter pages at 600 dpi with -j 16. The last line gives the machine's load:
# other work on it makes the ratios less telling.
# Usage: bench/batch/bench_jpg_batch.sh [CLI] [DPIS] [PDF_FOLDER] [ROUNDS] [LONG_PAGES]
#   DPIS: resolutions of part 1, e.g. "150 300" (the default)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cli=${1:-$root/build/bin/quillamar-cli}
dpis=${2:-150 300}
pdfs=${3:-$root/../shared/testdata/pdfs}
rounds=${4:-2}
long_pages=${5:-400}
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

run_ours() {
  local out=$1 dpi=$2 status=0 times
  times=$(mktemp)
  /usr/bin/time -f '%U %S' -o "$times" "$cli" -f JPG -r "$dpi" -o "$out" "${files[@]}" \
    >/dev/null 2>&1 || status=$?
  check_status "$status"
  our_cpu=$(tail -n 1 "$times" | sed 's/ / + /' | bc -l)
  rm -f "$times"
}

shared_pdfs() {
  local dpi=$1 round start ref our ref_cpu our_cpu
  local best_ref=0 best_our=0 best_ref_cpu=0 best_our_cpu=0
  for round in $(seq "$rounds"); do
    rm -rf "$work/ref" "$work/ours"
    ref_cpu=0
    start=$(now); run_pdftoppm "$work/ref" "$dpi"; ref=$(echo "$(now) - $start" | bc -l)
    start=$(now); run_ours "$work/ours" "$dpi"; our=$(echo "$(now) - $start" | bc -l)
    keep_least best_ref "$ref"
    keep_least best_our "$our"
    keep_least best_ref_cpu "$ref_cpu"
    keep_least best_our_cpu "$our_cpu"
  done
  printf 'shared      %d PDFs at %s dpi: quillamar-cli %d JPEG (%d PNG left), pdftoppm %d JPEG\n' \
    "${#files[@]}" "$dpi" "$(find "$work/ours" -name '*.jpg' | wc -l)" \
    "$(find "$work/ours" -name '*.png' | wc -l)" "$(find "$work/ref" -name '*.jpg' | wc -l)"
  printf '  wall time   quillamar-cli %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 0.6)\n' \
    "$best_our" "$best_ref" "$(ratio "$best_our" "$best_ref")"
  printf '  CPU-seconds quillamar-cli %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 1.2)\n' \
    "$best_our_cpu" "$best_ref_cpu" "$(ratio "$best_our_cpu" "$best_ref_cpu")"
}

# The renderer alone on every copy, two at a time as pdftoppm, writing intermediate pages: what
# the run would take if re-encoding cost nothing.
run_renderer_alone() {
  local out=$1 dpi=$2
  mkdir -p "$out"
  (cd "$work/copies" && ls ./*.pdf | QUILLAMAR_INTERMEDIATE_PNG=1 QUILLAMAR_WORKERS=1 xargs -P 2 \
    -I{} "$renderer" -o "$out/{}-%d.png" -F png -r "$dpi" {})
}

# Many one-page PDFs: the cost of each renderer's start, against pdftoppm two at a time.
copies_of_one_page() {
  local dpi=$1 round start ref our alone status best_ref=0 best_our=0 best_alone=0
  mkdir -p "$work/copies"
  for i in $(seq "$copies"); do cp "$one_page_pdf" "$work/copies/copy_$i.pdf"; done
  for round in $(seq "$rounds"); do
    rm -rf "$work/ref" "$work/ours"
    mkdir -p "$work/ref"
    start=$(now)
    (cd "$work/copies" && ls ./*.pdf | xargs -P 2 -I{} "$pdftoppm" -jpeg -jpegopt quality=90 \
      -r "$dpi" {} "$work/ref/{}")
    ref=$(echo "$(now) - $start" | bc -l)
    start=$(now)
    status=0
    "$cli" -f JPG -r "$dpi" -o "$work/ours" "$work/copies" >/dev/null 2>&1 || status=$?
    check_status "$status"
    our=$(echo "$(now) - $start" | bc -l)
    rm -rf "$work/alone"
    start=$(now)
    run_renderer_alone "$work/alone" "$dpi"
    alone=$(echo "$(now) - $start" | bc -l)
    keep_least best_ref "$ref"
    keep_least best_our "$our"
    keep_least best_alone "$alone"
  done
  printf 'copies      %d one-page PDFs at %d dpi: wall quillamar-cli %6.2f s   pdftoppm -P 2 %6.2f s   ratio %.3f (target <= 1.1)\n' \
    "$copies" "$dpi" "$best_our" "$best_ref" "$(ratio "$best_our" "$best_ref")"
  printf '  of which rendering: lib.dll alone -P 2 %6.2f s   ratio to pdftoppm %.3f\n' \
    "$best_alone" "$(ratio "$best_alone" "$best_ref")"
  rm -rf "$work/copies"
}

# The value of field name=N in a sample_peak line.
field() { sed "s/.*$1=\([0-9.]*\).*/\1/" <<<"$2"; }

# One huge page: wall time and the peak memory of every process, both tools sampled alike.
huge_page() {
  local dpi=1200 round start ref our line ref_mb our_mb best_ref=0 best_our=0
  local best_ref_mb=0 best_our_mb=0
  for round in $(seq "$rounds"); do
    rm -rf "$work/ref" "$work/ours"
    mkdir -p "$work/ref"
    start=$(now)
    line=$("$sampler" "$work/ref" "$pdftoppm" -jpeg -jpegopt quality=90 -r "$dpi" "$huge_pdf" \
      "$work/ref/p")
    ref=$(echo "$(now) - $start" | bc -l)
    ref_mb=$(field peak_rss_mb "$line")
    start=$(now)
    line=$("$sampler" "$work/ours" "$cli" -f JPG -r "$dpi" -o "$work/ours" "$huge_pdf")
    our=$(echo "$(now) - $start" | bc -l)
    our_mb=$(field peak_rss_mb "$line")
    check_status "$(field status "$line")"
    keep_least best_ref "$ref"
    keep_least best_our "$our"
    keep_least best_ref_mb "$ref_mb"
    keep_least best_our_mb "$our_mb"
  done
  printf 'huge page   %s at %d dpi:\n' "$(basename "$huge_pdf")" "$dpi"
  printf '  wall time   quillamar-cli %8.2f s   pdftoppm %8.2f s   ratio %.3f (target <= 1.5)\n' \
    "$best_our" "$best_ref" "$(ratio "$best_our" "$best_ref")"
  printf '  peak memory quillamar-cli %8d MB  pdftoppm %8d MB  ratio %.3f (target <= 1.3)\n' \
    "$best_our_mb" "$best_ref_mb" "$(ratio "$best_our_mb" "$best_ref_mb")"
}

printf 'machine     %d cores, best of %d rounds, load average %s\n' "$(nproc)" "$rounds" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
for dpi in $dpis; do shared_pdfs "$dpi"; done
for dpi in 72 150; do copies_of_one_page "$dpi"; done
huge_page

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
