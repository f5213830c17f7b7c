#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Quillamar need (only the missing ones).
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  # libraries
  zlib1g-dev libjpeg62-turbo-dev libpng-dev libpoppler-private-dev libfontconfig-dev libseccomp-dev
  libdeflate-dev  # the Adler-32 of intermediate pages
  # the MuPDF engine: its static library and the shared ones it is built over
  libmupdf-dev libharfbuzz-dev libgumbo-dev libmujs-dev libopenjp2-7-dev libjbig2dec0-dev
  libfreetype-dev libbrotli-dev
  # what PDFs name but do not embed: CMaps, the standard fonts' metric-compatible faces, and the
  # CJK faces (serif and sans, both in fonts-noto-cjk)
  poppler-data fonts-urw-base35 fonts-noto-cjk fontconfig
  nlohmann-json3-dev  # the CLI's report
  # the window
  qt6-base-dev qt6-qpa-plugins qt6-translations-l10n fonts-dejavu-core
  # the Debian package, and the checks a distribution makes of it and its files: lintian, the
  # desktop entry, the AppStream metadata, the manual pages (man-db, groff-base), the completion
  dpkg-dev file lintian desktop-file-utils appstream man-db groff-base bash-completion
  librsvg2-bin  # scripts/make-icons.sh
  # tests and benchmarks
  libgtest-dev libgmock-dev libspng-dev poppler-utils libjpeg-turbo-progs xvfb xauth time bc
  qpdf
  mupdf-tools  # mutool draw: the MuPDF engine's reference and peer
  parallel  # the CLI sharded as docs/scale-out.md shows
  # the real engines of tests/engines, which start their own daemons with their own keys, ports,
  # sockets and configuration (the services these packages bring never meet the tests: Debian's
  # sshd and munged keep to port 22 and /run/munge, and slurmctld and slurmd start only once
  # /etc/slurm/slurm.conf exists)
  openssh-server openssh-client munge slurmctld slurmd slurm-client
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
