#!/usr/bin/env bash
# Takes docs/main-window.png: the main window as it opens, shown under Xvfb from a
# temporary copy of the built program (so no settings of build/ are touched).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh xvfb xauth imagemagick
scripts/build.sh
dir=${KEYVANE_BUILD_DIR:-build}
copy=$(mktemp -d /tmp/keyvane-shot-XXXXXX)
trap 'rm -rf "$copy"' EXIT
cp "$dir/keyvane" src/help/overview.htm "$copy/"
out=$PWD/docs/main-window.png
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  "$1/keyvane" & pid=$!
  for _ in $(seq 1 100); do
    sleep 0.2
    import -window "Veltra Encryption Keyvane" "$2" 2>/dev/null && break
  done
  sleep 1  # found: let it finish painting, then take the picture that counts
  import -window "Veltra Encryption Keyvane" "$2"
  kill -TERM $pid; wait $pid
  [ -s "$2" ]' shot "$copy" "$out"
echo "Wrote $out"
