#!/usr/bin/env bash
# Fails when a tracked C++ file drifts from .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
[ -z "$files" ] && exit 0
if ! clang-format --dry-run --Werror $files; then
  echo "Formatting drift: run clang-format -i on the files above." >&2
  exit 1
fi
echo "Formatting: clean."
