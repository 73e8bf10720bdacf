#!/usr/bin/env bash
# Drives the init script through start, status and stop with a stand-in player, under the given
# shell (dash as /bin/sh, BusyBox ash): the start returns at once and the player starts only
# once the card exists, with the configured arguments and its output in the configured log; the
# pid file names the player itself; stop hands the display over from it and a stale pid file
# never hits a stranger. Run as root, the player runs as the configured unprivileged user.
#
# init_behaviour.sh INIT_SCRIPT SHELL...
set -uo pipefail

init=$1
shift
shell=("$@")

work=$(mktemp -d)
strangers=()
cleanup() {
	[ -r "$work/pid" ] && kill "$(cat "$work/pid")" 2>/dev/null
	kill "${strangers[@]}" 2>/dev/null
	rm -rf "$work"
}
trap cleanup EXIT

fails=0
fail() {
	echo "FAIL: $*"
	fails=$((fails + 1))
}

# The stand-in player reports its arguments and runs until it is told to stop; the signal ends
# its wait at once.
cat >"$work/bootanim" <<'PLAYER'
#!/bin/sh
echo "player started as $(id -un): $*"
sleep 100000 &
trap 'kill $!; echo "player stopped"; exit 0' TERM
wait
PLAYER
chmod +x "$work/bootanim"

# The stand-in hand-over asks the player to stop and, like the real one, returns before the
# player has gone.
cat >"$work/handover" <<HANDOVER
#!/bin/sh
echo "handover: \$*" >>"$work/log"
kill -TERM "\$@"
HANDOVER
chmod +x "$work/handover"

sed -e "s|^DAEMON=.*|DAEMON=$work/bootanim|" -e "s|^DEVICE=.*|DEVICE=$work/card0|" \
	-e "s|^PIDFILE=.*|PIDFILE=$work/pid|" -e "s|^DEFAULTS=.*|DEFAULTS=$work/defaults|" \
	-e "s|^HANDOVER=.*|HANDOVER=$work/handover|" "$init" >"$work/init"
for v in DAEMON DEVICE PIDFILE DEFAULTS HANDOVER; do
	grep -q "^$v=$work/" "$work/init" || fail "the init script has no $v= line to point elsewhere"
done
# Root hands the player to nobody (the folder must let that user run it); anyone else keeps
# their own user.
user=$(id -un)
if [ "$(id -u)" -eq 0 ] && command -v start-stop-daemon >/dev/null && id nobody >/dev/null 2>&1; then
	user=nobody
	chmod 755 "$work"
fi
cat >"$work/defaults" <<DEFAULTS
BOOTANIM_ARGS=2
BOOTANIM_LOG=$work/log
BOOTANIM_WAIT=20
BOOTANIM_USER=nobody
BOOTANIM_GROUP=$(id -gn nobody 2>/dev/null || echo nogroup)
DEFAULTS

run() {
	"${shell[@]}" "$work/init" "$@"
}
# expect STATUS OUTPUT ACTION: the init script's exit status and whole output for ACTION.
expect() {
	local want=$1 said=$2 got=0 out
	shift 2
	out=$(run "$@" 2>&1) || got=$?
	[ $got -eq "$want" ] || fail "$*: exit status $got, expected $want"
	[ "$out" = "$said" ] || fail "$* said '$out', expected '$said'"
}

# wait_for CONDITION...: until a command succeeds; false after 30 s.
wait_for() {
	for _ in $(seq 300); do
		"$@" && return 0
		sleep 0.1
	done
	return 1
}
logged() { grep -qx "$1" "$work/log" 2>/dev/null; }
gone() { ! kill -0 "$1" 2>/dev/null; }
# The start's background process sleeps in its wait for the card, not yet the player.
waits_for_card() {
	local stat
	stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
	stat=${stat#*) }
	[ "${stat%% *}" = S ] && ! grep -q "$work/bootanim" "/proc/$1/cmdline"
}

expect 3 "bootanim is not running" status

# Without the card the player can only start once the 20 s wait is over: a start that returns
# before the player has started did not wait for the card itself.
expect 0 "Starting bootanim" start
pid=$(cat "$work/pid")
wait_for waits_for_card "$pid" || fail "the start's background process never waited for the card"
logged "player started as $user: 2" && fail "the player started before the card existed"
: >"$work/card0"
wait_for logged "player started as $user: 2" || fail "the player did not start once the card existed"
[ "$(cat "$work/pid")" = "$pid" ] || fail "the pid file changed after the start"
grep -q "$work/bootanim" "/proc/$pid/cmdline" || fail "pid $pid in the pid file is not the player"

expect 0 "bootanim is running (pid $pid)" status
expect 0 "bootanim: already running (pid $pid)" start
[ "$(grep -c '^player started as' "$work/log")" -eq 1 ] || fail "a second start ran a second player"

expect 0 "Stopping bootanim" stop
logged "handover: $pid" || fail "stop did not hand the display over from pid $pid"
[ ! -e "$work/pid" ] || fail "stop left the pid file"
wait_for logged "player stopped" || fail "the player was not stopped with SIGTERM"
wait_for gone "$pid" || fail "the player still runs after its stop"

expect 3 "bootanim is not running" status

# A pid file from an earlier boot whose pid now belongs to another program.
sleep 100000 &
stranger=$!
strangers+=("$stranger")
echo "$stranger" >"$work/pid"
expect 1 "bootanim is not running (stale $work/pid)" status
expect 0 "bootanim: not running" stop
kill -0 "$stranger" 2>/dev/null || fail "stop killed another program named by a stale pid file"
[ ! -e "$work/pid" ] || fail "stop left the stale pid file"

expect 3 "Usage: $work/init {start|stop|restart|force-reload|status}" bogus

[ $fails -eq 0 ] || {
	echo "$fails check(s) failed under ${shell[*]}"
	exit 1
}
echo "init script start/status/stop behave under ${shell[*]}"
