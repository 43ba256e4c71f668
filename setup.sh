#!/usr/bin/env bash
# Sets Sorvend up on Debian 12 (packages, build) and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
ninja -C "$root/build"
if [ -x "$root/build/app/sorvend" ]; then
  exec "$root/build/app/sorvend" "$@"
fi
exec "$root/build/cli/sorvend-cli" --help
