#!/usr/bin/env bash
# The long run of the crash-consistency test: kills the launcher at random
# moments while it applies an update, then checks that the next start
# completes it. Usage: scripts/update-stress.sh [--trials N] [--seed S] [--files N]
# (defaults: 50 trials, a seed from the clock, 2000 files). Needs a build made
# by scripts/test.sh.
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

args=("$@")
printf '%s\n' "${args[@]}" | grep -qx -- --trials || args+=(--trials 50)
arch=$(test_arch)
work=$(wine_workdir "$ORBEX_BUILD/test-$arch")
[ -x "$work/bin/update_stress_tests.exe" ] || { echo "run scripts/test.sh first" >&2; exit 1; }
as_wine_user "$work" "$work/wine-run" "$work/bin/update_stress_tests.exe" "${args[@]}"
