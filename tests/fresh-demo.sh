#!/usr/bin/env bash
# What a newcomer runs first, on a fresh machine: makes a minimal Debian root
# with debootstrap (the release and mirror this machine's apt uses), copies
# the source into root's home there, as a clone would be, and runs ./demo.sh
# in it, which must install what it needs itself, build, and end with status
# 0 and the secret gone; then the README's commands that build and install
# the Debian package, as they stand there, and the program they installed.
# The root's mounts live in a private namespace, and the root is removed at
# the end. Needs root, debootstrap and the mirror; skips without them,
# except in CI.
set -u
source=$(cd "$(dirname "$0")/.." && pwd)
skip() {
    echo "SKIPPED: the demo on a fresh machine: $*"
    if [ "${CI:-}" = true ]; then echo "(a skip fails in CI)"; exit 1; fi
    exit 0
}
[ "$(id -u)" = 0 ] || skip "it needs root"
command -v debootstrap >/dev/null || skip "debootstrap is not installed"
if [ -z "${QUORLANE_FRESH_NAMESPACE:-}" ]; then
    unshare -m --propagation private true 2>/dev/null || skip "this machine refuses private mount namespaces"
    QUORLANE_FRESH_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

. /etc/os-release
mirror=$(awk '/^URIs:/ { print $2; exit } /^deb / { print $2; exit }' /etc/apt/sources.list.d/*.sources \
         /etc/apt/sources.list 2>/dev/null | head -1)
root=$(mktemp -d /var/tmp/quorlane-fresh.XXXXXX)
trap 'umount -R "$root" 2>/dev/null; rm -rf --one-file-system "$root"' EXIT
echo "== A minimal Debian $VERSION_CODENAME from ${mirror:=http://deb.debian.org/debian}"
debootstrap --variant=minbase "$VERSION_CODENAME" "$root" "$mirror" >"$root.log" 2>&1 ||
    { tail -5 "$root.log"; rm -f "$root.log"; skip "debootstrap could not make the root"; }
rm -f "$root.log"
mkdir -m 0700 -p "$root/root/quorlane"
git -C "$source" ls-files -z | tar -C "$source" --null -T - -cf - | tar -C "$root/root/quorlane" -xf -
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The root a mount of its own, as a machine's root is, for the demo's own
# private namespace.
mount --bind "$root" "$root" && mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" &&
    mount -t sysfs sysfs "$root/sys" ||
    skip "cannot mount /dev, /proc and /sys in the root"

echo "== ./demo.sh there"
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root /root/quorlane/demo.sh </dev/null \
    >"$root/demo.out" 2>&1
status=$?
tail -4 "$root/demo.out"
passed=0 failed=0
if [ "$status" = 0 ] && grep -q 'Nothing of the deleted files can be found any more.' "$root/demo.out"; then
    passed=$((passed + 1))
else
    echo "FAIL: ./demo.sh ended with status $status on a fresh Debian:"
    head -40 "$root/demo.out"
    failed=$((failed + 1))
fi

echo "== The README's Debian install there"
awk '/^\*\*Debian and Ubuntu/ { found = 1 } found && /^```/ { if (inside) exit; inside = 1; next } inside' \
    "$source/README.md" >"$root/root/install.sh"
yes | chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    bash -ec 'cd /root/quorlane && . /root/install.sh && quorlane --version && apt-get remove -y -q quorlane' \
    >"$root/install.out" 2>&1
status=$?
if [ "$status" = 0 ] && grep -q "^Quorlane 1.00 for Linux - " "$root/install.out"; then
    passed=$((passed + 1))
else
    echo "FAIL: the README's install ended with status $status on a fresh Debian:"
    cat "$root/root/install.sh"
    tail -20 "$root/install.out"
    failed=$((failed + 1))
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
