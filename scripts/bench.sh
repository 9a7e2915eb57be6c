#!/usr/bin/env bash
# Benchmarks: builds the release launcher and the benchmark programs, then
# prints a table of medians, each beside its reference and the ratio. Every
# reference is measured in the same run, taking turns with what it is
# compared with, round by round, so that the machine's noise hits both.
# Usage: bash scripts/bench.sh [--quick | --full]
#
# Wine runs as the unprivileged test user in a private prefix under
# build/bench-<arch>. The timings are of the <arch> build (see test_arch in
# common.sh); the size row is of the shipped 32-bit dist/Orbex.exe. Test data
# is made from the Linux side (far faster than making it under Wine) and kept
# in build/bench-<arch>/data for later runs.
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

# Rounds: of the starts; of the 1,000-file update and of the changed-only
# staging; of the 2,000-file update against the floor (cheap, and its target
# is a close one); of the 10,000-file update and of the --all staging; runs
# of each listing.
case "${1:-}" in
  --quick) HANDOFF_RUNS=5 SMALL_ROUNDS=3 FLOOR_ROUNDS=3 LARGE_ROUNDS=1 LIST_RUNS=3 ;;
  --full) HANDOFF_RUNS=21 SMALL_ROUNDS=9 FLOOR_ROUNDS=15 LARGE_ROUNDS=5 LIST_RUNS=11 ;;
  "") HANDOFF_RUNS=11 SMALL_ROUNDS=5 FLOOR_ROUNDS=9 LARGE_ROUNDS=3 LIST_RUNS=5 ;;
  *) echo "usage: bash scripts/bench.sh [--quick | --full]" >&2; exit 2 ;;
esac

command -v python3 >/dev/null || { echo "python3 is needed to make the test data" >&2; exit 1; }
prepare_wine_work bench
arch=$ARCH work=$WORK
log "building the benchmark programs ($arch)"
configure_and_build "$arch" "$work" -DORBEX_BUILD_BENCH=ON
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$work"
bin="$work/bin"
data="$work/data"
mkdir -p "$data"

