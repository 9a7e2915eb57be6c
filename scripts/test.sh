#!/usr/bin/env bash
# Installs what is missing, builds the release launcher, the Windows test
# programs and the benchmark programs, and runs every test: the Windows suite
# under Wine through ctest, then the native sanitizer and fuzzing runs of the
# portable code, then the set-up test (scripts/setup-test.sh), which also runs
# the demo, and the quick share of the power-cut tool (scripts/powercut.sh
# --quick).
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

prepare_wine_work test
arch=$ARCH work=$WORK
log "building the Windows test programs and the benchmark programs ($arch)"
# The tests read the shipped 32-bit launcher from where the test user can.
mkdir -p "$work/shipped"
cp "$ORBEX_ROOT/dist/Orbex.exe" "$work/shipped/Orbex.exe"
# The benchmark programs are built here too, never run: scripts/bench.sh is
# too slow for every test run, and a program of it that no longer builds for
# this architecture should fail the tests, not the next benchmark.
configure_and_build "$arch" "$work" -DORBEX_BUILD_TESTS=ON -DORBEX_BUILD_BENCH=ON \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$work/wine-run" \
  -DORBEX_SHIPPED_LAUNCHER="$work/shipped/Orbex.exe"
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$work"

log "running the Windows tests under Wine ($arch, as an unprivileged user)"
# Each GoogleTest program writes its own counts; the closing line adds them up.
rm -rf "$work/gtest-results"
mkdir -p "$work/gtest-results"
[ "$(id -u)" = 0 ] && chown "$ORBEX_TEST_USER" "$work/gtest-results"
as_wine_user "$work" env GTEST_OUTPUT="xml:Z:$work/gtest-results/" \
  ctest --test-dir "$work" --output-on-failure --timeout 900 --output-log "$work/ctest.log"

"$ORBEX_ROOT/scripts/native-tests.sh"

# The set-up with stubbed package tools, and the demo on top of it. Not a
# GoogleTest program: it reports on a line of its own, and its failure fails
# the run once the closing line is out.
log "testing the set-up (package tools stubbed) and the demo"
setup_status=0
bash "$ORBEX_ROOT/scripts/setup-test.sh" || setup_status=$?

# The quick share of the power-cut tool (scripts/powercut.sh): every call of
# an apply and of a stager run cut. Its closing line is its own; its failure,
# like the set-up test's, fails the run once the closing line is out.
log "cutting the power after every call of an apply and of a stager run (quick share)"
powercut_status=0
bash "$ORBEX_ROOT/scripts/powercut.sh" --quick || powercut_status=$?

# Every other failure above has ended the run already. The closing line counts
# the test cases that GoogleTest ran in both runs, from the programs' own
# reports.
gtest_counts "$work/gtest-results"/*.xml "$ORBEX_BUILD/native/gtest-results"/*.xml
[ "$setup_status" = 0 ] || exit "$setup_status"
exit "$powercut_status"
