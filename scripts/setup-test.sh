#!/usr/bin/env bash
# The set-up, tested without touching the machine's packages: apt-get, dpkg,
# dpkg-query, locale and localedef are replaced by stubs first on PATH that
# log every call. The package index refresh always fails as a mirror in
# mid-sync makes it fail; what is reported missing and what cannot be
# installed changes from case to case. The 64-bit case then runs the demo for
# real on top of the stubbed install (the packages are in fact installed).
# Ends with one line "setup test: N passed, N failed"; exit code 1 when a case
# failed. ensure_packages installs only as root, so the cases need root, as
# scripts/test.sh has.
set -uo pipefail
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export ORBEX_ROOT

if [ "$(id -u)" != 0 ]; then
  echo "setup test: skipped (ensure_packages installs only as root)"
  exit 0
fi

stubs=$(mktemp -d "${TMPDIR:-/tmp}/orbex-setup-test.XXXXXX")
trap 'rm -rf "$stubs"' EXIT
mkdir "$stubs/bin"

# Each stub appends its command line to $ORBEX_STUB_LOG.
write_stub() {
  local name=$1 body=$2
  printf '#!/bin/bash\necho "%s $*" >>"$ORBEX_STUB_LOG"\n%s\n' "$name" "$body" >"$stubs/bin/$name"
  chmod 755 "$stubs/bin/$name"
}
# Reports the packages in $ORBEX_STUB_MISSING as not installed.
write_stub dpkg-query '
package=${!#}
for missing in $ORBEX_STUB_MISSING; do
  if [ "$missing" = "$package" ]; then
    echo "dpkg-query: no packages found matching $package" >&2
    exit 1
  fi
done
echo "install ok installed"'
# No foreign architecture is configured.
write_stub dpkg 'exit 0'
# update fails as apt does when a mirror is in mid-sync; install fails for
# $ORBEX_STUB_BROKEN alone and succeeds (installing nothing) otherwise.
write_stub apt-get '
case " $* " in
  *" update "*)
    echo "Hit:1 http://deb.debian.org/debian bookworm InRelease"
    echo "Get:2 http://deb.debian.org/debian bookworm/main amd64 Packages [8786 kB]"
    echo "E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/main/binary-amd64/Packages.xz  File has unexpected size (8786816 != 8788636). Mirror sync in progress? [IP: 151.101.2.132 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *" install "*)
    echo "Reading package lists..."
    for word in "$@"; do
      if [ -n "${ORBEX_STUB_BROKEN:-}" ] && [ "$word" = "$ORBEX_STUB_BROKEN" ]; then
        echo "E: Package '"'"'$word'"'"' has no installation candidate"
        exit 100
      fi
    done
    exit 0 ;;
esac'
write_stub locale 'printf "C\nC.utf8\nPOSIX\nja_JP.utf8\n"'
write_stub localedef 'exit 0'

passed=0 failed=0 case_failures=()
log_file=$stubs/calls.log out_file=$stubs/output.log

# run_case KERNEL_RUNS_32BIT MISSING BROKEN COMMAND: runs `ensure` (the
# set-up alone) or `demo` with the stubs first on PATH; sets $status.
run_case() {
  local program
  case "$4" in
    ensure) program=(bash -c 'source "$ORBEX_ROOT/scripts/common.sh"; ensure_packages') ;;
    demo) program=(bash "$ORBEX_ROOT/scripts/demo.sh") ;;
  esac
  : >"$log_file"
  status=0
  env PATH="$stubs/bin:$PATH" ORBEX_STUB_LOG="$log_file" ORBEX_KERNEL_RUNS_32BIT="$1" \
    ORBEX_STUB_MISSING="$2" ORBEX_STUB_BROKEN="$3" "${program[@]}" >"$out_file" 2>&1 || status=$?
}

fail() { case_failures+=("$*"); }
expect_status() { [ "$status" = "$1" ] || fail "exit code $status, expected $1"; }
expect_call() { grep -Eq -- "$1" "$log_file" || fail "no call matching: $1"; }
expect_no_call() { ! grep -Eq -- "$1" "$log_file" || fail "a call matching: $1"; }
expect_calls() {
  local count
  count=$(grep -Ec -- "$2" "$log_file")
  [ "$count" = "$1" ] || fail "$count calls matching $2, expected $1"
}
# expect_before A B: every call matching A comes before the first matching B.
expect_before() {
  local last first
  last=$(grep -En -- "$1" "$log_file" | tail -n 1 | cut -d: -f1)
  first=$(grep -En -- "$2" "$log_file" | head -n 1 | cut -d: -f1)
  [ -n "$last" ] && [ -n "$first" ] && [ "$last" -lt "$first" ] || fail "calls not in order: $1, then $2"
}
expect_output() { grep -Eq -- "$1" "$out_file" || fail "output lacks: $1"; }
expect_no_output() { ! grep -Eq -- "$1" "$out_file" || fail "output has: $1"; }

# A 64-bit-only kernel: the index refresh fails twice and the install goes
# on, without i386; then the demo builds, stages and applies an update.
case_64bit_kernel_demo() {
  run_case no "cmake file wine32:i386" "" demo
  expect_status 0
  expect_calls 2 '^apt-get update'
  expect_call '^apt-get install( -[^ ]+)* cmake file$'
  expect_before '^apt-get update' '^apt-get install'
  expect_no_call ':i386'
  expect_no_call '^dpkg --add-architecture'
  expect_no_call '^localedef'
  expect_output 'File has unexpected size'
  expect_output 'going on with the package indexes that are there'
  expect_output '^stager exit code: 0$'
  expect_output '^launcher exit code: 0$'
  expect_output '^  version=2$'
  expect_output '^the staged update folder is gone$'
  expect_output '^OrbexPostUpgrade.exe is gone$'
  expect_output '^the document name arrived intact'
}

# A kernel that runs 32-bit code: i386 is added before the indexes are
# refreshed, and wine32:i386 is installed.
case_32bit_kernel() {
  run_case yes "file wine32:i386" "" ensure
  expect_status 0
  expect_calls 1 '^dpkg --add-architecture i386$'
  expect_before '^dpkg --add-architecture' '^apt-get update'
  expect_calls 2 '^apt-get update'
  expect_call '^apt-get install( -[^ ]+)* file wine32:i386$'
}

# A package apt cannot install: the set-up fails and names it with apt's words.
case_package_cannot_be_installed() {
  run_case no "cmake clang" clang ensure
  expect_status 1
  expect_call '^apt-get install( -[^ ]+)* clang$'
  expect_output '^cannot install clang:$'
  expect_output "^E: Package 'clang' has no installation candidate$"
  expect_output '^needed packages not installed: clang$'
  expect_no_output 'cannot install cmake'
}

# Nothing missing: apt is not run at all.
case_nothing_missing() {
  run_case no "" "" ensure
  expect_status 0
  expect_call '^dpkg-query '
  expect_no_call '^apt-get'
  expect_no_call '^dpkg --add-architecture'
}

for name in 64bit_kernel_demo 32bit_kernel package_cannot_be_installed nothing_missing; do
  case_failures=()
  "case_$name"
  if [ ${#case_failures[@]} -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    {
      echo "setup test case $name failed:"
      printf '  %s\n' "${case_failures[@]}"
      echo "  calls:"
      sed 's/^/    /' "$log_file"
      echo "  output (last 30 lines):"
      tail -n 30 "$out_file" | sed 's/^/    /'
    } >&2
  fi
done

echo "setup test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
