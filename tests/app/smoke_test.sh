#!/bin/sh
# Runs the real sorvend program.
#   smoke_test.sh no-display SORVEND
#       Without any display it must say so in one line and exit 1.
#   smoke_test.sh xvfb SORVEND CLOSER [SCREENSHOT.png]
#       On an X server (Xvfb) its window must appear with its designed size, end the program
#       with exit code 0 when asked to close (CLOSER sends WM_DELETE_WINDOW, as a title bar's
#       close button does), and leave the settings file beside the executable. Exit code 77
#       (skipped) where xvfb-run or xwininfo is missing.
set -u

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

mode=$1
sorvend=$2

case $mode in
no-display)
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$sorvend" 2>&1)
  rc=$?
  [ "$rc" -eq 1 ] || fail "exit code $rc without a display, expected 1"
  [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || fail "more than one line: $out"
  printf '%s\n' "$out" | grep -q '^sorvend: no display found' || fail "unexpected message: $out"
  echo "PASS: $out"
  ;;

xvfb)
  closer=$3
  shot=${4:-}
  for tool in xvfb-run xwininfo; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # The settings file is written beside the executable, so the program runs from a copy.
  cp "$sorvend" "$work/sorvend"
  env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY \
    xvfb-run -a -s "-screen 0 640x480x24" sh "$0" on-server "$work/sorvend" "$closer" "$shot" \
    || exit $?
  [ -f "$work/sorvend.ini" ] || fail "no settings file after the close"
  grep -q '^\[Sorvend\]' "$work/sorvend.ini" || fail "settings file without its section"
  echo "PASS: window shown, closed on request, settings written"
  ;;

on-server)
  closer=$3
  shot=$4
  "$sorvend" &
  pid=$!
  i=0
  until xwininfo -root -tree | grep -q '"Sorvend1"'; do
    i=$((i + 1))
    [ $i -le 150 ] || { kill "$pid"; fail "no window titled Sorvend1 appeared"; }
    kill -0 "$pid" 2>/dev/null || fail "sorvend ended before its window appeared"
    sleep 0.1
  done
  sleep 0.5  # let the first paint happen
  info=$(xwininfo -name Sorvend1)
  echo "$info" | grep -q 'Width: 226$' || { kill "$pid"; fail "window width: $info"; }
  echo "$info" | grep -q 'Map State: IsViewable' || { kill "$pid"; fail "window not shown"; }
  if [ -n "$shot" ]; then
    id=$(echo "$info" | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
    import -window "$id" "$shot" || fail "screenshot failed"
  fi
  "$closer" Sorvend1 || { kill "$pid"; fail "could not send the close request"; }
  i=0
  while kill -0 "$pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -le 100 ] || { kill "$pid"; fail "sorvend did not end after the close request"; }
    sleep 0.1
  done
  wait "$pid"
  rc=$?
  [ "$rc" -eq 0 ] || fail "exit code $rc after the close"
  ;;

*)
  fail "unknown mode $mode"
  ;;
esac
