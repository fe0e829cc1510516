#!/usr/bin/env bash
# Configures (once) and builds into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${KEYVANE_BUILD_DIR:-build}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${KEYVANE_BUILD_TYPE:-RelWithDebInfo} ${KEYVANE_CMAKE_ARGS:-}
fi
cmake --build "$dir"
