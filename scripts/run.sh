#!/usr/bin/env bash
# Installs what is missing, builds, and starts Keyvane.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
exec "${KEYVANE_BUILD_DIR:-build}/keyvane" "$@"
