#!/usr/bin/env bash
# Installs what is missing, builds the release launcher and the Windows test
# programs, and runs every test: the Windows suite under Wine through ctest,
# then the native sanitizer and fuzzing runs of the portable code.
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

prepare_wine_work test
arch=$ARCH work=$WORK
log "building the Windows test programs ($arch)"
# The tests read the shipped 32-bit launcher from where the test user can.
mkdir -p "$work/shipped"
cp "$ORBEX_ROOT/dist/Orbex.exe" "$work/shipped/Orbex.exe"
configure_and_build "$arch" "$work" -DORBEX_BUILD_TESTS=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$work/wine-run" \
  -DORBEX_SHIPPED_LAUNCHER="$work/shipped/Orbex.exe"
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$work"

log "running the Windows tests under Wine ($arch, as an unprivileged user)"
as_wine_user "$work" ctest --test-dir "$work" --output-on-failure --timeout 900 \
  --output-log "$work/ctest.log"

"$ORBEX_ROOT/scripts/native-tests.sh"

# Every failure above has ended the run already; one closing line counts the
# test programs of both runs and the fuzz targets.
count_ctest() { grep -oE 'out of [0-9]+' "$1" | tail -n 1 | grep -oE '[0-9]+'; }
total=$(($(count_ctest "$work/ctest.log") + $(count_ctest "$ORBEX_BUILD/native/ctest.log") +
  $(grep -c . "$ORBEX_BUILD/native/fuzz_targets.txt")))
echo "summary: $total passed, 0 failed"
