#!/usr/bin/env bash
# Drives quillamar-cli's bash completion for a few words, as bash-completion would.
# Usage: completion_test.sh COMPLETION_FILE BIN_DIR
set -uo pipefail
source /usr/share/bash-completion/bash_completion
source "$1"
export PATH="$(realpath "$2"):$PATH"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" && mkdir pages scans && touch a.pdf B.PDF notes.txt
failures=0

# expect "WORDS" "what completing the last word gives (sorted, one line)"
expect() {
  COMP_WORDS=($1)
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$1 COMP_POINT=${#1}
  COMPREPLY=()
  _quillamar_cli quillamar-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
  if [[ $got != "$2" ]]; then
    echo "'$1': got '$got', expected '$2'"
    failures=$((failures + 1))
  fi
}

expect "quillamar-cli --f" "--files-from --format"
expect "quillamar-cli --no" "--no-clobber"
expect "quillamar-cli -f " "JPG PNG"
expect "quillamar-cli -f p" "PNG"
expect "quillamar-cli --engine m" "mupdf"
expect "quillamar-cli -o " "pages scans"
expect "quillamar-cli -o pages " "B.PDF a.pdf pages scans"
exit $((failures > 0))
