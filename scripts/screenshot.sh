#!/usr/bin/env bash
# Renders the main window offscreen after a real run of three one-page test PDFs and saves it as a
# PNG (by default docs/window.png, the picture in the README), then checks that a PNG of plausible
# size came out.
# Usage: scripts/screenshot.sh [OUT.png] [BIN_DIR]   (BIN_DIR: where quillamar-screenshot and
# lib.dll are; build/bin by default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/window.png}")
bin=${2:-$root/build/bin}
pdfs=$root/tests/data/pdfs
# The pages go to a folder of a fixed name, since the window shows it; a lock keeps two runs of
# this script apart.
work=/tmp/quillamar-screenshot
exec 9>"$work.lock"
flock 9
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$(dirname "$out")" "$work/runtime"
chmod 700 "$work/runtime"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" \
  FONTCONFIG_FILE="$root/app/resources/quillamar-fonts.conf" \
  "$bin/quillamar-screenshot" "$out" "$work/图片" "$pdfs/text_googledocs_1p.pdf" \
  "$pdfs/chart_raster_graph_1p.pdf" "$pdfs/vector_map_1p.pdf"
if [[ "$(head -c 8 "$out" | od -An -tx1 | tr -d ' \n')" != 89504e470d0a1a0a ]]; then
  echo "screenshot.sh: $out is not a PNG" >&2
  exit 1
fi
size=$(stat -c %s "$out")
if ((size < 4000 || size > 2000000)); then
  echo "screenshot.sh: $out has an implausible size of $size bytes" >&2
  exit 1
fi
echo "screenshot.sh: $out ($size bytes)"
