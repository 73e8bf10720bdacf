#!/usr/bin/env bash
# The guard's --machine check on a clean probe of this build: it passes under the machine readelf
# names for the probe, fails under another; on 32-bit ARM a copy whose ELF header lacks the
# hard-float flag (as an armel program's does) fails too.
#
# machine_test.sh GUARD PROBE
set -uo pipefail

guard=$1 probe=$2
die() {
	echo "FAIL: $*"
	exit 1
}

machine=$(LC_ALL=C readelf -h "$probe" | sed -n 's/^ *Machine: *//p')
[ -n "$machine" ] || die "readelf names no machine for $probe"
out=$("$guard" --machine "$machine" "$probe" 2>&1) ||
	die "refused under its own machine '$machine': $out"
echo "$out"
if out=$("$guard" --machine NoSuchMachine "$probe" 2>&1); then
	die "passed under another machine: $out"
fi
grep -qx "check-symbols: $probe: built for '$machine', not 'NoSuchMachine'" <<<"$out" ||
	die "no machine message: $out"

if [ "$machine" = ARM ]; then
	work=$(mktemp -d)
	trap 'rm -rf "$work"' EXIT
	cp "$probe" "$work/soft"
	# e_flags is the 32-bit word at offset 36 of an ELF32 header; EF_ARM_ABI_FLOAT_HARD (0x400)
	# is bit 2 of its second byte.
	flags=$(od -An -tx1 -j37 -N1 "$work/soft" | tr -d ' ')
	printf '%b' "\\x$(printf '%02x' $((0x$flags & ~0x04)))" |
		dd of="$work/soft" bs=1 seek=37 conv=notrunc status=none
	if out=$("$guard" --machine ARM "$work/soft" 2>&1); then
		die "passed without the hard-float ABI: $out"
	fi
	grep -q "^check-symbols: $work/soft: not the hard-float ABI (armhf):" <<<"$out" ||
		die "no hard-float message: $out"
	echo "soft-float copy refused: $out"
fi
echo "machine check: OK ($machine)"
