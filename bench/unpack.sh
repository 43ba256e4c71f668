#!/usr/bin/env bash
# Unpacking's speed: a deflated ZIP of real media from /usr/share (made with `zip -r`), scanned
# by `sorvend-cli -n` next to `unzip -p ARCHIVE > /dev/null` on the same page-cached file; and
# a file with no archive in it scanned with unpacking on and off.
#   bench/unpack.sh BUILD_DIR [MEDIA_DIR...]   (default: /usr/share/icons /usr/share/sounds)
set -euo pipefail
build=$1
shift
dirs=("$@")
[ ${#dirs[@]} -gt 0 ] || dirs=(/usr/share/icons /usr/share/sounds)
cli=$build/cli/sorvend-cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

existing=()
for d in "${dirs[@]}"; do [ -d "$d" ] && existing+=("$d"); done
zip -q -r -9 "$work/media.zip" "${existing[@]}"
size=$(stat -c %s "$work/media.zip")
cat "$work/media.zip" > /dev/null

seconds() { /usr/bin/time -f %e "$@" 2>&1 >/dev/null | tail -1; }
unzip_s=$(seconds sh -c "unzip -p '$work/media.zip' > /dev/null")
scan_s=$(seconds "$cli" -n -q "$work/media.zip")
decoded=$(unzip -l "$work/media.zip" | tail -1 | awk '{print $1}')
echo "media.zip: $((size / 1048576)) MiB compressed, $((decoded / 1048576)) MiB decoded"
echo "  unzip -p:         ${unzip_s} s"
echo "  sorvend-cli -n:   ${scan_s} s  ($(awk "BEGIN{printf \"%.0f\", 100*$unzip_s/$scan_s}") % of unzip's speed)"

# Ordinary input: this system's largest shared libraries, unpacking on and off.
find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name "*.so*" -type f -size +8M | head -8 | xargs cat > "$work/libs.bin"
cat "$work/libs.bin" > /dev/null
on_s=$(seconds "$cli" -n -q "$work/libs.bin")
off_s=$(seconds "$cli" -n -q --no-unpack "$work/libs.bin")
echo "libs.bin: $(($(stat -c %s "$work/libs.bin") / 1048576)) MiB"
echo "  unpacking on:     ${on_s} s"
echo "  unpacking off:    ${off_s} s"
