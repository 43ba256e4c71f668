#!/usr/bin/env bash
# Throughput and memory of sorvend-cli on the page-cached corpus, next to cat.
#   bench/run.sh [CORPUS]      (default: bench/out/corpus.bin, built when missing)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
corpus=${1:-$here/out/corpus.bin}
build=$root/build-bench

[ -f "$corpus" ] || "$here/make_corpus.sh" "$corpus"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSORVEND_BUILD_TESTS=OFF \
  -DSORVEND_BUILD_GUI=OFF >/dev/null
ninja -C "$build" sorvend-cli >/dev/null
cli=$build/cli/sorvend-cli
bytes=$(stat -c %s "$corpus")

cat "$corpus" >/dev/null  # into the page cache

# Best of three wall-clock runs: leaves the seconds in $best and the peak RSS (KiB) in $peak_kib.
measure() {
  local t rss
  best="" peak_kib=0
  for _ in 1 2 3; do
    /usr/bin/time -f '%e %M' -o "$here/out/.time" "$@" >/dev/null 2>&1
    read -r t rss < "$here/out/.time"
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
    if [ "$rss" -gt "$peak_kib" ]; then peak_kib=$rss; fi
  done
}
rate() { awk -v b="$bytes" -v t="$1" 'BEGIN{ if (t <= 0) t = 0.001; printf "%.0f", b / t / 1e6 }'; }

outdir=$(mktemp -d "$here/out/carve.XXXXXX")
trap 'rm -rf "$outdir" "$outdir.copy"' EXIT

measure cat "$corpus"; t_cat=$best
printf 'corpus             %s (%d MiB)\n' "$corpus" $((bytes / 1048576))
printf '%-22s %8s s %7s MB/s\n' "cat" "$t_cat" "$(rate "$t_cat")"
for profile in thorough classic; do
  flags=(-q)
  [ "$profile" = classic ] && flags+=(--classic)
  measure "$cli" "${flags[@]}" -n "$corpus"; t_dry=$best peak_dry=$peak_kib
  measure "$cli" "${flags[@]}" -o "$outdir" "$corpus"; t_write=$best peak_write=$peak_kib
  outputs=$(find "$outdir" -type f | wc -l)
  # Writing should cost no more than copying the same bytes: the write run less the dry run,
  # next to cp of the outputs.
  measure cp -r "$outdir" "$outdir.copy"; t_cp=$best
  rm -rf "${outdir:?}"/* "$outdir.copy"
  printf '%-22s %8s s %7s MB/s  peak %d KiB  (%.2fx cat)\n' "$profile -n" "$t_dry" \
    "$(rate "$t_dry")" "$peak_dry" "$(awk -v a="$t_dry" -v b="$t_cat" 'BEGIN{print (b > 0 ? a / b : 0)}')"
  printf '%-22s %8s s %7s MB/s  peak %d KiB  %s objects written\n' "$profile" "$t_write" \
    "$(rate "$t_write")" "$peak_write" "$outputs"
  printf '%-22s %8s s  (write less dry run: %s s)\n' "cp of the outputs" "$t_cp" \
    "$(awk -v a="$t_write" -v b="$t_dry" 'BEGIN{printf "%.2f", a - b}')"
done
