#!/usr/bin/env bash
# Throughput on inputs made to hurt: 64 MiB of one lead pattern repeated over and over (four
# bytes fitting each row of both dispatch tables, as the engine's kind_lists prints them, and a
# few longer patterns of real headers), random bytes and real library code, each scanned as a
# dry run in both profiles.
#   bench/adversarial.sh [MIB]      (default 64)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
mib=${1:-64}
build=$root/build-bench
work=$here/out/adversarial
mkdir -p "$work"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEND_BUILD_TESTS=OFF \
  -DSORVEND_BUILD_GUI=OFF >/dev/null
ninja -C "$build" sorvend-cli sorvend_kind_lists >/dev/null
cli=$build/cli/sorvend-cli
bytes=$((mib * 1024 * 1024))

# One pattern, given as printf escapes, repeated to the input's size.
repeat() {
  local name=$1 pattern=$2 file=$work/$1.bin
  if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -ne "$bytes" ]; then
    printf "$pattern" > "$work/unit"
    while [ "$(stat -c %s "$work/unit")" -lt 65536 ]; do
      cat "$work/unit" "$work/unit" > "$work/unit2" && mv "$work/unit2" "$work/unit"
    done
    : > "$file"
    while [ "$(stat -c %s "$file")" -lt "$bytes" ]; do cat "$work/unit" >> "$file"; done
    truncate -s "$bytes" "$file"
  fi
  echo "$name"
}

inputs=()
while read -r name pattern; do
  inputs+=("$(repeat "$name" "$pattern")")
done < <("$build/packaging/sorvend_kind_lists" signatures)
# Patterns longer than a signature that lead a measure deeper: a JPEG's SOI and Exif marker, an
# MPEG audio frame header, the whole XM tag, an ADX header's start, RoQ's signature chunk, an
# MPEG transport packet that starts an association table, a gzip header whose name never ends,
# and zeros.
inputs+=(
  "$(repeat soi '\xff\xd8')"
  "$(repeat soi-app1 '\xff\xd8\xff\xe1')"
  "$(repeat mpeg '\xff\xfb\x90\x64')"
  "$(repeat xm 'Extended Module: ')"
  "$(repeat adx-header '\x80\x00\x00\x20\x03\x12\x04\x02')"
  "$(repeat roq-chunk '\x84\x10\xff\xff\xff\xff\x1e\x00')"
  "$(repeat ts-pat '\x47\x40\x00\x10\x00\x00\xb0\x0d')"
  "$(repeat gzip-name '\x1f\x8b\x08\x08')"
  "$(repeat zeros '\x00')"
)
[ -f "$work/random.bin" ] || head -c "$bytes" /dev/urandom > "$work/random.bin"
inputs+=(random)
if [ ! -f "$work/libraries.bin" ]; then
  find /usr/lib /lib -name '*.so*' -type f -size +64k 2>/dev/null | sort | xargs cat 2>/dev/null |
    head -c "$bytes" > "$work/libraries.bin" || true
fi
inputs+=(libraries)

# Seconds of the best of two dry runs.
seconds() {
  local best="" t
  for _ in 1 2; do
    /usr/bin/time -f '%e' -o "$work/.time" "$@" >/dev/null 2>&1
    t=$(cat "$work/.time")
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  echo "$best"
}
rate() { awk -v b="$bytes" -v t="$1" 'BEGIN{ if (t <= 0) t = 0.01; printf "%.0f", b / t / 1e6 }'; }

printf '%-10s %12s %12s   (MB/s, dry run of %d MiB)\n' input thorough classic "$mib"
for name in "${inputs[@]}"; do
  file=$work/$name.bin
  t_thorough=$(seconds "$cli" -q -n "$file")
  t_classic=$(seconds "$cli" --classic -q -n "$file")
  printf '%-10s %12s %12s\n' "$name" "$(rate "$t_thorough")" "$(rate "$t_classic")"
done
