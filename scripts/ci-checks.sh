#!/usr/bin/env bash
# Checks that CI runs after the test suite: formatting, the layers of includes, commit
# subjects, clang-tidy on src/, the whole suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, one minute of the receive-path fuzzer, and lintian on the
# .deb. Uses build/ (compile_commands.json) from scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang clang-tidy clang-format libclang-rt-14-dev lintian

start=$SECONDS
last=$SECONDS
step() {
  [ -n "${name:-}" ] && echo "== $name: $((SECONDS - last)) s"
  last=$SECONDS
  name=$1
  [ -n "$name" ] && echo "== $name"
  return 0
}

step "formatting"
scripts/check-format.sh

step "layers of includes in src/"
scripts/check-layers.sh

step "commit subjects"
scripts/check-commits.sh

step "clang-tidy on src/"
[ -f build/compile_commands.json ] || scripts/build.sh
git ls-files 'src/*.cpp' | xargs -P "$(nproc)" -n 4 clang-tidy -p build --quiet
echo "clang-tidy: clean."

step "test suite with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
KEYVANE_BUILD_DIR=build-asan \
  KEYVANE_CMAKE_ARGS="-DKEYVANE_SANITIZE=ON -DKEYVANE_BUILD_BENCH=OFF" scripts/build.sh
(
  cd build-asan
  # Leaks are looked for in our code and Qt's alike: the offscreen platform leaks none.
  ASAN_OPTIONS=detect_leaks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)" --timeout 600
)

step "receive-path fuzzer, 60 s (build-fuzz/)"
fuzz/run.sh 60

step "package and lintian (build-deb/)"
KEYVANE_PACKAGE_DIR=build-deb scripts/package.sh >/dev/null
# Every error fails, and every warning that packaging/lintian-allowed does not list.
allowed=$(sed 's/#.*//' packaging/lintian-allowed | awk 'NF { print $1 }')
found=$(lintian --fail-on none build-deb/keyvane_*.deb 2>/dev/null |
  awk -v allowed="$allowed" '
    BEGIN { n = split(allowed, a, "\n"); for (i = 1; i <= n; i++) ok[a[i]] = 1 }
    /^E: / || (/^W: / && !($3 in ok))')
if [ -n "$found" ]; then
  echo "$found"
  echo "lintian: fix these, or explain a warning in packaging/lintian-allowed." >&2
  exit 1
fi
version=$(dpkg-deb -f build-deb/keyvane_*.deb Version)
head -1 packaging/changelog | grep -q "^keyvane ($version) " || {
  echo "packaging/changelog: its top entry is not version $version." >&2
  exit 1
}
echo "lintian: clean; changelog at $version."

step ""
echo "== checks done in $((SECONDS - start)) s"
