#!/usr/bin/env bash
# Builds the benchmark corpus: about 1 GiB of real machine code (this system's shared
# libraries) with the media samples of tests/data embedded every few megabytes.
#   bench/make_corpus.sh [OUTPUT] [MIB]     (defaults: bench/out/corpus.bin, 1024)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/out/corpus.bin}
mib=${2:-1024}
target=$((mib * 1024 * 1024))
mkdir -p "$(dirname "$out")"

# A CAF written to a pipe runs to the end of its input by its format's rule: embedded, it
# would take the rest of the corpus with it.
mapfile -t media < <(find "$here/../tests/data" -type f ! -name '*.md' ! -name 'piped.caf' | sort)
mapfile -t libs < <(find /usr/lib /lib -name '*.so*' -type f -size +64k 2>/dev/null | sort)
[ ${#libs[@]} -gt 0 ] || { echo "make_corpus: no shared libraries found" >&2; exit 1; }

: > "$out"
size=0 i=0 m=0 since_media=0
while [ "$size" -lt "$target" ]; do
  lib=${libs[$((i % ${#libs[@]}))]}
  i=$((i + 1))
  cat "$lib" >> "$out"
  size=$(stat -c %s "$out")
  since_media=$((since_media + $(stat -c %s "$lib")))
  if [ ${#media[@]} -gt 0 ] && [ "$since_media" -ge $((4 * 1024 * 1024)) ]; then
    cat "${media[$((m % ${#media[@]}))]}" >> "$out"
    m=$((m + 1))
    since_media=0
  fi
done
truncate -s "$target" "$out"
echo "$out: $mib MiB, $i library files, $m media files embedded"
