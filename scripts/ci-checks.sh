#!/usr/bin/env bash
# Checks that CI runs after the test suite: formatting, clang-tidy on src/, the whole
# suite built with AddressSanitizer and UndefinedBehaviorSanitizer, and one minute of
# the receive-path fuzzer. Uses build/ (compile_commands.json) from scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang clang-tidy clang-format libclang-rt-14-dev

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

step ""
echo "== checks done in $((SECONDS - start)) s"
