#!/usr/bin/env bash
# Builds the Debian package from a copy of the source tree (dpkg-buildpackage writes into debian/
# and beside the tree), holds it to lintian, installs it with its maintainer scripts into a
# scratch root and checks what they leave there: the files and their modes, the unit enabled as
# deb-systemd-helper enables it, nothing started, the init script's rc links, a clean
# systemd-analyze verify; then that a purge takes it all away again.
#
# deb_test.sh SOURCE_DIR VERSION ARCH [KEEP_DIR]   (ARCH: a Debian architecture, or "native")
#
# With KEEP_DIR the package stays there for the tests that boot it (tests/vm/systemd-test).
set -euo pipefail

src=$1 version=$2 arch=$3 keep=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
[ "$arch" != native ] || arch=$(dpkg --print-architecture)

# A missing tool skips the test on a developer's machine and fails it in CI.
missing() {
	if [ -n "${CI:-}" ]; then
		echo "FAIL: $* (CI is set)"
		exit 1
	fi
	echo "SKIP: $*"
	exit 77
}
for tool in dpkg-buildpackage dpkg-checkbuilddeps dh lintian systemd-analyze update-rc.d unshare; do
	command -v "$tool" >/dev/null || missing "$tool is not installed (scripts/deps installs it)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/bootanim-$version
mkdir "$tree"
tar -C "$src" --exclude=./.git --exclude=./build --exclude='./build-*' -cf - . | tar -C "$tree" -xf -

fails=0
fail() {
	echo "FAIL: $*"
	fails=$((fails + 1))
}

changelog=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
[ "$changelog" = "$version" ] ||
	fail "debian/changelog is at $changelog, the CMake project VERSION at $version"

if ! unmet=$(cd "$tree" && dpkg-checkbuilddeps -a "$arch" 2>&1); then
	missing "$unmet"
fi

if ! (cd "$tree" && DEB_BUILD_OPTIONS=parallel=2 dpkg-buildpackage -a "$arch" -b -us -uc) \
	>"$work/build.log" 2>&1; then
	tail -n 40 "$work/build.log"
	echo "FAIL: dpkg-buildpackage -a $arch failed"
	exit 1
fi
# Debian's build flags (fortification, format checks) are not those of the project's builds.
grep -E '^[^ :]+:[0-9]+:([0-9]+:)? warning:' "$work/build.log" && fail "the package build warns"

deb=$work/bootanim_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
	echo "FAIL: no $(basename "$deb"); built: $(cd "$work" && echo ./*.deb)"
	exit 1
fi

lint=$(lintian --display-info "$deb" 2>&1 | grep -v '^running with root privileges') || true
if [ -n "$lint" ]; then
	echo "$lint"
	fail "lintian reports tags that debian/bootanim.lintian-overrides does not explain"
fi

