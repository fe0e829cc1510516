#!/usr/bin/env bash
# The layer and commit-subject checks of scripts/ on small trees of their own: each must
# pass a clean tree and catch each kind of fault it is there for.
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

# --- layers ---------------------------------------------------------------------------
tree=$work/layers
mkdir -p "$tree/scripts"
cp "$src/scripts/check-layers.sh" "$tree/scripts/"
clean_tree() {
  rm -rf "$tree/src" "$tree/tests"
  mkdir -p "$tree"/src/{platform/qt,link,transfer,app,tools,peer} "$tree/tests/support"
  cat >"$tree/CMakeLists.txt" <<'EOF'
add_library(keyvane_core STATIC
  src/platform/files.cpp
)
target_link_libraries(keyvane_core PUBLIC Threads::Threads)
add_library(keyvane_logic STATIC
  src/link/Session.cpp
  src/transfer/FileTransfer.cpp
  src/app/StartUp.cpp
)
add_library(keyvane_qtbase STATIC src/platform/qt/DataFolder.cpp)
add_library(keyvane_gui STATIC
  src/app/frmMain.cpp src/app/frmMain.h src/app/frmMain.ui
)
add_library(keyvane_peer STATIC src/peer/PeerRun.cpp)
add_executable(keyvane-cipher src/tools/cipher.cpp)
add_executable(keyvane src/app/main.cpp packaging/icon.qrc)
add_library(keyvane_test_support STATIC tests/support/fakes.cpp)
EOF
  local f
  for f in platform/files link/Session link/FileChannel transfer/FileTransfer app/StartUp \
    platform/qt/DataFolder app/frmMain peer/PeerRun; do
    echo '#pragma once' >"$tree/src/$f.h"
  done
  echo '#include "platform/files.h"' >"$tree/src/platform/files.cpp"
  echo '#include "platform/files.h"' >"$tree/src/link/Session.cpp"
  # FileChannel.h has no .cpp: it takes the layer of its folder.
  printf '#include "link/FileChannel.h"\n#include <string>\n' >"$tree/src/transfer/FileTransfer.h"
  echo '#include "transfer/FileTransfer.h"' >"$tree/src/transfer/FileTransfer.cpp"
  echo '#include "link/Session.h"' >"$tree/src/app/StartUp.cpp"
  printf '#include "link/Session.h"\n#include <QObject>\n' >"$tree/src/platform/qt/DataFolder.cpp"
  printf '#include "ui_frmMain.h"\n#include "platform/qt/DataFolder.h"\n' >"$tree/src/app/frmMain.cpp"
  printf '#include "app/StartUp.h"\n#include "platform/qt/DataFolder.h"\n' >"$tree/src/peer/PeerRun.cpp"
  echo '#include "platform/files.h"' >"$tree/src/tools/cipher.cpp"
  echo '#include "app/frmMain.h"' >"$tree/src/app/main.cpp"
  echo '#include "link/Session.h"' >"$tree/tests/support/fakes.cpp"
}
expect_layers() {  # WANT (pass|fail) WHAT [TEXT the failure must name]
  local out rc=0
  out=$("$tree/scripts/check-layers.sh" 2>&1) || rc=$?
  if [ "$1" = pass ] && [ $rc -ne 0 ]; then fail "layers, $2: failed: $out"; fi
  if [ "$1" = fail ] && [ $rc -ne 1 ]; then fail "layers, $2: exit $rc, not 1: $out"; fi
  if [ -n "${3:-}" ] && ! grep -qF -- "$3" <<<"$out"; then fail "layers, $2: no \"$3\" in: $out"; fi
  return 0
}
add() { echo "$2" >>"$tree/src/$1"; }

clean_tree
expect_layers pass "a clean tree"

clean_tree && add platform/files.cpp '#include "link/Session.h"'
expect_layers fail "core up to logic" "src/platform/files.cpp:2: core code includes link/Session.h (logic)"
clean_tree && add tools/cipher.cpp '#include "link/Session.h"'
expect_layers fail "a one-line program's source up to logic" "tools/cipher.cpp:2: core code"
clean_tree && add link/Session.cpp '#include <QString>'
expect_layers fail "Qt in logic" "Qt header <QString> in logic"
clean_tree && add link/FileChannel.h '#include <QtCore/QObject>'
expect_layers fail "Qt in a logic header without a .cpp" "link/FileChannel.h:2: Qt header"
clean_tree && add peer/PeerRun.cpp '#include "app/frmMain.h"'
expect_layers fail "the peer up to the window" "peer code includes app/frmMain.h (gui)"
clean_tree && add platform/qt/DataFolder.h '#include "app/StartUp.h"'
expect_layers fail "platform/qt up to app/, though its layer allows logic" "only app/ and peer/ may"
clean_tree && add link/Session.h '#include "transfer/FileTransfer.h"'
expect_layers fail "link down to transfer" "link/ includes transfer/FileTransfer.h"
clean_tree && add transfer/FileTransfer.cpp '#include "link/Session.h"'
expect_layers fail "transfer past FileChannel" "it reaches the link through FileChannel"
clean_tree && add link/Session.cpp '#include "support/fakes.h"'
expect_layers fail "test code in the program" "includes support/fakes.h, test or fuzzer code"
clean_tree && sed -i 's#^  src/platform/files.cpp#&\n  tests/support/memory_files.cpp#' "$tree/CMakeLists.txt"
expect_layers fail "fuzzer code built into a shipped library" \
  "keyvane_core is built from tests/support/memory_files.cpp"
clean_tree && echo '#include "link/Session.h"' >"$tree/src/stray.cpp"
expect_layers fail "a source in no library" "src/stray.cpp: in no library"

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
