#!/usr/bin/env bash
# Before and after, in one run: sorvend-cli built from REV (a commit) and from this tree, their
# dry runs side by side on the same page-cached inputs (best of five, alternating), and the
# classic profile's outputs of both compared byte for byte.
#   bench/compare.sh REV [INPUT...]      (default input: bench/out/corpus.bin, built when missing)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
rev=${1:?usage: bench/compare.sh REV [INPUT...]}
shift
inputs=("$@")
if [ ${#inputs[@]} -eq 0 ]; then
  [ -f "$here/out/corpus.bin" ] || "$here/make_corpus.sh" "$here/out/corpus.bin"
  inputs=("$here/out/corpus.bin")
fi
mkdir -p "$here/out"

build() {  # SOURCE BUILD
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEND_BUILD_TESTS=OFF \
    -DSORVEND_BUILD_GUI=OFF >/dev/null
  ninja -C "$2" sorvend-cli >/dev/null
}
sha=$(git -C "$root" rev-parse --short "$rev")
old_src=$here/out/rev-$sha
[ -d "$old_src" ] || git -C "$root" worktree add -q --detach "$old_src" "$sha"
build "$old_src" "$old_src/build"
build "$root" "$root/build-bench"
old=$old_src/build/cli/sorvend-cli
new=$root/build-bench/cli/sorvend-cli
# Like for like: a build from before unpacking existed scans without it, so this tree's does too.
new_flags=()
if ! "$old" --help 2>&1 | grep -q -- --no-unpack; then
  new_flags=(--no-unpack)
  echo "$sha does not unpack: this tree's thorough runs use --no-unpack"
fi

seconds() {
  /usr/bin/time -f '%e' -o "$here/out/.time" "$@" >/dev/null 2>&1
  cat "$here/out/.time"
}
rate() { awk -v b="$1" -v t="$2" 'BEGIN{ if (t <= 0) t = 0.001; printf "%.0f", b / t / 1e6 }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN{ print (a == "" || b < a) ? b : a }'; }

echo "load: $(uptime)"
printf '%-28s %-9s %10s %10s   (MB/s, dry run, best of 5)\n' input profile "$sha" "this tree"
for input in "${inputs[@]}"; do
  bytes=$(stat -L -c %s "$input")
  cat "$input" >/dev/null
  for profile in thorough classic; do
    flags=(-q -n)
    [ "$profile" = classic ] && flags+=(--classic)
    t_old="" t_new=""
    for _ in 1 2 3 4 5; do
      t_old=$(min "$t_old" "$(seconds "$old" "${flags[@]}" "$input")")
      t_new=$(min "$t_new" "$(seconds "$new" "${flags[@]}" "${new_flags[@]}" "$input")")
    done
    printf '%-28s %-9s %10s %10s\n' "$(basename "$input")" "$profile" "$(rate "$bytes" "$t_old")" \
      "$(rate "$bytes" "$t_new")"
  done
  # The classic profile writes the same files, byte for byte.
  a=$(mktemp -d "$here/out/classic-old.XXXXXX")
  b=$(mktemp -d "$here/out/classic-new.XXXXXX")
  "$old" --classic -q -o "$a" "$input" || true
  "$new" --classic -q -o "$b" "$input" || true
  if diff -r -q "$a" "$b" >/dev/null; then
    echo "$(basename "$input"): classic outputs identical ($(find "$a" -type f | wc -l) files)"
  else
    echo "$(basename "$input"): classic outputs DIFFER"
  fi
  rm -rf "$a" "$b"
done
