#!/usr/bin/env bash
# Builds a Release tree in build-deb/ (no tests, no benchmarks) and packs everything
# `cmake --install` installs into a .deb there; dpkg-shlibdeps finds its dependencies.
#   sudo apt install ./build-deb/keyvane_*.deb     # or: sudo dpkg -i ...
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=${KEYVANE_PACKAGE_DIR:-build-deb}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKEYVANE_BUILD_TESTS=OFF -DKEYVANE_BUILD_BENCH=OFF ${KEYVANE_CMAKE_ARGS:-}
fi
cmake --build "$dir"
rm -f "$dir"/keyvane_*.deb
(cd "$dir" && cpack -G DEB)
deb=$(ls "$dir"/keyvane_*.deb)
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
echo "Built $deb"
