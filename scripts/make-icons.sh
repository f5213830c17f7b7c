#!/usr/bin/env bash
# Makes the window's icon in the smaller hicolor sizes from its SVG (packaging/icons/); run it when
# the SVG changes and commit the result. Needs rsvg-convert (librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/.."
for size in 16 22 24 32 48 64 128; do
  rsvg-convert -w "$size" -h "$size" app/resources/quillamar.svg -o "packaging/icons/quillamar-$size.png"
done
