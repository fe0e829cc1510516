#!/usr/bin/env bash
# The commit-subject check of scripts/ on a small repository of its own: it must pass
# a clean history and catch each kind of fault it is there for.
# Usage: checks_test.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/keyvane-checks-XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

# --- commit subjects ------------------------------------------------------------------
repo=$work/commits
mkdir -p "$repo/scripts"
cp "$src/scripts/check-commits.sh" "$repo/scripts/"
git -C "$repo" init -q
commit() { git -C "$repo" -c user.name=t -c user.email=t@t commit -q --allow-empty -m "$1"; }
expect_commits() {  # WANT WHAT
  local out rc=0
  out=$("$repo/scripts/check-commits.sh" "$base" 2>&1) || rc=$?
  if [ "$1" = pass ] && [ $rc -ne 0 ]; then fail "subjects, $2: failed: $out"; fi
  if [ "$1" = fail ] && [ $rc -ne 1 ]; then fail "subjects, $2: exit $rc, not 1: $out"; fi
  return 0
}
commit "$(printf 'x%.0s' {1..90})"  # before the start: left as published
base=$(git -C "$repo" rev-parse HEAD)
commit "$(printf 'y%.0s' {1..72})"
commit "Ä$(printf 'ü%.0s' {1..71})"  # 72 characters, 144 bytes
expect_commits pass "72 characters, and a long subject before the start"
commit "$(printf 'z%.0s' {1..73})"
expect_commits fail "73 characters"
out=$("$repo/scripts/check-commits.sh" 0000000 2>&1) && fail "an unknown start passed: $out"

[ $failed -eq 0 ] && echo "checks test passed"
exit $failed
