#!/usr/bin/env bash
# Shows Quorlane at work on a scratch drive:
#   1. builds the program alone, without its tests, in build/demo;
#   2. makes a 512 MiB ext4 image as mkfs makes it, and mounts it at /mnt/q
#      (inside a private mount namespace, so nothing is mounted on the
#      machine itself) through a loop device, which discards freed blocks as
#      an SSD does;
#   3. lays out a used drive on it: a home directory of thousands of small
#      documents, photos and videos, two in five of which, between kept
#      ones, hold a recognisable secret on every line and are deleted; and
#      shows that the secret can still be read from the raw image;
#   4. runs the real program on /mnt/q, so you see its banner, prompt and
#      bar; at a terminal you answer its question yourself, otherwise (a
#      pipe, CI) the demo answers y;
#   5. shows that the secret is gone from the image.
# However it ends, it leaves nothing behind: the image lives in a scratch
# directory removed on exit, and the mounts vanish with the namespace.
# Needs root (for mounting); installs what it needs with apt-get, and
# nothing else: tests/fresh-demo.sh runs it on a minimal Debian to hold it to
# that.
set -eu
cd "$(dirname "$0")"

if [ "$(id -u)" != 0 ]; then
    echo "The demo mounts a file-system image, which needs root: run it as root."
    exit 1
fi
if [ -z "${QUORLANE_DEMO_NAMESPACE:-}" ]; then
    missing=()
    for package in cmake make g++ e2fsprogs util-linux python3; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "The demo needs these Debian packages, which are not installed: ${missing[*]}"
        echo "Installing them with apt-get:"
        apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    fi
    cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build build/demo -j "$(nproc)" --target quorlane >/dev/null
    QUORLANE_DEMO_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

work=$(mktemp -d)
trap 'umount -q /mnt/q 2>/dev/null || true; rm -rf "$work"' EXIT
image=$work/drive.img
secret="QUORLANE-DEMO-SECRET-$(date +%s)"
occurrences() { grep -a -o "$secret-GONE" "$image" | wc -l; }

truncate -s 512M "$image"
mkfs.ext4 -q -F "$image"
mount -t tmpfs -o size=1m,mode=0755 quorlane-demo /mnt
mkdir /mnt/q

mount -o loop "$image" /mnt/q
mkdir /mnt/q/home
mapfile -t gone < <(python3 bench/evidence.py home /mnt/q/home $(($(stat -f -c '%a * %S' /mnt/q) * 2 / 5)) \
                    "$secret" "$work/digests")
files=$(find /mnt/q/home -type f | wc -l)
sync
rm "${gone[@]}"
umount /mnt/q
echo "/mnt/q is a 512 MiB ext4 file system as mkfs makes it, on a loop device that"
echo "discards freed blocks, as an SSD does. It held a home directory of $files documents,"
echo "photos and videos, and ${#gone[@]} of them, between kept ones, were deleted; every line"
echo "of those reads \"$secret-GONE-...\"."
before=$(occurrences)
echo "The raw image still holds the secret $before times."
echo

mount -o loop "$image" /mnt/q

status=0
if [ -t 0 ]; then
    echo "Running: quorlane /mnt/q   (answer y to wipe)"
    build/demo/quorlane /mnt/q || status=$?
else
    echo "Running: quorlane /mnt/q   (answering y)"
    printf 'y\n' | build/demo/quorlane /mnt/q || status=$?
fi
umount /mnt/q

echo
left=$(occurrences)
echo "After the run the raw image holds the secret $left times."
if [ "$status" != 0 ]; then
    echo "Quorlane ended with exit status $status (see the README)."
elif [ "$left" = 0 ]; then
    echo "Nothing of the deleted files can be found any more."
elif [ "$left" = "$before" ]; then
    echo "Nothing was wiped: the answer was not y."
else
    echo "Some copies survived where no file can reach (see the README)."
fi
exit "$status"
