#!/usr/bin/env bash
# Stages `cmake --install` of a build tree into a temporary DESTDIR and holds the result to the
# expected file list, then checks what the files say about each other: the unit and the init
# script start the installed player, the installed player is the one just built.
#
# staged_install.sh BUILD_DIR BUILT_BINARY UNIT_DIR:ON|OFF INIT_PATH:ON|OFF EXPECTED_FILE...
set -euo pipefail

build=$1 built=$2 unit_opt=$3 init_opt=$4
shift 4

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR=$stage cmake --install "$build" >"$stage.log" 2>&1 || {
	cat "$stage.log"
	rm -f "$stage.log"
	echo "FAIL: cmake --install failed"
	exit 1
}
rm -f "$stage.log"

fail=0
failed() {
	echo "FAIL: $*"
	fail=1
}
actual=$(cd "$stage" && find . \( -type f -o -type l \) | sed 's|^\.||' | LC_ALL=C sort)
expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
	echo "FAIL: installed files differ from the expected list (- expected, + installed):"
	diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
	fail=1
fi

# The first expected file is the player.
player=$1
if [ ! -x "$stage$player" ]; then
	failed "$player is not installed as an executable"
elif ! cmp -s "$built" "$stage$player"; then
	failed "$player is not the binary built at $built"
fi

unit=${unit_opt%:*}
if [ "${unit_opt##*:}" = ON ]; then
	exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$stage$unit")
	[ "$exec_start" = "$player" ] || failed "$unit starts '$exec_start', not the installed $player"
fi

init=${init_opt%:*}
if [ "${init_opt##*:}" = ON ]; then
	[ -x "$stage$init" ] || failed "$init is not executable"
	daemon=$(sed -n 's/^DAEMON=//p' "$stage$init")
	[ "$daemon" = "$player" ] || failed "$init starts '$daemon', not the installed $player"
fi

[ $fail -eq 0 ] || exit 1
echo "installed as expected:"
echo "$actual"