# Wine shows the Linux root as drive Z:.
winpath() { local p="Z:$1"; printf '%s' "${p//\//\\}"; }
give_to_wine_user() { [ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$@"; return 0; }
median() { sort -g | awk '{v[NR] = $1} END {if (NR) print v[int((NR + 1) / 2)]; else print "nan"}'; }
now_ms() { echo $(($(date +%s%N) / 1000)) | awk '{printf "%.3f\n", $1 / 1000}'; }

# bench_timer ARGS...: the timer's lines (milliseconds), read from a file: a
# pipe would also wait for every process that Wine started. A failed run (a
# program that cannot start or exits with a code other than 0) ends the whole
# benchmark: its time would not be the time of the work. Called as
# var=$(bench_timer ...) or arr+=("$(bench_timer ...)"), so that the failure
# reaches set -e.
bench_timer() {
  local out="$work/timer.out"
  as_wine_user "$work" "$work/wine-run" "$bin/bench_timer.exe" "$@" >"$out" 2>"$work/timer.err" ||
    { cat "$work/timer.err" >&2; echo "bench.sh: stopped, a measured run failed" >&2; exit 1; }
  # The Windows C runtime ends its lines with CR LF.
  tr -d '\r' <"$out"
}

# make_tree DIR FILES FOLDERS TOTAL_BYTES SEED [LARGEST]: a staged update of
# FILES files in FOLDERS subfolders (up to 6 levels deep), mixed sizes from
# 100 bytes to about LARGEST (1 MB unless given) adding up to TOTAL_BYTES.
# Made once; DIR.complete marks a finished one.
make_tree() {
  local dir=$1
  [ -f "$dir.complete" ] && return 0
  log "making $2 files in $3 folders under $dir (kept for later runs)"
  rm -rf "$dir"
  python3 - "$@" <<'PY'
import math, os, random, sys
root, files, folders, total, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
largest = int(sys.argv[6]) if len(sys.argv) > 6 else 1 << 20
rng = random.Random(seed)
tree = [("", 0)]
for i in range(folders):
    parent, depth = rng.choice([f for f in tree if f[1] < 6])
    tree.append((os.path.join(parent, "Dir%03d" % i), depth + 1))
for path, _ in tree:
    os.makedirs(os.path.join(root, path), exist_ok=True)
# Log-uniform sizes from 100 bytes to the largest, scaled to the total.
raw = [math.exp(rng.uniform(math.log(100), math.log(largest))) for _ in range(files)]
scale = total / sum(raw)
block = os.urandom(1 << 21)
for i, size in enumerate(raw):
    name = "%s%05d.%s" % (rng.choice(["file", "File", "data"]), i, rng.choice(["dat", "txt", "bin"]))
    with open(os.path.join(root, rng.choice(tree)[0], name), "wb") as out:
        n = max(1, int(size * scale))
        start = rng.randrange(0, len(block) - min(n, len(block)) + 1)
        while n > 0:
            chunk = block[start:start + n]
            out.write(chunk)
            n -= len(chunk)
            start = 0
PY
  : >"$dir.complete"
}

# make_flat DIR COUNT: COUNT empty files in one folder, named in an order
# unrelated to the sorted one.
make_flat() {
  local dir=$1 count=$2
  [ -f "$dir.complete" ] && return 0
  log "making $count files in one folder $dir (kept for later runs)"
  rm -rf "$dir" && mkdir -p "$dir"
  python3 - "$dir" "$count" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    open(os.path.join(root, "f%05d-%c.dat" % ((i * 7919) % count, chr(ord("a") + i % 26))), "w").close()
PY
  give_to_wine_user "$dir"
  : >"$dir.complete"
}

# make_folders DIR COUNT: COUNT empty folders, up to 6 levels deep.
make_folders() {
  local dir=$1 count=$2
  [ -f "$dir.complete" ] && return 0
  log "making a tree of $count folders $dir (kept for later runs)"
  rm -rf "$dir" && mkdir -p "$dir"
  python3 - "$dir" "$count" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
tree = [("", 0)]
for i in range(count):
    parent, depth = rng.choice([f for f in tree if f[1] < 6])
    tree.append((os.path.join(parent, "Sub%04d" % i), depth + 1))
    os.makedirs(os.path.join(root, tree[-1][0]))
PY
  give_to_wine_user "$dir"
  : >"$dir.complete"
}

rows=()
# row NAME OURS REFERENCE_NAME REFERENCE TARGET
row() {
  local ratio ours reference
  ratio=$(awk -v a="$2" -v b="$4" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}')
  # Times to a tenth of a millisecond; counts and sizes as they are.
  ours=$(awk -v v="$2" 'BEGIN {if (v ~ /\./) printf "%.1f", v; else print v}')
  reference=$(awk -v v="$4" 'BEGIN {if (v ~ /\./) printf "%.1f", v; else print v}')
  rows+=("$(printf '| %-54s | %10s | %-42s | %10s | %5s | %-10s |' "$1" "$ours" "$3" "$reference" "$ratio" "$5")")
}

# --- Hand-off -------------------------------------------------------------
# The launcher without a pending update against the bare hand-off program
# (bench/bare_handoff.cpp: shell32 loaded from the system folder, the same
# "open" of the same main program with the same argument and working
# folder), to its exit and until the main program runs. All contenders take
# turns in the same rounds; the trivial program and the main program started
# directly are there for information.
log "hand-off: $HANDOFF_RUNS rounds"
app="$work/app"
rm -rf "$app"
mkdir -p "$app/OrbexData"
cp "$bin/Orbex.exe" "$app/Orbex.exe"
cp "$bin/bare_handoff.exe" "$app/bare_handoff.exe"
cp "$bin/bench_main_signal.exe" "$app/OrbexData/Orbex.exe"
give_to_wine_user "$app"
argument=start.htm
main_program=$(winpath "$app/OrbexData/Orbex.exe")
launcher="$(winpath "$app/Orbex.exe") $argument"
bare_handoff="$(winpath "$app/bare_handoff.exe") $main_program $(winpath "$app/OrbexData")\\ $argument"
handoff_rounds() {
  bench_timer --rounds "$1" --starts-main "$launcher" --next --starts-main "$bare_handoff" \
    --next "$(winpath "$bin/bench_trivial.exe")" \
    --next --until-started "$launcher" --next --until-started "$bare_handoff" \
    --next --until-started "$main_program $argument"
}
# column N: the median of the Nth figure of each line on stdin.
column() { awk -v n="$1" '{print $n}' | median; }
# One round unmeasured, so that the first measured one does not pay for
# loading the files into the cache.
handoff_rounds 1 >/dev/null
handoff=$(handoff_rounds "$HANDOFF_RUNS")
launcher_run=$(column 1 <<<"$handoff")
launcher_started=$(column 4 <<<"$handoff")
row "launcher start -> exit, no update (ms)" "$launcher_run" "bare hand-off program start -> exit" "$(column 2 <<<"$handoff")" "<= 1.1"
row "" "$launcher_run" "trivial program start -> exit" "$(column 3 <<<"$handoff")" "-"
row "launcher start -> main program runs (ms)" "$launcher_started" "bare hand-off -> main program runs" "$(column 5 <<<"$handoff")" "<= 1.1"
row "" "$launcher_started" "main program started directly" "$(column 6 <<<"$handoff")" "-"

# --- What the update rows share -------------------------------------------
# Every contender starts from the same state: the data folder holds the
# installed version, the staged tree is fresh, and nothing is left for the
# system to write back (sync), which would otherwise slow whoever flushes
# next. After each run the script checks what the run left.
settle() { sync; }
fail() { echo "bench.sh: $*" >&2; exit 1; }
# files_in DIR: how many files the tree holds, leaving out the main program
# and the launcher's own files at the top (the installed version list, the
# status), which are not part of an update's content.
files_in() {
  find "$1" -type f ! -path "$1/Orbex.exe" ! -path "$1/update.version" ! -path "$1/update.status" | wc -l
}
# check_status WHO DATA STATE: the status the launcher left in DATA, where it
# writes one, has the state STATE.
check_status() {
  local status="$2/update.status" line
  [ -f "$status" ] || return 0
  line=$(head -n 1 "$status" | tr -d '\r')
  [ "${line%% *}" = "$3" ] || fail "after $1 the status reads \"$line\", not $3"
}
# check_applied WHO DATA NEW FILES...: WHO left nothing of the update behind
# (no update\ and no update.* but the installed list and a status that says
# applied), FILES (relative) in DATA are those of the tree NEW, and DATA
# holds as many files as NEW.
check_applied() {
  local who=$1 dataDir=$2 new=$3 leftover file
  shift 3
  for leftover in "$dataDir/update" "$dataDir"/update.*; do
    case ${leftover##*/} in update.version | update.status) continue ;; esac
    [ ! -e "$leftover" ] || fail "$who left ${leftover##*/} behind"
  done
  check_status "$who" "$dataDir" applied
  for file in "$@"; do
    cmp -s "$new/$file" "$dataDir/$file" || fail "after $who, $file is not the new version's"
  done
  [ "$(files_in "$dataDir")" = "$(files_in "$new")" ] ||
    fail "after $who the data folder holds $(files_in "$dataDir") files, the new version $(files_in "$new")"
}
# list_to_format_1 FILE: rewrites the version list FILE in format 1, names
# only, as stagers wrote it before lists held sizes and hashes: the header,
# then "d P" -> "P", "s N H P" and "k N H P" -> "P". A list that is in
# format 1 already stays as it is.
list_to_format_1() {
  python3 - "$1" <<'PY'
import re, sys
path = sys.argv[1]
with open(path, "rb") as f:
    lines = f.read().split(b"\r\n")
if lines[0] == b"Orbex version list 1":
    sys.exit(0)
if lines[0] != b"Orbex version list 2" or b"*end" not in lines:
    sys.exit("bench.sh: %s is not a whole version list in format 1 or 2" % path)
end = lines.index(b"*end")
names = []
for line in lines[1:end]:
    record = re.fullmatch(rb"d (.+\\)|[sk] [0-9]+ [0-9a-f]{64} (.+)", line)
    if not record:
        sys.exit("bench.sh: %s holds a record of no known form: %r" % (path, line))
    names.append(record.group(1) or record.group(2))
with open(path, "wb") as f:
    f.write(b"\r\n".join([b"Orbex version list 1"] + names + lines[end:]))
PY
}
# The header of the first list OrbexStage wrote, told below the table: with
# format 1 (names only) the verification rows compare two unverified applies
# and the stage by hash is one by content.
stager_list_header=""
note_list_header() {
  [ -n "$stager_list_header" ] || stager_list_header=$(head -n 1 "$1" | tr -d '\r')
}
# median_of_sums A B: the median of A[i] + B[i], two arrays (named) of times
# taken in the same rounds.
median_of_sums() {
  local -n first=$1 second=$2
  paste -d ' ' <(printf '%s\n' "${first[@]}") <(printf '%s\n' "${second[@]}") |
    awk '{printf "%.3f\n", $1 + $2}' | median
}

# --- An update the running application blocks ----------------------------
# The application runs (its program's image in use) and an update of 200
# files staged by OrbexStage --all replaces that program: the start hands off
# at once and leaves the update waiting. Against a start without an update
# while the same program runs, the two taking turns round by round.
blocked_update() {
  local install="$work/blocked-app" release="$work/blocked-release"
  local dataDir="$work/blocked-app/OrbexData" parked="$work/blocked-app/parked"
  local blocked=() free=() round turn holder waited wlauncher stager
  wlauncher=$(winpath "$install/Orbex.exe")
  stager=$(winpath "$bin/OrbexStage.exe")
  log "starts while the running application blocks an update of 200 files: $HANDOFF_RUNS round(s)"
  rm -rf "$install" "$release" && mkdir -p "$dataDir"
  cp "$bin/Orbex.exe" "$install/Orbex.exe"
  cp -r "$data/tree-200/." "$dataDir/"
  cp "$bin/bench_main_signal.exe" "$dataDir/Orbex.exe"
  cp -r "$data/tree-200" "$release"
  cp "$bin/bench_main_signal.exe" "$release/Orbex.exe"
  give_to_wine_user "$install" "$release"
  bench_timer "$stager --all $(winpath "$release") $(winpath "$dataDir")" >/dev/null
  [ -f "$dataDir/update/update.version" ] && [ -f "$dataDir/update/Orbex.exe" ] ||
    fail "OrbexStage --all staged no version list or no main program"
  mv "$dataDir/update" "$parked"
  touch "$dataDir/hold.flag" "$dataDir/hold.starting"
  give_to_wine_user "$dataDir"
  (cd "$dataDir" && as_wine_user "$work" "$work/wine-run" "$dataDir/Orbex.exe" hold >/dev/null 2>&1) &
  holder=$!
  for waited in $(seq 300); do [ -e "$dataDir/hold.starting" ] && sleep 0.1; done
  [ ! -e "$dataDir/hold.starting" ] || fail "the main program meant to keep running did not start"
  for round in $(seq "$HANDOFF_RUNS"); do
    for turn in 0 1; do
      if [ $(((round + turn) % 2)) = 0 ]; then
        mv "$parked" "$dataDir/update"
        settle
        blocked+=("$(bench_timer --until-started "$wlauncher")")
        [ -f "$dataDir/update/Orbex.exe" ] && [ ! -e "$dataDir/update.journal" ] && [ ! -e "$dataDir/update.version" ] ||
          fail "the launcher did not leave the update waiting for the running main program"
        check_status "the blocked start" "$dataDir" waiting
        mv "$dataDir/update" "$parked"
      else
        settle
        free+=("$(bench_timer --until-started "$wlauncher")")
      fi
    done
  done
  rm -f "$dataDir/hold.flag"
  wait "$holder" || fail "the main program kept running ended with an error"
  row "start -> main program runs, update blocked by it (ms)" "$(printf '%s\n' "${blocked[@]}" | median)" \
    "start -> main program runs, no update" "$(printf '%s\n' "${free[@]}" | median)" "<= 1.2"
  rm -rf "$install" "$release"
}

# --- Applying an update ---------------------------------------------------
# apply_update KIND LABEL MASTER ROUNDS: the launcher applying an update of
# the tree MASTER staged as vendors ship it, by OrbexStage.exe --all (with its
# version list, each file flushed when it was staged; the staging is not
# timed), in ROUNDS rounds, against references taken in the same rounds.
# Both kinds also time, in the same rounds:
#   unverified  the launcher applying the same staged tree with its list
#               rewritten in format 1 (names only), which it applies without
#               verifying it: what verification costs;
#   floor       bare_move moving the same tree into place (no journal, no
#               checks, no flush).
# KIND full: the target reference is bare_update copying the same tree with a
# flush per file. For information: bare_update without the flushes, xcopy +
# rmdir under the same Wine, native cp + rm, and the launcher applying the
# same tree staged by copying (no version list: it flushes every staged file
# before it moves any).
# KIND floor: the target reference is the floor; for information, the floor
# plus a start without an update (the launcher's own start and hand-off, which
# its times include), added up within each round.
#
# The installed version is the new one but for a few files, so that the check
# after each run sees the new content arrive. The contenders take turns, the
# first one moving on by one each round.
apply_update() {
  local kind=$1 label=$2 master=$3 rounds=$4
  local install="$work/update-app"
  local dataDir="$install/OrbexData" staged="$install/OrbexData/update"
  local ours=() unverified=() floor=() idle=() copied=() bare=() unflushed=() xcopy=() native=()
  local contenders=()
  case $kind in
    full) contenders=(listed unverified floor copied bare unflushed xcopy native) ;;
    floor) contenders=(listed unverified floor idle) ;;
  esac
  log "applying an update of $label: $rounds round(s)"
  rm -rf "$install"
  mkdir -p "$dataDir"
  cp "$bin/Orbex.exe" "$install/Orbex.exe"
  cp "$bin/bench_main_signal.exe" "$dataDir/Orbex.exe"
  cp -r "$master/." "$dataDir/"
  give_to_wine_user "$install"
  local marked=() total
  total=$(files_in "$master")
  mapfile -t marked < <(cd "$master" && find . -type f | sort | sed -n "1~$((total / 5))p")
  local wlauncher wdata wstaged wmaster stager bare_update bare_move
  wlauncher=$(winpath "$install/Orbex.exe")
  wdata=$(winpath "$dataDir")
  wstaged=$(winpath "$staged")
  wmaster=$(winpath "$master")
  stager=$(winpath "$bin/OrbexStage.exe")
  bare_update=$(winpath "$bin/bare_update.exe")
  bare_move=$(winpath "$bin/bare_move.exe")
  # The installed version: the new one but for the marked files.
  installed_version() {
    local file
    for file in "${marked[@]}"; do printf 'installed version\n' >"$dataDir/$file"; done
    give_to_wine_user "${marked[@]/#/$dataDir/}"
    rm -f "$dataDir/update.version" "$dataDir/update.status"
  }
  copy_staged() { rm -rf "$staged" && cp -r "$master" "$staged" && give_to_wine_user "$staged"; }
  stage_all() {
    bench_timer "$stager --all $wmaster $wdata" >/dev/null
    [ -f "$staged/update.version" ] || fail "OrbexStage --all staged no version list"
    note_list_header "$staged/update.version"
  }
  local round turn start
  for round in $(seq "$rounds"); do
    for turn in "${!contenders[@]}"; do
      installed_version
      case ${contenders[(round - 1 + turn) % ${#contenders[@]}]} in
        listed)
          stage_all; settle
          ours+=("$(bench_timer --starts-main "$wlauncher")")
          check_applied "the launcher (OrbexStage --all)" "$dataDir" "$master" "${marked[@]}" ;;
        unverified)
          stage_all
          list_to_format_1 "$staged/update.version"
          give_to_wine_user "$staged/update.version"
          settle
          unverified+=("$(bench_timer --starts-main "$wlauncher")")
          check_applied "the launcher (list rewritten in format 1)" "$dataDir" "$master" "${marked[@]}" ;;
        floor)
          copy_staged; settle
          floor+=("$(bench_timer "$bare_move $wstaged\\ $wdata\\")")
          check_applied bare_move "$dataDir" "$master" "${marked[@]}" ;;
        idle)
          settle
          idle+=("$(bench_timer --starts-main "$wlauncher")") ;;
        copied)
          copy_staged; settle
          copied+=("$(bench_timer --starts-main "$wlauncher")")
          check_applied "the launcher (staged by copying)" "$dataDir" "$master" "${marked[@]}" ;;
        bare)
          copy_staged; settle
          bare+=("$(bench_timer "$bare_update $wstaged\\ $wdata\\")")
          check_applied bare_update "$dataDir" "$master" "${marked[@]}" ;;
        unflushed)
          copy_staged; settle
          unflushed+=("$(bench_timer "$bare_update --no-flush $wstaged\\ $wdata\\")")
          check_applied "bare_update --no-flush" "$dataDir" "$master" "${marked[@]}" ;;
        xcopy)
          copy_staged; settle
          xcopy+=("$(bench_timer "xcopy $wstaged $wdata /E /Y /I /Q" "cmd /c rmdir /S /Q $wstaged")")
          check_applied "xcopy + rmdir" "$dataDir" "$master" "${marked[@]}" ;;
        native)
          copy_staged; settle
          start=$(now_ms)
          cp -r "$staged/." "$dataDir/"
          rm -r "$staged"
          native+=("$(awk -v a="$start" -v b="$(now_ms)" 'BEGIN {printf "%.3f", b - a}')")
          give_to_wine_user "$dataDir"
          check_applied "cp + rm" "$dataDir" "$master" "${marked[@]}" ;;
      esac
    done
  done
  local o f b
  o=$(printf '%s\n' "${ours[@]}" | median)
  f=$(printf '%s\n' "${floor[@]}" | median)
  case $kind in
    full)
      b=$(printf '%s\n' "${bare[@]}" | median)
      row "update, $label (ms)" "$o" "bare program, flush per file" "$b" "<= 1.0"
      row "" "$o" "bare program, no flush" "$(printf '%s\n' "${unflushed[@]}" | median)" "-"
      row "" "$o" "bare move, no journal, checks, flush" "$f" "-"
      row "" "$o" "xcopy /E /Y /I + rmdir /S /Q (Wine)" "$(printf '%s\n' "${xcopy[@]}" | median)" "< 1"
      row "" "$o" "native cp -r + rm -r" "$(printf '%s\n' "${native[@]}" | median)" "-"
      ;;
    floor)
      row "update, $label (ms)" "$o" "bare move, no journal, checks, flush" "$f" "<= 1.25"
      row "" "$o" "bare move + start, no update, summed" "$(median_of_sums floor idle)" "-"
      ;;
  esac
  row "  verification: the apply above, verified (ms)" "$o" "the same, list in format 1: not verified" \
    "$(printf '%s\n' "${unverified[@]}" | median)" "-"
  if [ "$kind" = full ]; then
    row "  the same tree staged by copying, no list (ms)" "$(printf '%s\n' "${copied[@]}" | median)" \
      "bare program, flush per file" "$b" "-"
  fi
  rm -rf "$install"
}
make_tree "$data/tree-1k" 1000 50 $((2 * 1024 * 1024)) 1
make_tree "$data/tree-2k-small" 2000 20 $((4 * 1024 * 1024)) 4 8192
make_tree "$data/tree-10k" 10000 500 $((100 * 1024 * 1024)) 2
make_tree "$data/tree-200" 200 10 $((400 * 1024)) 3
give_to_wine_user "$data"
blocked_update
apply_update full "1,000 files (2 MB), OrbexStage --all" "$data/tree-1k" "$SMALL_ROUNDS"
apply_update floor "2,000 files (4 MB), OrbexStage --all" "$data/tree-2k-small" "$FLOOR_ROUNDS"
apply_update full "10,000 files (100 MB), OrbexStage --all" "$data/tree-10k" "$LARGE_ROUNDS"

