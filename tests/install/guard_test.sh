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

out=$("$guard" "$probe" 2>&1)
got=$?
echo "$out"
if [ "$got" -ne "$want" ]; then
	echo "FAIL: exit status $got, expected $want"
	exit 1
fi
if [ "$want" -eq 0 ]; then
	if ! grep -qx "check-symbols: $probe: OK (.*)" <<<"$out"; then
		echo "FAIL: no OK line"
		exit 1
	fi
	exit 0
fi
actual=$(sed -n 's/^  //p' <<<"$out" | LC_ALL=C sort)
expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
	echo "FAIL: offenders differ (- expected, + reported):"
	diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
	exit 1
fi
