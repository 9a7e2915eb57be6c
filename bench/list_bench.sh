#!/usr/bin/env bash
# Runs the listing benchmark under Wine as the tests run (unprivileged user,
# private prefix). Needs the test tree built (scripts/test.sh). Takes about
# nine minutes, nearly all of it creating the files: Wine looks each new name
# up case-insensitively in the whole folder.
ORBEX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$ORBEX_ROOT/scripts/common.sh"

arch=$(test_arch)
work=$(wine_workdir "$ORBEX_BUILD/test-$arch")
cmake --build "$work" --target list_bench >/dev/null
[ "$(id -u)" = 0 ] && chown -R "$ORBEX_TEST_USER" "$work"
as_wine_user "$work" "$(wine_loader_for "$arch")" "$work/bin/list_bench.exe"
