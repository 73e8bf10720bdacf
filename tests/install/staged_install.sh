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
	echo "FAIL: $player is not installed as an executable"
	fail=1
elif ! cmp -s "$built" "$stage$player"; then
	echo "FAIL: $player is not the binary built at $built"
	fail=1
fi

unit=${unit_opt%:*}
if [ "${unit_opt##*:}" = ON ]; then
	exec_start=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$stage$unit")
	if [ "$exec_start" != "$player" ]; then
		echo "FAIL: $unit starts '$exec_start', not the installed $player"
		fail=1
	fi
fi

init=${init_opt%:*}
if [ "${init_opt##*:}" = ON ]; then
	if [ ! -x "$stage$init" ]; then
		echo "FAIL: $init is not executable"
		fail=1
	fi
	daemon=$(sed -n 's/^DAEMON=//p' "$stage$init")
	if [ "$daemon" != "$player" ]; then
		echo "FAIL: $init starts '$daemon', not the installed $player"
		fail=1
	fi
fi

if [ $fail -ne 0 ]; then
	exit 1
fi
echo "installed as expected:"
echo "$actual"
