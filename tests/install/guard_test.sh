#!/usr/bin/env bash
# Runs the symbol guard on one probe program and holds it to the expected verdict: exit status
# 0 and an OK line for a clean program, exit status 1 and exactly the expected offender lines
# for a program that binds to something past the baseline.
#
# guard_test.sh GUARD PROBE 0
# guard_test.sh GUARD PROBE 1 OFFENDER...
set -uo pipefail

guard=$1 probe=$2 want=$3
shift 3
die() {
	echo "FAIL: $*"
	exit 1
}

out=$("$guard" "$probe" 2>&1)
got=$?
echo "$out"
[ "$got" -eq "$want" ] || die "exit status $got, expected $want"
if [ "$want" -eq 0 ]; then
	grep -qx "check-symbols: $probe: OK (.*)" <<<"$out" || die "no OK line"
	exit 0
fi
actual=$(sed -n 's/^  //p' <<<"$out" | LC_ALL=C sort)
expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
[ "$actual" = "$expected" ] || die "offenders differ (- expected, + reported):"$'\n'"$(
	diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/')"
