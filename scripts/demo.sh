#!/usr/bin/env bash
# The main job, shown: installs what is missing, builds the launcher and the
# stager, installs version 1 of a sample application in a temporary folder,
# stages version 2 with OrbexStage.exe as a vendor's updater would, runs the
# launcher there under Wine with an example argument, and shows what the main
# program received, from which folder, and what the update changed.
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

log "staging version 2: OrbexStage.exe release-2 Apps\\OrbexData"
set +e
as_wine_user "$work" "$work/wine-run" "$bin/OrbexStage.exe" "$(winpath "$release")" "$(winpath "$data")" \
  >"$demo/stage.out" 2>&1
code=$?
set -e
sed 's/\r$//; s/^/  /' "$demo/stage.out"
echo "stager exit code: $code"
echo "data folder OrbexData\\ before the start:"
show_tree "$data"

# A document name that the system code page (1252) cannot spell. Wine reads
# the Unix arguments in the Unix locale's charset, hence a UTF-8 locale here.
argument='C:\docs\Дмитрий 文档 My Page.htm'
log "starting the launcher as a user would: Orbex.exe \"$argument\" /nosplash"
set +e
LANG=C.UTF-8 LC_ALL=C.UTF-8 as_wine_user "$work" "$work/wine-run" "$app/Orbex.exe" "$argument" /nosplash
code=$?
set -e
echo "launcher exit code: $code"
for _ in $(seq 100); do [ -s "$data/handoff.log" ] && break; sleep 0.1; done

log "what the main program recorded (OrbexData\\handoff.log)"
tr '\t' '\n' <"$data/handoff.log" | sed 's/\r$//; s/^/  /'
if tr '\t' '\n' <"$data/handoff.log" | sed 's/\r$//' | grep -qxF "w1=$argument"; then
  echo "the document name arrived intact (w1: as a Unicode program receives it; 1: the sample program's own view in its ANSI code page)"
else
  echo "the document name did not arrive intact"
fi

log "data folder OrbexData\\ after the start"
show_tree "$data"
if [ -e "$data/update" ]; then echo "the staged update folder is still there"; else echo "the staged update folder is gone"; fi
if [ -e "$data/OrbexPostUpgrade.exe" ]; then echo "OrbexPostUpgrade.exe is still there"; else echo "OrbexPostUpgrade.exe is gone"; fi
rm -rf "$demo"
