#!/bin/bash
# Runs the bash completion function of sorvend-cli on command lines and checks what it offers.
#   completion_test.sh COMPLETION_FILE SORVEND_CLI KIND_LISTS
set -u
completion=$1
cli=$2
kind_lists=$3
failures=0

# The candidates for the words of a command line whose last word is being completed, sorted,
# one line each.
complete_line() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _sorvend_cli
    printf "%s\n" "${COMPREPLY[@]}"' bash "$completion" "$@" 2>/dev/null | sort
}

expect() {
  local want=$1
  shift
  local got
  got=$(complete_line "$@")
  want=$(printf '%s\n' $want | sort)
  if [ "$got" != "$want" ]; then
    echo "FAIL: sorvend-cli ${*:2} gave:" $got "; expected:" $want >&2
    failures=$((failures + 1))
  fi
}

kinds() { "$kind_lists" | sed -n "s/^$1 //p"; }
classic=$(kinds classic)
thorough=$(kinds thorough)
[ -n "$classic" ] && [ -n "$thorough" ] || { echo "FAIL: no kind lists from $kind_lists"; exit 1; }
# The thorough kinds but png, each behind "$1".
others_behind() { for k in $thorough; do [ "$k" = png ] || echo "$1$k"; done; }

expect "$thorough" sorvend-cli -k ''
expect "$(others_behind png,)" sorvend-cli -k png,
expect "$(others_behind PNG,)" sorvend-cli -n --kinds PNG,
expect "$(others_behind png,)" sorvend-cli --kinds = png,
expect "$thorough" sorvend-cli --kinds =
expect "mov mp3" sorvend-cli --classic -k m
expect "bmp,mov bmp,mp3" sorvend-cli --classic -k bmp,m
expect "-kbmp,gif" sorvend-cli --classic -kbmp,g
expect "" sorvend-cli --classic -k bmp,flac
expect "$(for k in $thorough; do case $k in m*) echo "$k" ;; esac; done)" sorvend-cli -k m
expect "" sorvend-cli --classic -k mov,mov

# Every option of --help is offered after a dash.
help_options=$("$cli" --help | sed -n 's/^ \{1,\}\(-.*\)$/\1/p' | sed 's/  .*//' |
  tr ', ' '\n\n' | grep -- '^-' | sort)
offered=$(complete_line sorvend-cli -)
missing=$(comm -23 <(printf '%s\n' "$help_options") <(printf '%s\n' "$offered"))
if [ -n "$missing" ]; then
  echo "FAIL: options of --help not offered after '-':" $missing >&2
  failures=$((failures + 1))
fi
expect "--kinds" sorvend-cli --k

# Folders after -o, files elsewhere.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/dir1" "$work/dir2"
touch "$work/file1"
expect "$work/dir1 $work/dir2" sorvend-cli -o "$work/d"
expect "$work/dir1 $work/dir2 $work/file1" sorvend-cli -r "$work/"

[ "$failures" -eq 0 ] || exit 1
echo "PASS: completion"
