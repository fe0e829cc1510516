#!/usr/bin/env bash
# keyvane-peer against keyvane-peer over 127.0.0.1: one file (50 MB unless told), and
# the speed of its block phase (first block out to the closing block out, as the
# sender times it) on one line.
#   bench/peer_bench.sh [PEER [MEGABYTES]]
set -euo pipefail
cd "$(dirname "$0")/.."
peer=$(realpath "${1:-build/keyvane-peer}")
mb=${2:-50}
tmp=$(mktemp -d)
waiter=
cleanup() {
  [ -n "$waiter" ] && kill "$waiter" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

head -c $((mb * 1000000)) /dev/urandom >"$tmp/file.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
common=(--port "$port" --address 127.0.0.1 --json)

# The eight messages only, as with a peer that knows no more; KEYVANE_BENCH_FAST=1 lets
# the two agree on the fast link.
mkdir -p "$tmp/w" "$tmp/c"
if [ -z "${KEYVANE_BENCH_FAST:-}" ]; then
  echo "FastTransfers=off" >"$tmp/w/settings.dat"
  echo "FastTransfers=off" >"$tmp/c/settings.dat"
fi
"$peer" wait --bind 127.0.0.1 "${common[@]}" --folder "$tmp/w" --stay >"$tmp/w.out" &
waiter=$!
for _ in $(seq 100); do
  grep -q '"type":"waiting"' "$tmp/w.out" 2>/dev/null && break
  sleep 0.05
done
(cd "$tmp" && "$peer" connect 127.0.0.1 "${common[@]}" --folder "$tmp/c" --send "$tmp/file.bin" >"$tmp/c.out")
wait "$waiter"
waiter=
cmp -s "$tmp/file.bin" "$tmp/w/Recv/file.bin" || { echo "peer_bench: the file arrived changed" >&2; exit 1; }

sent=$(grep '"type":"sent"' "$tmp/c.out")
bytes=$(sed 's/.*"bytes":\([0-9]*\).*/\1/' <<<"$sent")
secs=$(sed 's/.*"seconds":\([0-9.]*\).*/\1/' <<<"$sent")
awk -v b="$bytes" -v s="$secs" -v mb="$mb" 'BEGIN {
  printf "keyvane-peer to keyvane-peer, %d MB over 127.0.0.1: %.2f MB/s (block phase %.2f s)\n", mb, b / s / 1e6, s }'
