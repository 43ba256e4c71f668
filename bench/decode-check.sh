#!/usr/bin/env bash
# Runs every output in a folder through a real decoder and prints, per kind, how many decode
# cleanly. Sound and video go through ffmpeg (tracker modules through its libopenmpt demuxer),
# pictures through ImageMagick's identify, HEIF and AVIF through heif-convert, QOI through
# ffmpeg and Apple icons through icns2png (which must extract an image); MIDI and animated
# cursors, which have no decoder here, get their chunk structure checked.
#   bench/decode-check.sh DIR [--list-failures]
set -uo pipefail
dir=${1:?usage: decode-check.sh DIR [--list-failures]}
list=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

decodes() {
  local file=$1 ext=${1##*.}
  case "${ext^^}" in
    BMP | JPG | PNG | GIF | WEBP | ICO | CUR | DDS | TIF | TGA | PCX | PSD | SGI | RAS | JP2 | J2K)
      identify -regard-warnings "$file" >/dev/null 2>&1 ;;
    HEIC | HEIF | AVIF)
      rm -f "$scratch"/*
      heif-convert "$file" "$scratch/out.png" >/dev/null 2>&1 ;;
    ICNS)
      rm -f "$scratch"/*
      (cd "$scratch" && icns2png -x "$(realpath "$file")" >/dev/null 2>&1) &&
        compgen -G "$scratch/*.png" >/dev/null ;;
    MID | RMI | ANI)
      python3 "$here/structure_check.py" "$file" ;;
    XM | IT | S3M | MOD)
      [ -z "$(ffmpeg -nostdin -v error -f libopenmpt -i "$file" -f null - 2>&1)" ] ;;
    ROQ)
      # ffmpeg's RoQ reader reports the end of every file as an input/output error.
      [ -z "$(ffmpeg -nostdin -v error -i "$file" -f null - 2>&1 |
        grep -v ': Input/output error$')" ] ;;
    *)
      [ -z "$(ffmpeg -nostdin -v error -i "$file" -f null - 2>&1)" ] ;;
  esac
}

declare -A total good
failures=()
while IFS= read -r -d '' file; do
  kind=${file##*.}
  kind=${kind^^}
  total[$kind]=$((${total[$kind]:-0} + 1))
  if decodes "$file"; then
    good[$kind]=$((${good[$kind]:-0} + 1))
  else
    failures+=("$file")
  fi
done < <(find "$dir" -maxdepth 1 -type f -name 'ANT*' -print0 | sort -z)

printf '%-6s %8s %8s\n' kind outputs decoded
all=0 ok=0
for kind in $(printf '%s\n' "${!total[@]}" | sort); do
  printf '%-6s %8d %8d\n' "$kind" "${total[$kind]}" "${good[$kind]:-0}"
  all=$((all + total[$kind]))
  ok=$((ok + ${good[$kind]:-0}))
done
printf '%-6s %8d %8d\n' all "$all" "$ok"
if [ "$list" = --list-failures ] && [ ${#failures[@]} -gt 0 ]; then
  printf 'failed: %s\n' "${failures[@]}"
fi