# --- Staging only what changed --------------------------------------------
# The case a user meets: the installed application is the 10,000-file tree,
# put there by an update (staged by OrbexStage --all and applied once, so
# that the installed list holds each file's size and hash), and the new
# version differs in 2 % of its files (half of them keep their size). Each
# round takes its parts in rotating order, each from the same installed
# version with nothing left to write back:
#   hash       OrbexStage stages only what changed, telling changed files by
#              the installed list's hashes; the launcher's start (to its exit)
#              applies it;
#   content    the same stage with the installed list rewritten in format 1
#              (names only), so that the stager compares contents, as before
#              lists held hashes; its staged tree is deleted, not applied;
#   read       bare_read reading every byte of the new version once: the
#              floor for the stage by hash, which has to hash the source;
#   reference  the launcher's start without an update, then the bare program
#              copying those 2 % alone (a flush per file); the two times are
#              added up within the round: the reference for the start above;
#   all        OrbexStage --all stages everything; the launcher's start
#              applies it. In LARGE_ROUNDS of the rounds, spread over them.
make_release() {
  local master=$1 dir=$2 changed=$3
  [ -f "$dir.complete" ] && return 0
  log "making a new version of $master with 2 % of its files changed (kept for later runs)"
  rm -rf "$dir" "$changed"
  cp -r "$master" "$dir"
  python3 - "$dir" "$changed" <<'PY'
import os, random, sys
root, changed = sys.argv[1], sys.argv[2]
files = sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)
for i, rel in enumerate(random.Random(12).sample(files, len(files) // 50)):
    with open(os.path.join(root, rel), "rb") as f:
        content = bytearray(f.read())
    if i % 2 == 0:
        content[len(content) // 2] ^= 0xFF  # same size, one byte differs mid-file
    else:
        content += b" new version"
    for base in (root, changed):
        os.makedirs(os.path.dirname(os.path.join(base, rel)), exist_ok=True)
        with open(os.path.join(base, rel), "wb") as f:
            f.write(content)
PY
  : >"$dir.complete"
}
stage_changed_only() {
  local install="$work/stage-app" release="$data/release-10k" changed="$data/changed-10k"
  local dataDir="$work/stage-app/OrbexData" staged="$work/stage-app/OrbexData/update"
  local lists="$work/stage-app/lists"
  local stage_all=() start_all=() stage_hash=() stage_content=() read_once=() start_changed=() reference=()
  log "staging a new version with 2 % changed: $SMALL_ROUNDS round(s), --all in $LARGE_ROUNDS of them"
  rm -rf "$install" && mkdir -p "$dataDir" "$lists"
  cp "$bin/Orbex.exe" "$install/Orbex.exe"
  cp "$bin/bench_main_signal.exe" "$dataDir/Orbex.exe"
  give_to_wine_user "$install"
  local changed_files=()
  mapfile -t changed_files < <(cd "$changed" && find . -type f | sort)
  local stager wrelease wdata wstaged wlauncher bare_update bare_read
  stager=$(winpath "$bin/OrbexStage.exe")
  wrelease=$(winpath "$release")
  wdata=$(winpath "$dataDir")
  wstaged=$(winpath "$staged")
  wlauncher=$(winpath "$install/Orbex.exe")
  bare_update=$(winpath "$bin/bare_update.exe")
  bare_read=$(winpath "$bin/bare_read.exe")
  # The installed version as an update leaves it; its list kept, and a copy
  # of it rewritten in format 1 for the content part.
  bench_timer "$stager --all $(winpath "$data/tree-10k") $wdata" >/dev/null
  settle
  bench_timer --starts-main "$wlauncher" >/dev/null
  check_applied "the launcher (installing the 10,000 files)" "$dataDir" "$data/tree-10k"
  [ -f "$dataDir/update.version" ] || fail "the launcher installed no version list"
  cp "$dataDir/update.version" "$lists/hashes.version"
  cp "$dataDir/update.version" "$lists/names.version"
  list_to_format_1 "$lists/names.version"
  # installed_version hashes|names: puts the installed version back (the
  # changed files as they were, the installed list with hashes or names
  # only): far cheaper than reinstalling 100 MB.
  installed_version() {
    (cd "$changed" && find . -type f -print0) | (cd "$data/tree-10k" && tar -c --null -T - -f -) |
      (cd "$dataDir" && tar -x -f -)
    cp "$lists/$1.version" "$dataDir/update.version"
    rm -f "$dataDir/update.status"
    give_to_wine_user "$dataDir"
  }
  check_staged() {
    [ "$(files_in "$staged")" = "${#changed_files[@]}" ] ||
      fail "$1 staged $(files_in "$staged") files, not the ${#changed_files[@]} changed"
  }
  local round turn parts start copy
  for round in $(seq "$SMALL_ROUNDS"); do
    parts=(hash content read reference)
    # --all in LARGE_ROUNDS of the rounds, spread over them.
    if [ $((round * LARGE_ROUNDS / SMALL_ROUNDS)) -gt $(((round - 1) * LARGE_ROUNDS / SMALL_ROUNDS)) ]; then
      parts+=(all)
    fi
    for turn in "${!parts[@]}"; do
      case ${parts[(round - 1 + turn) % ${#parts[@]}]} in
        hash)
          installed_version hashes
          settle
          stage_hash+=("$(bench_timer "$stager $wrelease $wdata")")
          check_staged "the stage by hash"
          settle
          start_changed+=("$(bench_timer --starts-main "$wlauncher")")
          check_applied "the launcher (changed-only stage)" "$dataDir" "$release" "${changed_files[@]}" ;;
        content)
          installed_version names
          settle
          stage_content+=("$(bench_timer "$stager $wrelease $wdata")")
          check_staged "the stage by content"
          rm -rf "$staged" ;;
        read)
          settle
          read_once+=("$(bench_timer "$bare_read $wrelease\\")") ;;
        reference)
          installed_version hashes
          settle
          start=$(bench_timer --starts-main "$wlauncher")
          cp -r "$changed" "$staged"
          give_to_wine_user "$staged"
          settle
          copy=$(bench_timer "$bare_update $wstaged\\ $wdata\\")
          check_applied "bare_update of the changed files" "$dataDir" "$release" "${changed_files[@]}"
          reference+=("$(awk -v a="$start" -v b="$copy" 'BEGIN {printf "%.3f", a + b}')") ;;
        all)
          installed_version hashes
          settle
          stage_all+=("$(bench_timer "$stager --all $wrelease $wdata")")
          settle
          start_all+=("$(bench_timer --starts-main "$wlauncher")")
          check_applied "the launcher (--all stage)" "$dataDir" "$release" "${changed_files[@]}" ;;
      esac
    done
  done
  local sh tc
  sh=$(printf '%s\n' "${stage_hash[@]}" | median)
  tc=$(printf '%s\n' "${start_changed[@]}" | median)
  row "stage 10,000 files, 2 % changed, by hash (ms)" "$sh" \
    "the same, installed list in format 1" "$(printf '%s\n' "${stage_content[@]}" | median)" "-"
  row "" "$sh" "bare read of the new version, once" "$(printf '%s\n' "${read_once[@]}" | median)" "-"
  row "" "$sh" "OrbexStage --all" "$(printf '%s\n' "${stage_all[@]}" | median)" "-"
  row "start -> exit after the changed-only stage (ms)" "$tc" \
    "start -> exit after the --all stage" "$(printf '%s\n' "${start_all[@]}" | median)" "<= 0.1"
  row "" "$tc" "start, no update + bare 2 % copy, summed" "$(printf '%s\n' "${reference[@]}" | median)" "<= 1.2"
  rm -rf "$install"
}
make_release "$data/tree-10k" "$data/release-10k" "$data/changed-10k"
give_to_wine_user "$data"
stage_changed_only

