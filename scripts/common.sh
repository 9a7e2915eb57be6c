# Shared by the project's scripts: installing what is missing, building, and
# running Windows programs under Wine as an unprivileged user.
# Sourced, not run. Expects ORBEX_ROOT to be the repository's top folder.

set -euo pipefail
: "${ORBEX_ROOT:?}"
ORBEX_BUILD="$ORBEX_ROOT/build"
ORBEX_TEST_USER=orbex-wine

log() { printf '\n== %s\n' "$*" >&2; }

# Debian packages the build and the tests need on every machine. wine32:i386
# joins them only where the kernel runs 32-bit code (kernel_runs_32bit):
# elsewhere 32-bit Wine cannot run, and the i386 indexes would only add ways
# for apt to fail.
ORBEX_PACKAGES=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine64 googletest libgtest-dev clang libclang-rt-14-dev locales file)
ORBEX_PACKAGES_32BIT=(wine32:i386)

# True when this kernel runs 32-bit x86 user code. Asked of the kernel itself,
# before anything is installed: a 93-byte static i386 program that only exits.
# A kernel without IA-32 emulation refuses it ("Exec format error").
# ORBEX_KERNEL_RUNS_32BIT=yes|no answers instead (the set-up test uses it).
kernel_runs_32bit() {
  case "${ORBEX_KERNEL_RUNS_32BIT:-}" in
    yes) return 0 ;;
    no) return 1 ;;
  esac
  [ "$(uname -m)" = x86_64 ] || [ "$(uname -m)" = i686 ] || return 1
  local probe
  probe=$(mktemp "${TMPDIR:-/tmp}/orbex-ia32.XXXXXX")
  # ELF header, one loadable segment at 0x08048000, then
  # mov eax, 1; xor ebx, ebx; int 0x80 (exit 0).
  printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod 700 "$probe"
  local status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return $status
}

# The packages this machine needs, one a line.
needed_packages() {
  printf '%s\n' "${ORBEX_PACKAGES[@]}"
  if kernel_runs_32bit; then printf '%s\n' "${ORBEX_PACKAGES_32BIT[@]}"; fi
}

missing_packages() {
  local pkg
  for pkg in $(needed_packages); do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || echo "$pkg"
  done
}

# apt-get update, tried twice. A failed index (a mirror in mid-sync, say) is
# not the end: apt goes on with the indexes it has, and only a package that
# then cannot be installed is an error.
refresh_package_indexes() {
  local attempt
  for attempt in 1 2; do
    if apt-get update -qq >"$ORBEX_APT_LOG" 2>&1; then return 0; fi
    log "apt-get update failed (attempt $attempt):"
    grep -E '^(E|W):' "$ORBEX_APT_LOG" >&2 || tail -n 5 "$ORBEX_APT_LOG" >&2
  done
  log "going on with the package indexes that are there"
}

# Installs the missing packages. When apt refuses, each is tried alone, so
# that the message names every package that cannot be installed, with apt's
# own words.
install_packages() {
  local pkg failed=()
  if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
      >"$ORBEX_APT_LOG" 2>&1; then
    return 0
  fi
  for pkg in "$@"; do
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$pkg" \
        >"$ORBEX_APT_LOG" 2>&1; then
      failed+=("$pkg")
      echo "cannot install $pkg:" >&2
      grep -E '^(E|W):|Depends:|broken' "$ORBEX_APT_LOG" >&2 || tail -n 10 "$ORBEX_APT_LOG" >&2
    fi
  done
  [ ${#failed[@]} -eq 0 ] || { echo "needed packages not installed: ${failed[*]}" >&2; exit 1; }
}

ensure_packages() {
  local missing
  missing=$(missing_packages)
  if [ -n "$missing" ]; then
    [ "$(id -u)" = 0 ] || { echo "missing packages (run as root to install): $(echo $missing)" >&2; exit 1; }
    log "installing: $(echo $missing)"
    ORBEX_APT_LOG=$(mktemp "${TMPDIR:-/tmp}/orbex-apt.XXXXXX")
    if grep -q ':i386$' <<<"$missing" && ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386
    fi
    refresh_package_indexes
    install_packages $missing
    rm -f "$ORBEX_APT_LOG"
  fi
  # Code page 932 under Wine comes from a Japanese UTF-8 locale.
  # grep reads the whole list: with -q it could quit early, and under
  # pipefail the writer's broken pipe would read as a missing locale.
  if ! locale -a 2>/dev/null | grep -ix 'ja_JP.utf8' >/dev/null; then
    [ "$(id -u)" = 0 ] || { echo "locale ja_JP.UTF-8 missing (run as root to add it)" >&2; exit 1; }
    log "adding the ja_JP.UTF-8 locale"
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
  fi
}

# The architecture whose Windows programs Wine can run here. The shipped
# launcher is 32-bit; where the kernel refuses 32-bit user code, the same
# sources are built and tested as 64-bit Windows programs under 64-bit Wine.
test_arch() {
  if kernel_runs_32bit && [ -x /usr/lib/wine/wine ]; then
    echo i686
  else
    echo x86_64
  fi
}

wine_loader_for() {
  case "$1" in
    i686) echo /usr/bin/wine ;;
    x86_64) echo /usr/lib/wine/wine64 ;;
  esac
}

