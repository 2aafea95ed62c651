#!/usr/bin/env bash
# The manual pages: groff gives no warning for any of them, and every option
# a program's own usage text names is in its page.
#   check_manpages.sh MAN_DIR PSDUMP PSVERIFY STREAMSEND PAGE...
set -uo pipefail
man_dir=$1 psdump=$2 psverify=$3 streamsend=$4
shift 4
command -v man >/dev/null || { echo "SKIP: man (package man-db) is not installed"; exit 77; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

for page in "$@"; do
  file=$man_dir/$page.1
  [ -s "$file" ] || { fail "$file was not made"; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page(1): $warnings"
done

# Options named by the usage texts: psverify's --help, psdump's usage line
# (the words in brackets, less the stream file), streamsend's complaint
# about a missing file.
page_text() { LC_ALL=C MANWIDTH=200 man -l "$man_dir/$1.1" 2>/dev/null; }
check_options() {
  local page=$1 usage=$2 options=$3 text
  [ -n "$options" ] || { fail "no option found in the usage text of $page: $usage"; return; }
  text=$(page_text "$page")
  for option in $options; do
    grep -qF -- "$option" <<<"$text" || fail "$page(1) does not name $option (from: ${usage%%$'\n'*})"
  done
}
usage=$("$psverify" --help)
check_options psverify "$usage" "$(grep -oE -- '--?[a-z][a-z-]*' <<<"$usage" | sort -u)"
usage=$("$psdump" 2>&1)
check_options psdump "$usage" "$(grep -oE '\[[a-z_-]+\]' <<<"$usage" | tr -d '[]' | grep -vx mpeg_file)"
usage=$("$streamsend" 2>&1)
check_options streamsend "$usage" "$(grep -oE -- '(^| )--?[a-zA-Z][a-zA-Z-]*' <<<"$usage" | tr -d ' ')"

[ "$failed" = 0 ] && echo "manual pages: $# pages, no warning, every option named"
exit "$failed"
