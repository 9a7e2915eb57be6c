#!/usr/bin/env bash
# Runs every fuzz target for a longer time, sharing N minutes among them, with
# a corpus kept under build/fuzz-corpus between runs.
# Usage: scripts/fuzz.sh --minutes N
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/native-tests.sh"

minutes=
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=${2:-}; shift 2 ;;
    --minutes=*) minutes=${1#--minutes=}; shift ;;
    *) echo "usage: $0 --minutes N" >&2; exit 2 ;;
  esac
done
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -eq 0 ]; then
  echo "usage: $0 --minutes N" >&2
  exit 2
fi

build_native
mapfile -t targets < <(grep -v '^$' "$native/fuzz_targets.txt")
seconds=$(( minutes * 60 / ${#targets[@]} ))
[ "$seconds" -gt 0 ] || seconds=1
corpora="$ORBEX_BUILD/fuzz-corpus"
artifacts="$ORBEX_BUILD/fuzz-artifacts"

summary=()
result=0
for target in "${targets[@]}"; do
  log "fuzzing $target for ${seconds}s"
  mkdir -p "$corpora/$target" "$artifacts/$target"
  # The seeds join the kept corpus; libFuzzer writes new finds to the first folder.
  status=0
  "$native/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target/" "$corpora/$target" "$ORBEX_ROOT/fuzz/corpus/$target" \
    >"$native/$target.long.log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$native/$target.long.log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$native/$target.long.log")
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$native/$target.long.log" | tail -n 1)
  files=$(find "$corpora/$target" -type f | wc -l)
  line="$target: status $status, ${runs:-?} executions (${speed:-?}/s), ${cov:-no coverage line}, corpus $files files"
  echo "$line"
  summary+=("$line")
  if [ "$status" != 0 ]; then
    result=1
    tail -n 40 "$native/$target.long.log" >&2
  fi
done

log "summary"
printf '%s\n' "${summary[@]}"
crashes=$(find "$artifacts" -type f 2>/dev/null)
if [ -n "$crashes" ]; then
  echo "crash files:"
  printf '%s\n' "$crashes"
else
  echo "no crash files"
fi
exit $result
