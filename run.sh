#!/usr/bin/env bash
# Sets everything up, builds and starts the window.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only what runs: the window, the CLI and the renderer (no tests or benchmarks).
targets=(quillamar-cli lib_dll)
cmake --build build --target help | grep -q '^quillamar:' && targets+=(quillamar)
cmake --build build -j "$(nproc)" --target "${targets[@]}"

if [ ! -x build/bin/quillamar ]; then
  build/bin/quillamar-cli --help
  exit 0
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: there is no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "  Start it from a desktop session, over 'ssh -X', or in a virtual display:" >&2
  echo "    xvfb-run -s -noreset ./run.sh" >&2
  echo "  Without a window, convert on the command line: build/bin/quillamar-cli --help" >&2
  exit 1
fi
# The window asks for its Chinese fonts by name; these aliases map them to installed faces.
export FONTCONFIG_FILE="$PWD/app/resources/quillamar-fonts.conf"
exec build/bin/quillamar