# --- Listing --------------------------------------------------------------
make_flat "$data/flat-50k" 50000
make_folders "$data/folders-5k" 5000
log "listing: $LIST_RUNS runs each"
list_bench() {
  as_wine_user "$work" "$work/wine-run" "$bin/list_bench.exe" "$@" >"$work/list.out" 2>&1 ||
    { cat "$work/list.out" >&2; exit 1; }
  tr -d '\r' <"$work/list.out"
}
listed=$(list_bench files "$(winpath "$data/flat-50k")\\" "$LIST_RUNS")
read -r bare_files our_files count_files _ <<<"$listed"
row "ListFolderFiles, $count_files files in one folder (ms)" "$our_files" "bare FindFirstFileA loop" "$bare_files" "<= 1.5"
listed=$(list_bench tree "$(winpath "$data/folders-5k")\\" "$LIST_RUNS")
read -r bare_tree our_tree count_tree _ <<<"$listed"
row "ListFolderTree, $count_tree folders (ms)" "$our_tree" "bare FindFirstFileA walk" "$bare_tree" "-"

# --- Size -----------------------------------------------------------------
shipped="$ORBEX_ROOT/dist/Orbex.exe"
size=$(stat -c %s "$shipped")
imports=$(i686-w64-mingw32-objdump -p "$shipped" | awk '/DLL Name:/ {printf "%s%s", sep, $3; sep = ", "}')
# Not a measurement beside a reference: the ceiling the image test holds the
# shipped launcher to, read from where the build sets it (as a plain or a
# cache variable).
ceiling=$(sed -n 's/^ *set(ORBEX_LAUNCHER_SIZE_CEILING \([0-9][0-9]*\)[ )].*/\1/p' "$ORBEX_ROOT/CMakeLists.txt")
[ -n "$ceiling" ] || { echo "bench.sh: no ORBEX_LAUNCHER_SIZE_CEILING in CMakeLists.txt" >&2; exit 1; }
row "dist/Orbex.exe, 32-bit (bytes)" "$size" "none: the target is a size ceiling" "-" "<= $ceiling"

