#!/usr/bin/env bash
# Fails when an #include in src/ runs against the layers of CONTRIBUTING.md, or when a
# shipped program is built from test or fuzzer code.
#
# Each source belongs to the library that CMakeLists.txt lists it in; a header to the
# library of its .cpp, else to the lowest library of its folder. Libraries may use:
#   keyvane_core    itself
#   keyvane_secure  keyvane_core
#   keyvane_logic   keyvane_core, keyvane_secure                       (no Qt header)
#   keyvane_qtbase  keyvane_logic and below
#   keyvane_gui     keyvane_qtbase and below
#   keyvane_peer    keyvane_qtbase and below
# and a program its own library: keyvane -> keyvane_gui, keyvane-peer -> keyvane_peer,
# keyvane-cipher -> keyvane_core. Inside those, folders depend one way:
#   - nothing outside app/ and peer/ includes app/ (the two programs' tops);
#   - link/ includes nothing of transfer/ or sysfiles/;
#   - transfer/ reaches the link only through FileChannel: not Session, Framer or
#     MainState;
#   - nothing in src/ includes memory_files.h, tests/ or fuzz/, and the libraries and
#     programs above list no source outside src/ and packaging/.
set -euo pipefail
cd "$(dirname "$0")/.."

# library or program -> layer, and what each layer may include.
declare -A layer=(
  [keyvane_core]=core [keyvane_secure]=secure [keyvane_logic]=logic
  [keyvane_qtbase]=qtbase [keyvane_gui]=gui [keyvane_peer]=peer
  [keyvane]=gui [keyvane-peer]=peer [keyvane-cipher]=core
)
declare -A may=(
  [core]="core" [secure]="core secure" [logic]="core secure logic"
  [qtbase]="core secure logic qtbase" [gui]="core secure logic qtbase gui"
  [peer]="core secure logic qtbase peer"
)
rank() { case $1 in core) echo 0 ;; secure) echo 1 ;; logic) echo 2 ;; qtbase) echo 3 ;; *) echo 4 ;; esac; }

failures=()
fail() { failures+=("$1"); }

# "target file" for every file listed in add_library, add_executable and target_sources.
listed=$(awk '
  /^[ \t]*(add_library|add_executable|target_sources)[ \t]*\(/ {
    line = $0; sub(/^[^(]*\(/, "", line); split(line, w, /[ \t]+/)
    target = w[1]; inblock = 1; $0 = line; first = 1
  }
  inblock {
    n = split($0, t, /[ \t]+/)
    for (i = 1; i <= n; i++) {
      tok = t[i]; gsub(/[()]/, "", tok)
      if (first && tok == target) { first = 0; continue }
      if (tok != "" && tok !~ /^(STATIC|SHARED|OBJECT|PRIVATE|PUBLIC|INTERFACE)$/ &&
          tok !~ /^\$/) print target, tok
    }
    if (index($0, ")")) inblock = 0
  }' CMakeLists.txt)

declare -A fileLayer dirLayer
while read -r target file; do
  [ -n "${layer[$target]:-}" ] || continue  # tests, benchmarks, fuzzer
  case $file in
    src/* | packaging/*) ;;
    *) fail "$target is built from $file, outside src/ and packaging/" ;;
  esac
  case $file in *memory_files*) fail "$target is built from $file, the fuzzer's folder" ;; esac
  l=${layer[$target]}
  prev=${fileLayer[$file]:-}
  if [ -z "$prev" ] || [ "$(rank "$l")" -lt "$(rank "$prev")" ]; then fileLayer[$file]=$l; fi
  dir=${file%/*}
  prev=${dirLayer[$dir]:-}
  if [ -z "$prev" ] || [ "$(rank "$l")" -lt "$(rank "$prev")" ]; then dirLayer[$dir]=$l; fi
done <<<"$listed"
[ ${#fileLayer[@]} -gt 0 ] || { echo "check-layers: no sources found in CMakeLists.txt" >&2; exit 2; }

layer_of() {  # prints the layer of a file under src/, or nothing
  local f=$1
  if [ -n "${fileLayer[$f]:-}" ]; then echo "${fileLayer[$f]}"; return; fi
  if [ -n "${fileLayer[${f%.h}.cpp]:-}" ]; then echo "${fileLayer[${f%.h}.cpp]}"; return; fi
  local d=${f%/*}
  while [ "$d" != src ] && [ -n "$d" ]; do
    if [ -n "${dirLayer[$d]:-}" ]; then echo "${dirLayer[$d]}"; return; fi
    d=${d%/*}
  done
}

while IFS= read -r -d '' file; do
  from=$(layer_of "$file")
  if [ -z "$from" ]; then
    fail "$file: in no library of CMakeLists.txt"
    continue
  fi
  dir=${file%/*}
  rel=${file#src/}
  n=0
  while IFS= read -r line; do
    n=$((n + 1))
    case $line in '#include'*) ;; *) continue ;; esac
    where="$file:$n"
    if [[ $line =~ ^#include\ *\<(Q[A-Za-z]*(/[A-Za-z]*)?)\> ]]; then
      case $from in core | secure | logic) fail "$where: Qt header <${BASH_REMATCH[1]}> in $from" ;; esac
      continue
    fi
    [[ $line =~ ^#include\ *\"([^\"]+)\" ]] || continue
    inc=${BASH_REMATCH[1]}
    case $inc in
      *memory_files.h | support/* | tests/* | fuzz/*)
        fail "$where: includes $inc, test or fuzzer code" ;;
    esac
    if [ -f "src/$inc" ]; then
      target=src/$inc
    elif [ -f "$dir/$inc" ]; then
      target=$dir/$inc
    else
      continue  # generated (ui_*.h) or not ours
    fi
    to=$(layer_of "$target")
    [ -n "$to" ] || continue  # reported as a file of its own
    case " ${may[$from]} " in
      *" $to "*) ;;
      *) fail "$where: $from code includes ${target#src/} ($to)" ;;
    esac
    trel=${target#src/}
    case $rel in app/* | peer/*) ;; *)
      case $trel in app/*) fail "$where: includes $trel; only app/ and peer/ may" ;; esac ;;
    esac
    case $rel in link/*)
      case $trel in transfer/* | sysfiles/*) fail "$where: link/ includes $trel" ;; esac ;;
    esac
    case $rel in transfer/*)
      case $trel in link/Session.h | link/Framer.h | link/MainState.h)
        fail "$where: transfer/ includes $trel; it reaches the link through FileChannel" ;;
      esac ;;
    esac
  done <"$file"
done < <(find src -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)

if [ ${#failures[@]} -gt 0 ]; then
  printf '%s\n' "${failures[@]}" >&2
  echo "Layers: ${#failures[@]} include(s) against CONTRIBUTING.md's layers." >&2
  exit 1
fi
echo "Layers: clean."
