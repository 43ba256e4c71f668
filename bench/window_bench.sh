#!/bin/sh
# Compares a scan through the window, without and with its results window open, with the
# command-line tool on the same file.
# Usage: bench/window_bench.sh BUILD_DIR [FILE]     (FILE defaults to bench/out/corpus.bin)
# BUILD_DIR must be configured with -DSORVEND_BUILD_GUI=ON; both tools are built if needed.
set -eu

build=$1
here=$(cd "$(dirname "$0")" && pwd)
file=${2:-$here/out/corpus.bin}
[ -f "$file" ] || { echo "window_bench: $file not found (bench/make_corpus.sh makes it)" >&2; exit 2; }

ninja -C "$build" -j2 sorvend-cli window_bench >/dev/null

now() { date +%s.%N; }

# Read the file once so that both runs find it in the page cache.
cat "$file" >/dev/null

# Each figure is the best of three runs, as in the other benchmarks: on two cores one run
# now and then loses a tenth to whatever else the system schedules.
runs=3
cli_mbs=0
for _ in $(seq $runs); do
  t0=$(now)
  "$build/cli/sorvend-cli" -n -q "$file" || true
  t1=$(now)
  mbs=$(echo "$t0 $t1 $(stat -L -c %s "$file")" | awk '{ printf "%.1f", $3 / ($2 - $1) / 1e6 }')
  cli_mbs=$(echo "$mbs $cli_mbs" | awk '{ print ($1 > $2) ? $1 : $2 }')
done
echo "sorvend-cli -n  $cli_mbs MB/s (best of $runs)"

# The window alone, then with its results window open (which also times a list of 100,000
# outputs once the scan has ended).
for mode in "" --results; do
  echo "window (offscreen${mode:+, results window open}, best of $runs):"
  best="" win_mbs=0
  for _ in $(seq $runs); do
    out=$("$build/bench/window_bench" "$file" $mode)
    mbs=$(echo "$out" | awk '/^throughput/ { print $2 }')
    if awk -v a="$mbs" -v b="$win_mbs" 'BEGIN { exit !(a > b) }'; then best=$out win_mbs=$mbs; fi
  done
  echo "$best" | sed 's/^/  /'
  echo "$win_mbs $cli_mbs" | awk '{ printf "window / cli    %.1f %%\n", 100 * $1 / $2 }'
done
