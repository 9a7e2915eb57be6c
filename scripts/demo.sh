#!/usr/bin/env bash
# The main job, shown: installs what is missing, builds the launcher and the
# stager, installs version 1 of a sample application in a temporary folder
# and starts it through the launcher, stages version 2 with OrbexStage.exe
# while version 1 runs (as a vendor's updater would), opens another page:
# the update waits and the installation stays whole; then, version 1 ended,
# the next start applies version 2. Shows what the main program received,
# from which folder, and what the update changed.
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

prepare_wine_work run
arch=$ARCH work=$WORK
configure_and_build "$arch" "$work"
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$work"
bin="$work/bin"

demo=$(mktemp -d /tmp/orbex-demo.XXXXXX)
app="$demo/Apps"
data="$app/OrbexData"
release="$demo/release-2"
mkdir -p "$data/res" "$release/res/lang" "$release/plugins/empty"
# Version 1, installed.
cp "$bin/Orbex.exe" "$app/Orbex.exe"
cp "$bin/sample_main.exe" "$data/Orbex.exe"
echo "skin 1" >"$data/res/skin.dat"
echo "logo, the same in both versions" >"$data/res/logo.dat"
echo "user settings, not part of any update" >"$data/settings.ini"
cp "$bin/sample_main.exe" "$data/OrbexPostUpgrade.exe"
# Version 2, as the vendor's updater downloaded it: a new main program, a
# replaced, an unchanged and two new resource files, and an empty folder.
# The stager stages only what differs from version 1.
cp "$bin/sample_main_v2.exe" "$release/Orbex.exe"
echo "skin 2" >"$release/res/skin.dat"
echo "logo, the same in both versions" >"$release/res/logo.dat"
echo "Hello" >"$release/res/lang/en.txt"
echo "Bonjour" >"$release/res/lang/fr.txt"
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$demo"
# Wine shows the Linux root as drive Z:.
winpath() { local p="Z:$1"; printf '%s' "${p//\//\\}"; }

# The fields of the Nth start the sample main program recorded, one a line.
start_line() { sed -n "${1}p" "$data/handoff.log" | tr '\t' '\n' | sed 's/\r$//'; }
wait_for_start() {
  local starts
  for _ in $(seq 100); do
    starts=$(grep -c . "$data/handoff.log" 2>/dev/null) || true
    [ "${starts:-0}" -ge "$1" ] && return 0
    sleep 0.1
  done
  echo "the main program did not record start $1" >&2
}
show_start() {
  echo "the main program recorded start $1 (OrbexData\handoff.log):"
  start_line "$1" | sed 's/^/  /'
}
# start_launcher N ARGUMENTS...: starts the launcher as a user would, and
# shows its exit code and what the main program recorded of start N. Wine
# reads the Unix arguments in the Unix locale's charset, hence UTF-8 here.
start_launcher() {
  local n=$1 code
  shift
  set +e
  LANG=C.UTF-8 LC_ALL=C.UTF-8 as_wine_user "$work" "$work/wine-run" "$app/Orbex.exe" "$@"
  code=$?
  set -e
  echo "launcher exit code: $code"
  wait_for_start "$n"
  show_start "$n"
}
# One digest of the installation: the data folder without its update*
# entries and the main program's log.
installation_digest() {
  (cd "$data" && find . -mindepth 1 ! -path './update*' ! -name handoff.log -type f -print0 | sort -z |
    xargs -0 md5sum | md5sum | cut -c1-32)
}

show_tree() {
  (cd "$1" && find . -mindepth 1 | sort | while read -r path; do
    if [ -d "$path" ]; then printf '  %-34s <folder>\n' "${path#./}/"
    else printf '  %-34s %6d bytes  %s\n' "${path#./}" "$(stat -c %s "$path")" "$(md5sum <"$path" | cut -c1-8)"; fi
  done)
}

log "sample installation (version 1) in $app"
echo "program folder: Orbex.exe (the launcher)"
echo "data folder OrbexData\\:"
show_tree "$data"

# The sample main program stays running while this file exists, as a
# browser stays open.
running="$demo/version-1-running.flag"
touch "$running"
[ "$(id -u)" = 0 ] && chown "$ORBEX_TEST_USER" "$running"
log "starting the launcher: version 1 starts and keeps running (Orbex.exe hold:...)"
as_wine_user "$work" "$work/wine-run" "$app/Orbex.exe" "hold:$(winpath "$running")"
wait_for_start 1
show_start 1

log "staging version 2 while version 1 runs: OrbexStage.exe release-2 Apps\\OrbexData"
set +e
as_wine_user "$work" "$work/wine-run" "$bin/OrbexStage.exe" "$(winpath "$release")" "$(winpath "$data")" \
  >"$demo/stage.out" 2>&1
code=$?
set -e
sed 's/\r$//; s/^/  /' "$demo/stage.out"
echo "stager exit code: $code"
echo "data folder OrbexData\\ with the update pending:"
show_tree "$data"

# A document name that the system code page (1252) cannot spell.
argument='C:\docs\Дмитрий 文档 My Page.htm'
log "opening another page while version 1 runs: Orbex.exe \"$argument\" /nosplash"
installed_before=$(installation_digest)
start_launcher 2 "$argument" /nosplash
if [ "$(installation_digest)" = "$installed_before" ] && [ -d "$data/update" ]; then
  echo "version 1's program is in use, so nothing was replaced: the installation is version 1, whole, and the update waits"
else
  echo "the installation changed while version 1 ran"
fi

log "version 1 ends; the next start applies version 2: Orbex.exe \"$argument\" /nosplash"
rm -f "$running"
for _ in $(seq 100); do pgrep -f 'hold:' >/dev/null || break; sleep 0.1; done
start_launcher 3 "$argument" /nosplash
if start_line 3 | grep -qxF "w1=$argument"; then
  echo "the document name arrived intact (w1: as a Unicode program receives it; 1: the sample program's own view in its ANSI code page)"
else
  echo "the document name did not arrive intact"
fi

log "data folder OrbexData\\ after the update"
show_tree "$data"
if [ -e "$data/update" ]; then echo "the staged update folder is still there"; else echo "the staged update folder is gone"; fi
if [ -e "$data/OrbexPostUpgrade.exe" ]; then echo "OrbexPostUpgrade.exe is still there"; else echo "OrbexPostUpgrade.exe is gone"; fi
rm -rf "$demo"
