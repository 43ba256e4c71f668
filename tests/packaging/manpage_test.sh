#!/bin/sh
# Every option that `sorvend-cli --help` lists is described in the manual page, so that a new
# option cannot be left out of it.
#   manpage_test.sh SORVEND_CLI MANPAGE(roff)
set -u
cli=$1
page=$2

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

help=$("$cli" --help) || fail "--help failed"
# Option lines start with blanks and a dash; the options stand before the first gap of two
# blanks: "  -k, --kinds KINDS      comma-separated ..." gives -k and --kinds.
options=$(printf '%s\n' "$help" | sed -n 's/^ \{1,\}\(-.*\)$/\1/p' | sed 's/  .*//' |
  tr ', ' '\n\n' | grep -- '^-')
[ "$(printf '%s\n' "$options" | wc -l)" -ge 8 ] || fail "too few options found in --help: $options"

# The page as text: roff's "\-" is a dash, font changes go.
text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
missing=
for option in $options; do
  printf '%s\n' "$text" | grep -q -- "\(^\|[^-a-z]\)$option\([^-a-z]\|$\)" ||
    missing="$missing $option"
done
[ -z "$missing" ] || fail "not in $(basename "$page"):$missing"
echo "PASS: $(printf '%s\n' "$options" | wc -l) options of --help in $(basename "$page")"