# configure_and_build ARCH DIR [cmake options...]
configure_and_build() {
  local arch=$1 dir=$2
  shift 2
  mkdir -p "$dir"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ORBEX_ROOT" -B "$dir" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$ORBEX_ROOT/cmake/toolchain-$arch-mingw.cmake" \
      -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  else
    cmake "$dir" "$@" >/dev/null
  fi
  cmake --build "$dir" -- -k 0 >"$dir/build.log" 2>&1 || { cat "$dir/build.log" >&2; exit 1; }
}

# The release launcher: 32-bit, copied to dist/Orbex.exe.
build_release() {
  log "building the release launcher (i686)"
  configure_and_build i686 "$ORBEX_BUILD/release-i686" -DORBEX_DIST_DIR="$ORBEX_ROOT/dist"
  file "$ORBEX_ROOT/dist/Orbex.exe" >&2
}

# Wine runs as an unprivileged user: as root it writes over read-only files,
# which Windows refuses. Root makes that user and runs Wine through it.
ensure_test_user() {
  [ "$(id -u)" = 0 ] || return 0
  id "$ORBEX_TEST_USER" >/dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "$ORBEX_TEST_USER"
}

# A folder that the unprivileged user can reach and own, for everything Wine
# writes (its prefix, the tests' files): DIR itself when the user can reach its
# parent, else a folder under /var/tmp named after DIR.
wine_workdir() {
  local dir=$1
  if [ "$(id -u)" = 0 ]; then
    mkdir -p "$dir"
    if ! runuser -u "$ORBEX_TEST_USER" -- test -x "$(dirname "$dir")" 2>/dev/null; then
      dir="/var/tmp/orbex-$(printf '%s' "$dir" | md5sum | cut -c1-12)"
      mkdir -p "$dir"
    fi
    chown -R "$ORBEX_TEST_USER" "$dir"
  else
    mkdir -p "$dir"
  fi
  echo "$dir"
}

# as_wine_user WORKDIR COMMAND...: runs COMMAND as the unprivileged user with
# Wine's environment (private prefix in WORKDIR).
as_wine_user() {
  local work=$1
  shift
  local envs=(HOME="$work/home" WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
    WINEDLLOVERRIDES="mscoree,mshtml=" LANG="${LANG:-C.UTF-8}")
  mkdir -p "$work/home"
  if [ "$(id -u)" = 0 ]; then
    chown "$ORBEX_TEST_USER" "$work/home"
    runuser -u "$ORBEX_TEST_USER" -- env "${envs[@]}" "$@"
  else
    env "${envs[@]}" "$@"
  fi
}

# write_wine_runner FILE ARCH WORKDIR: a script that runs one Windows program
# under the private prefix; ctest uses it as the cross-compiling emulator.
write_wine_runner() {
  local file=$1 arch=$2 work=$3
  cat >"$file" <<RUNNER
#!/bin/sh
# Generated: runs a Windows program under this build's private Wine prefix.
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME="$work/home"
exec $(wine_loader_for "$arch") "\$@"
RUNNER
  chmod 755 "$file"
}

# Creates the private prefix once, quietly (Wine reports its creation on stderr).
ensure_wine_prefix() {
  local work=$1
  [ -f "$work/wineprefix/system.reg" ] && return 0
  log "creating the private Wine prefix"
  as_wine_user "$work" "$work/wine-run" wineboot -i >/dev/null 2>&1 || true
}

# prepare_wine_work NAME: installs what is missing, builds the release
# launcher, and readies build/NAME-<arch> for Windows programs of the
# architecture Wine runs here (its runner and private prefix). Sets ARCH and
# WORK.
prepare_wine_work() {
  ensure_packages
  ensure_test_user
  build_release
  ARCH=$(test_arch)
  [ "$ARCH" = i686 ] ||
    log "this kernel runs no 32-bit code: the Windows programs run here are built for 64-bit"
  WORK=$(wine_workdir "$ORBEX_BUILD/$1-$ARCH")
  write_wine_runner "$WORK/wine-run" "$ARCH" "$WORK"
  ensure_wine_prefix "$WORK"
}

# gtest_counts XML...: the closing line "summary: N passed, N failed, N skipped"
# from GoogleTest's XML reports: the counts of each <testsuites> element, and
# a <skipped> element for each skipped case. Fails when there is no report or
# a case failed.
gtest_counts() {
  local file reports=()
  for file in "$@"; do [ -f "$file" ] && reports+=("$file"); done
  [ ${#reports[@]} -gt 0 ] || { echo "no GoogleTest reports found" >&2; return 1; }
  awk '
    function count(name) { return match($0, " " name "=\"[0-9]+\"") ? substr($0, RSTART + length(name) + 3, RLENGTH - length(name) - 4) + 0 : 0 }
    /<testsuites / { tests += count("tests"); failed += count("failures") + count("errors") }
    /<skipped/ { skipped++ }
    END { printf "summary: %d passed, %d failed, %d skipped\n", tests - failed - skipped, failed, skipped; exit failed > 0 }
  ' "${reports[@]}"
}
