#!/usr/bin/env bash
# Builds the portable code natively with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs its unit tests, then runs each fuzz target
# for a few seconds from the checked-in seed corpus.
# Usage: scripts/native-tests.sh [SECONDS_PER_TARGET]   (default 10)
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

seconds=${1:-10}
native="$ORBEX_BUILD/native"

# build_native: configures (once) and builds the native project in $native.
build_native() {
  command -v clang++ >/dev/null || ensure_packages
  log "building the native sanitizer and fuzzing programs"
  mkdir -p "$native"
  if [ ! -f "$native/build.ninja" ]; then
    cmake -S "$ORBEX_ROOT/fuzz" -B "$native" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  fi
  cmake --build "$native" >"$native/build.log" 2>&1 || { cat "$native/build.log" >&2; exit 1; }
}

# Sourced by scripts/fuzz.sh for build_native only.
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0

build_native

log "running the native unit tests under the sanitizers"
rm -rf "$native/gtest-results"
GTEST_OUTPUT="xml:$native/gtest-results/" \
  ctest --test-dir "$native" --output-on-failure --timeout 300 --output-log "$native/ctest.log"

# A fresh copy of the seeds each time: libFuzzer adds what it finds to the
# first corpus folder, and the checked-in seeds stay as they are.
failed=()
while read -r target; do
  [ -n "$target" ] || continue
  log "fuzzing $target for ${seconds}s"
  corpus="$native/smoke-corpus/$target"
  artifacts="$native/smoke-artifacts/$target/"
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  cp "$ORBEX_ROOT/fuzz/corpus/$target/"* "$corpus/"
  if ! "$native/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts" "$corpus" >"$native/$target.log" 2>&1; then
    tail -n 40 "$native/$target.log" >&2
    failed+=("$target")
  fi
  grep -E '^stat::number_of_executed_units' "$native/$target.log" >&2 || true
done <"$native/fuzz_targets.txt"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets failed: ${failed[*]} (inputs in $native/smoke-artifacts/)" >&2
  exit 1
fi
log "native tests and fuzzing passed"
