#!/usr/bin/env bash
# Installs into a temporary prefix and runs the installed program the way a user of an
# installed copy does: as someone who cannot write the prefix, with a home of their own.
# Usage: install_test.sh BUILD_DIR. Exit 77 (skipped) when no such user can be had.
set -euo pipefail
umask 022  # the installed tree must be readable by the user who runs it
build=$1
work=$(mktemp -d /tmp/keyvane-install-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# Waits (bounded) until the command succeeds; for the other process, never for timing.
wait_for() {
  for _ in $(seq 1 300); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

prefix=$work/prefix
home=$work/home
cmake --install "$build" --prefix "$prefix" >/dev/null
chmod 755 "$work"
kv=$prefix/bin/keyvane

for f in bin/keyvane bin/keyvane-cipher share/keyvane/overview.htm \
  share/applications/org.keyvane.Keyvane.desktop \
  share/metainfo/org.keyvane.Keyvane.metainfo.xml \
  share/icons/hicolor/scalable/apps/org.keyvane.Keyvane.svg \
  share/man/man1/keyvane.1 share/man/man1/keyvane-cipher.1; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
echo "installed layout: ok"

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/org.keyvane.Keyvane.desktop" ||
    fail "desktop-file-validate"
  echo "desktop-file-validate: ok"
else
  echo "desktop-file-validate not installed (desktop-file-utils): not checked"
fi
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "$prefix/share/metainfo/org.keyvane.Keyvane.metainfo.xml" \
    >"$work/appstream.log" 2>&1 || { cat "$work/appstream.log"; fail "appstreamcli validate"; }
  echo "appstreamcli validate: ok"
else
  echo "appstreamcli not installed (appstream): not checked"
fi

# --version and --help answer without a display; anything else is refused.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
version=$("${nodisplay[@]}" "$kv" --version) || fail "--version failed"
[[ $version =~ ^keyvane\ [0-9]+\.[0-9]+ ]] || fail "--version said: $version"
"${nodisplay[@]}" "$kv" --help | grep -q -- "--version" || fail "--help lacks the options"
rc=0
"${nodisplay[@]}" "$kv" --port 1 >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "an unknown option gave exit $rc, not 2"
echo "--version, --help: ok"

# A user who cannot write the prefix.
mkdir -p "$home"
chmod 700 "$home"
if [ "$(id -u)" = 0 ]; then
  if ! id nobody >/dev/null 2>&1 || ! command -v setpriv >/dev/null; then
    echo "SKIPPED: running as root, but there is no user nobody or no setpriv"
    exit 77
  fi
  chown nobody "$home"
  as=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
else
  chmod -R a-w "$prefix"
  as=()
fi
if "${as[@]}" test -w "$prefix/bin"; then
  echo "SKIPPED: cannot take away write access to the prefix from this user"
  exit 77
fi
user=(env -u XDG_DATA_HOME -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" QT_QPA_PLATFORM=offscreen
  XDG_RUNTIME_DIR="$home")
data=$home/.local/share/keyvane

help=$(cd / && "${as[@]}" "${user[@]}" "$kv" --help)
grep -qx "  data folder  $data/" <<<"$help" || fail "--help names another data folder: $help"
grep -qx "  help page    $prefix/share/keyvane/overview.htm" <<<"$help" ||
  fail "--help names another help page: $help"
[ ! -e "$data" ] || fail "--help created the data folder"

touch "$work/before"
start() { # starts the program from "/" (not writable either); its pid in $started
  (cd / && exec "${as[@]}" "${user[@]}" "$kv" >>"$work/out.log" 2>&1) &
  started=$!
  pids+=("$started")
}
# Gone, or a zombie not yet waited for.
ended() { [ ! -e "/proc/$1" ] || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]; }

start
first=$started
wait_for test -s "$data/port.dat" || { cat "$work/out.log"; fail "no port.dat in $data"; }
[ -e "$data/font.dat" ] || fail "no font.dat"
[ -d "$data/Recv" ] || fail "no Recv folder"
[ "$(stat -c %a "$data")" = 700 ] || fail "data folder mode $(stat -c %a "$data")"
[ "$(cat "$data/port.dat")" = $'7777\r' ] || fail "port.dat holds $(od -c "$data/port.dat")"
new=$(find "$prefix" -newer "$work/before" -o -name 'port.dat' -o -name 'Recv')
[ -z "$new" ] || fail "files appeared in the prefix: $new"
echo "first copy: data in $data, none in the prefix: ok"

# Key files of a connection, as the first copy would have them.
"${as[@]}" sh -c "printf 'rotors' > '$data/k1.bin'; printf ' 20  7 \r\n' > '$data/k2.bin'"

# A second copy on the same folder says so and leaves those files alone.
start
second=$started
wait_for grep -q "already running" "$work/out.log" || { cat "$work/out.log"; fail "second copy said nothing"; }
kill -TERM "$second" 2>/dev/null || true
wait_for ended "$second" || fail "second copy did not end"
[ "$(cat "$data/k1.bin")" = rotors ] || fail "the second copy touched the key files"
echo "second copy refused: ok"

kill -TERM "$first"
wait_for ended "$first" || fail "no end on SIGTERM"
rc=0
wait "$first" || rc=$?
[ "$rc" = 0 ] || { cat "$work/out.log"; fail "exit status $rc after SIGTERM"; }
left=$(cd "$data" && ls k[0-9].* 2>/dev/null || true)
[ -z "$left" ] || fail "key files left after SIGTERM: $left"
[ -f "$data/port.dat" ] || fail "port.dat went away"
echo "SIGTERM: clean end, key files wiped: ok"
echo "install test passed"