# --- Table ----------------------------------------------------------------
echo
echo "scripts/bench.sh ${1:-(default rounds)}: medians, $(date -u +%Y-%m-%d), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'),"
echo "$(nproc) cores, $(uname -sr), $($(wine_loader_for "$arch") --version 2>/dev/null), $arch programs under Wine (size: the 32-bit build)."
echo "Rounds, each contender once a round, in turns: starts $HANDOFF_RUNS; 1,000-file update $SMALL_ROUNDS;"
echo "2,000-file update $FLOOR_ROUNDS; 10,000-file update $LARGE_ROUNDS; changed-only staging $SMALL_ROUNDS, with --all in"
echo "$LARGE_ROUNDS of them; listings $LIST_RUNS runs. Lists written by OrbexStage: \"$stager_list_header\"."
echo "Test data made from Linux and reused across runs: ${data#"$ORBEX_ROOT"/}"
echo
printf '| %-54s | %10s | %-42s | %10s | %5s | %-10s |\n' "measure" "Orbex" "reference" "reference" "ratio" "target"
printf '|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..56})" "$(printf -- '-%.0s' {1..12})" \
  "$(printf -- '-%.0s' {1..44})" "$(printf -- '-%.0s' {1..12})" "-------" "------------"
printf '%s\n' "${rows[@]}"
echo
echo "size ceiling: ORBEX_LAUNCHER_SIZE_CEILING in CMakeLists.txt, $ceiling bytes ($((ceiling / 1024)) KiB)"
echo "imports of dist/Orbex.exe: $imports"
if [ "$stager_list_header" != "Orbex version list 2" ]; then
  echo "OrbexStage wrote lists without sizes and hashes: each verification row compares two applies"
  echo "without verification, and the stage \"by hash\" compares contents, as its reference does."
fi
