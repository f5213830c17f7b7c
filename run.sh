#!/usr/bin/env bash
# Sets everything up, builds and starts the window.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

if [ ! -x build/bin/quillamar ]; then
  build/bin/quillamar-cli --help
  exit 0
fi
exec build/bin/quillamar
