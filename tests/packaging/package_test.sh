#!/bin/sh
# Builds the Debian package from a build folder into a temporary folder and inspects it: its
# files, its control fields, and the command line tool unpacked from it. Installs nothing.
#   package_test.sh BUILD_DIR VERSION WITH_WINDOW(ON/OFF)
# Exit code 77 (skipped) where a packaging tool is missing.
set -u
build=$1
version=$2
window=$3

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for tool in cpack dpkg dpkg-deb dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not found (scripts/install-deps.sh)"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$work/out/sorvend_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $deb; made: $(ls "$work/out")"

# Every file, exactly, all owned by root; the programs executable.
want="./usr/bin/sorvend-cli
./usr/share/bash-completion/completions/sorvend-cli
./usr/share/man/man1/sorvend-cli.1.gz"
if [ "$window" = ON ]; then
  want="$want
./usr/bin/sorvend
./usr/share/man/man1/sorvend.1.gz
./usr/share/applications/sorvend.desktop
./usr/share/icons/hicolor/48x48/apps/sorvend.png
./usr/share/icons/hicolor/scalable/apps/sorvend.svg"
fi
listing=$(dpkg-deb -c "$deb") || fail "dpkg-deb -c"
files=$(printf '%s\n' "$listing" | awk '$1 !~ /^d/ { print $6 }' | sort)
want=$(printf '%s\n' "$want" | sort)
[ "$files" = "$want" ] || fail "files differ:
$(printf '%s\n' "$files")
expected:
$want"
printf '%s\n' "$listing" | awk '$2 != "root/root" { bad = 1; print } END { exit bad }' ||
  fail "not owned by root"
for program in $(printf '%s\n' "$files" | grep '^\./usr/bin/'); do
  printf '%s\n' "$listing" | grep -q "^-rwxr-xr-x .* $program\$" || fail "$program not executable"
done

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = sorvend ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
printf '%s\n' "$depends" | grep -q 'libc6' || fail "Depends without libc6: $depends"
if [ "$window" = ON ]; then
  printf '%s\n' "$depends" | grep -q 'libqt6widgets6' || fail "Depends without Qt: $depends"
fi
for recommended in fonts-ipafont-gothic qt6-image-formats-plugins; do
  printf '%s\n' "$(field Recommends)" | grep -qw "$recommended" ||
    fail "Recommends without $recommended: $(field Recommends)"
done

dpkg -x "$deb" "$work/root" || fail "dpkg -x"
out=$("$work/root/usr/bin/sorvend-cli" --version) || fail "sorvend-cli --version failed"
[ "$out" = "sorvend-cli $version" ] || fail "--version printed: $out"
file "$work/root/usr/bin/sorvend-cli" | grep -q ', stripped' || fail "sorvend-cli not stripped"
for page in "$work"/root/usr/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  gzip -dc "$page" | grep -q "^\.TH \"$name\" \"1\"" || fail "$page is no manual page of $name"
done
grep -q '^complete -F _sorvend_cli sorvend-cli$' \
  "$work/root/usr/share/bash-completion/completions/sorvend-cli" || fail "completion not bound"

echo "PASS: $(basename "$deb"): $(printf '%s\n' "$files" | wc -l) files, Depends: $depends"
