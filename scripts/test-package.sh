#!/usr/bin/env bash
# Builds the Debian package from a build folder, installs it on this machine, converts a test PDF
# with the installed quillamar-cli and removes the package again. Needs root (or sudo).
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."

(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(Quillamar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="$PWD/$build/quillamar_${version}_$(dpkg --print-architecture).deb"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
output=$(mktemp -d)
cleanup() {
  "${sudo_cmd[@]}" dpkg -r quillamar >/dev/null || true
  rm -rf "$output"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$deb"
/usr/bin/quillamar-cli -f png -r 72 -o "$output" tests/data/pdfs/rotated_pages_4p.pdf
for page in 1 2 3 4; do
  test -s "$output/rotated_pages_4p_$page.png"
done
echo "package: $(basename "$deb") installed, converted 4 pages from /usr/bin, removed"
