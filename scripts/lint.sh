#!/usr/bin/env bash
# Fails on the small jobs that framework/ does once, written again elsewhere: a raw close of a
# descriptor, folder listing or stream, a hand-written EINTR loop, a reading of /proc/self/exe, a
# big-endian number put together by shifts.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(app batch cli contract jpeg pagerender png renderer)
pattern='(^|[^:_a-zA-Z.])(::)?(close|closedir|fclose)\([^)]|EINTR|/proc/self/exe|<< 24|>> 24'
if hits=$(git grep -n -E "$pattern" -- "${folders[@]}"); then
  echo "lint: use framework/'s owners and loops (descriptors.h, system_calls.h, path_names.h, bytes.h):"
  echo "$hits"
  exit 1
fi
echo "lint: clean"
