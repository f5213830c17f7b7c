#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it without touching this system: the
# package is extracted into a scratch root and its quillamar-cli (lib.dll beside it) converts a
# test PDF; lintian checks it when installed. Only on CI (CI=true) is it also installed into the
# system, used from /usr/bin and removed again (needs root or sudo).
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."

(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(Quillamar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
release=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE \([0-9]*\))/\1/p' cmake/install.cmake)
deb="$PWD/$build/quillamar_${version}-${release}_$(dpkg --print-architecture).deb"
pdf="$PWD/tests/data/pdfs/rotated_pages_4p.pdf"
scratch=$(mktemp -d)
installed=false
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
cleanup() {
  if $installed; then "${sudo_cmd[@]}" dpkg -r quillamar >/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Converts the test PDF's four pages with the given quillamar-cli into a fresh folder.
convert_with() {
  local output
  output=$(mktemp -d "$scratch/pages.XXXXXX")
  "$1" -f png -r 72 -o "$output" "$pdf" >/dev/null
  for page in 1 2 3 4; do
    test -s "$output/rotated_pages_4p_$page.png"
  done
}

dpkg-deb -x "$deb" "$scratch/root"
convert_with "$scratch/root/usr/lib/quillamar/quillamar-cli"
echo "package: $(basename "$deb") extracted, converted 4 pages with its quillamar-cli"

if command -v lintian >/dev/null; then
  # Errors fail the check; the warnings that stay are explained in docs/packaging.md.
  lintian --fail-on error "$deb"
  echo "package: lintian reports no errors"
fi

if [ "${CI:-}" = true ]; then
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$deb"
  installed=true
  convert_with /usr/bin/quillamar-cli
  echo "package: installed, converted 4 pages from /usr/bin, removed"
fi
