#!/usr/bin/env bash
# Completes a few words with quillamar-cli's bash completion as bash-completion would.
# Usage: completion_test.sh COMPLETION_FILE BIN_DIR
set -uo pipefail
source /usr/share/bash-completion/bash_completion && source "$1" || exit 1
export PATH="$(realpath "$2"):$PATH"
cd "$(mktemp -d)" && trap 'rm -rf "$PWD"' EXIT && mkdir pages scans && touch a.pdf B.PDF notes.txt
failures=0
# expect LINE SORTED_WORDS: what completing LINE's last word offers.
expect() {
  COMP_LINE=$1 COMP_POINT=${#1} COMP_WORDS=($1) COMPREPLY=()
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _quillamar_cli quillamar-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
  [[ $got == "$2" ]] || { echo "'$1': got '$got', expected '$2'"; failures=$((failures + 1)); }
}
expect "quillamar-cli --f" "--files-from --format"
expect "quillamar-cli -f p" "PNG"
expect "quillamar-cli --engine m" "mupdf"
expect "quillamar-cli -o " "pages scans"
expect "quillamar-cli -o pages " "B.PDF a.pdf pages scans"
exit $((failures > 0))
