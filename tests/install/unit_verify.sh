#!/usr/bin/env bash
# systemd-analyze verify on the unit as configured, inside a scratch root that holds the player
# where the unit expects it. systemd-analyze reports unknown keys and bad values but still exits
# 0, so any diagnostic counts as a failure.
#
# unit_verify.sh UNIT_FILE UNIT_DIR PLAYER_PATH BUILT_PLAYER
set -euo pipefail

unit=$1 unit_dir=$2 player=$3 built=$4

if ! command -v systemd-analyze >/dev/null; then
	echo "SKIP: systemd-analyze is not installed (scripts/deps installs systemd)"
	exit 77
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root$unit_dir" "$root$(dirname "$player")"
cp "$unit" "$root$unit_dir/bootanim.service"
cp "$built" "$root$player"

status=0
out=$(systemd-analyze verify --man=no --root="$root" "$root$unit_dir/bootanim.service" 2>&1) ||
	status=$?
if [ $status -ne 0 ] || [ -n "$out" ]; then
	echo "$out"
	echo "FAIL: systemd-analyze verify (exit status $status)"
	exit 1
fi
echo "systemd-analyze verify: bootanim.service is clean"
