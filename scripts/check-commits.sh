#!/usr/bin/env bash
# Fails when a commit subject after the starting commit is longer than 72 characters.
# History before it stays as it was published: rewriting it would break every clone.
#   scripts/check-commits.sh [BASE]     # BASE: the starting commit, 6ddf1b1 unless given
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:-6ddf1b1}
max=72
if ! git rev-parse -q --verify "$base^{commit}" >/dev/null; then
  echo "Commit subjects: starting commit $base is not in this clone" \
    "(a shallow clone? git fetch --unshallow)." >&2
  exit 2
fi
export LC_ALL=C.UTF-8  # count characters, not bytes
long=0
while IFS=' ' read -r hash subject; do
  if [ ${#subject} -gt $max ]; then
    echo "$hash: ${#subject} characters: $subject" >&2
    long=$((long + 1))
  fi
done < <(git log --format='%h %s' "$base..HEAD")
if [ $long -gt 0 ]; then
  echo "Commit subjects: $long longer than $max characters; say less, and say the rest in the body." >&2
  exit 1
fi
echo "Commit subjects: clean."
