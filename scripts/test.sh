#!/usr/bin/env bash
# Installs what is missing, builds the release launcher and the Windows test
# programs, and runs every test: the Windows suite under Wine through ctest,
# then the native sanitizer and fuzzing runs of the portable code.
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

ensure_packages
ensure_test_user
build_release

arch=$(test_arch)
work=$(wine_workdir "$ORBEX_BUILD/test-$arch")
log "building the Windows test programs ($arch)"
write_wine_runner "$work/wine-run" "$arch" "$work"
ensure_wine_prefix "$work"
# The tests read the shipped 32-bit launcher from where the test user can.
mkdir -p "$work/shipped"
cp "$ORBEX_ROOT/dist/Orbex.exe" "$work/shipped/Orbex.exe"
configure_and_build "$arch" "$work" -DORBEX_BUILD_TESTS=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$work/wine-run" \
  -DORBEX_SHIPPED_LAUNCHER="$work/shipped/Orbex.exe"
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$work"

log "running the Windows tests under Wine ($arch, as an unprivileged user)"
as_wine_user "$work" ctest --test-dir "$work" --output-on-failure --timeout 900

if [ -x "$ORBEX_ROOT/scripts/native-tests.sh" ]; then
  "$ORBEX_ROOT/scripts/native-tests.sh"
fi