# The maintainer scripts never start the player (it would take the display from whatever
# drives it now): no deb-systemd-invoke, no invoke-rc.d.
dpkg-deb -e "$deb" "$work/control"
grep -l 'deb-systemd-invoke\|invoke-rc\.d' "$work"/control/* &&
	fail "a maintainer script starts or stops the player"
grep -q "update-rc.d bootanim defaults" "$work/control/postinst" ||
	fail "postinst does not add the init script's rc links"
conffiles=$(cat "$work/control/conffiles" || true)
[ "$conffiles" = /etc/init.d/bootanim ] || fail "conffiles: '$conffiles', not /etc/init.d/bootanim"

# dpkg runs the scripts outside the root with DPKG_ROOT set, but some of their tests look at the
# machine's own /etc/init.d/bootanim and /run/systemd/system: a private mount namespace hides
# those (in a user namespace when not root).
isolate=(unshare --mount)
[ "$(id -u)" -eq 0 ] || isolate=(unshare --user --map-root-user --mount)
mkdir "$work/empty"
root=$work/root
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers} "$root/etc"
touch "$root"/var/lib/dpkg/{status,available}
dpkg_root() {
	# shellcheck disable=SC2016 # expanded by the inner shell
	"${isolate[@]}" -- sh -ec 'mount -t tmpfs none /run
		if [ -d /etc/init.d ]; then mount --bind "$0" /etc/init.d; fi
		exec "$@"' "$work/empty" dpkg --root="$root" --force-script-chrootless \
		--force-depends --force-architecture "$@" >"$work/dpkg.log" 2>&1 || {
		cat "$work/dpkg.log"
		echo "FAIL: dpkg $*"
		exit 1
	}
}
# The user databases are the system's: the postinst adds the player's user to them, and like
# every Debian package the purge leaves it.
installed() {
	(cd "$root" && find . -path ./var/lib/dpkg -prune -o \( -type f -o -type l \) \
		! -regex '\./etc/\(g?shadow\|passwd\|group\)-?\|\./etc/\.pwd\.lock' -printf '%M %P\n' |
		LC_ALL=C sort -k2)
}

dpkg_root -i "$deb"
expected="-rwxr-xr-x etc/init.d/bootanim
lrwxrwxrwx etc/systemd/system/sysinit.target.wants/bootanim.service
-rw-r--r-- lib/systemd/system/bootanim.service
-rw-r--r-- lib/udev/rules.d/70-bootanim.rules
-rw-r--r-- usr/lib/sysusers.d/bootanim.conf
-rwxr-xr-x usr/sbin/bootanim
-rwxr-xr-x usr/sbin/bootanim-frames
-rwxr-xr-x usr/sbin/bootanim-handover
-rwxr-xr-x usr/sbin/bootanim-standin
-rw-r--r-- usr/share/doc/bootanim/changelog.gz
-rw-r--r-- usr/share/doc/bootanim/copyright
-rw-r--r-- usr/share/lintian/overrides/bootanim
-rw-r--r-- usr/share/man/man8/bootanim-frames.8.gz
-rw-r--r-- usr/share/man/man8/bootanim-handover.8.gz
-rw-r--r-- usr/share/man/man8/bootanim-standin.8.gz
-rw-r--r-- usr/share/man/man8/bootanim.8.gz
-rw-r--r-- var/lib/systemd/deb-systemd-helper-enabled/bootanim.service.dsh-also
-rw-r--r-- var/lib/systemd/deb-systemd-helper-enabled/sysinit.target.wants/bootanim.service"
actual=$(installed)
if [ "$actual" != "$expected" ]; then
	echo "FAIL: installed files differ (- expected, + installed):"
	diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
	fails=$((fails + 1))
fi
grep -q '^bootanim:x:[0-9]*:[0-9]*:Boot animation player:/:/usr/sbin/nologin$' "$root/etc/passwd" ||
	fail "the postinst made no user bootanim: $(cat "$root/etc/passwd" 2>&1)"
link=$(readlink "$root/etc/systemd/system/sysinit.target.wants/bootanim.service" || true)
[ "$link" = /lib/systemd/system/bootanim.service ] ||
	fail "sysinit.target.wants/bootanim.service points to '$link'"

player=/usr/sbin/bootanim
case $arch in
arm64) machine=AArch64 ;;
armhf) machine=ARM ;; # the guard also holds it to the hard-float ABI
*) machine= ;;
esac
if [ -n "$machine" ]; then
	"$src/scripts/check-symbols" --machine "$machine" --jpeg libjpeg.so.62 "$root$player" ||
		fail "$player is not an $arch binary ($machine) within the device baseline"
fi
# A unit that does not start the installed player fails here too.
"$here/../install/unit_verify.sh" "$root/lib/systemd/system/bootanim.service" \
	/lib/systemd/system $player "$root$player" || fail "systemd-analyze verify"

# The postinst's update-rc.d looks for the script outside DPKG_ROOT and so does nothing here:
# the same call on a root holding the installed script shows the links its header gives.
rc=$work/rc
mkdir -p "$rc/etc/init.d"
cp -p "$root/etc/init.d/bootanim" "$rc/etc/init.d/"
DPKG_ROOT=$rc update-rc.d bootanim defaults
links=$(cd "$rc/etc" && for l in rc?.d/*; do echo "$l -> $(readlink "$l")"; done)
want="rc0.d/K01bootanim -> ../init.d/bootanim
rc6.d/K01bootanim -> ../init.d/bootanim
rcS.d/S01bootanim -> ../init.d/bootanim"
[ "$links" = "$want" ] ||
	fail "update-rc.d made these links, not rcS.d/S01 and rc0.d, rc6.d/K01:"$'\n'"$links"

dpkg_root --purge bootanim
left=$(installed)
[ -z "$left" ] || fail "the purge leaves:"$'\n'"$left"

if [ -n "$keep" ]; then
	mkdir -p "$keep"
	cp "$deb" "$keep/"
fi
[ $fails -eq 0 ] || exit 1
echo "bootanim_${version}_${arch}.deb: built, lintian clean, installed, enabled, verified, purged"
