#!/usr/bin/env bash
# Power cuts, counted: runs each scenario (an apply, a recovery cut itself, a
# stager run replacing a pending update, an apply of a tree staged without a
# list) under strace, builds the data folder as a power cut after each
# recorded file-system call could leave it, runs what the user would run
# next on each such state, and checks that one whole version results (see
# the README, "Power cuts, counted").
# Usage: scripts/powercut.sh [--quick] [--replay SCENARIO:K:MODEL] [--jobs N]
# --quick runs the suite's share; --replay checks one printed state and keeps
# it for a look. Closes with "powercut: N states, M wrong"; exit code 1 when
# M > 0.
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

# strace records the calls; python3 builds and checks the states.
ORBEX_PACKAGES+=(strace python3)
prepare_wine_work powercut
arch=$ARCH work=$WORK
log "building the launcher, the stager and the sample main program ($arch)"
configure_and_build "$arch" "$work"
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$work"
user=
[ "$(id -u)" = 0 ] && user=$ORBEX_TEST_USER
log "cutting the power after every call"
python3 "$ORBEX_ROOT/scripts/powercut.py" --work "$work" --bin "$work/bin" --user "$user" "$@"
