#!/usr/bin/env bash
# Builds the programs, the native one, the Windows one and the arm64 one, and
# runs every test: the unit tests, and the end-to-end tests (the table of
# cases, runs stopped by signals, deleted data on real file-system images,
# failing and slow devices, the packages as users install them) natively and
# under Wine, and all but the last two natively again built with
# AddressSanitizer and UndefinedBehaviorSanitizer; for arm64, under
# qemu-user, the unit tests, the table of cases and the package; and last
# the demo, as a newcomer runs it first, on a fresh minimal Debian.
# Installs what it needs when run as root on Debian; otherwise says what is
# missing and what it skipped.
set -eu
cd "$(dirname "$0")"

packages=(cmake make g++ googletest python3 util-linux valgrind bc acl e2fsprogs xfsprogs btrfs-progs ntfs-3g testdisk
          nbdkit libnbd-bin fuse3 zfs-fuse exfat-fuse exfatprogs dpkg-dev lintian man-db unzip icoutils
          g++-mingw-w64-x86-64 wine64 wine g++-aarch64-linux-gnu qemu-user debootstrap)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "The tests need these Debian packages, which are not installed: ${missing[*]}"
        echo "With Wine, mingw-w64 and the aarch64 compiler that is over 1 GB of disk. Installing them with apt-get:"
        apt-get update -q
        apt-get install --assume-no "${missing[@]}" 2>/dev/null | grep -E '^(Need to get|After this operation)' || true
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    else
        echo "Missing packages: ${missing[*]} (run as root to install them)"
    fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
status=0

echo "== Native build"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure || status=1

echo "== Native build with sanitizers"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLANE_SANITIZE=ON
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure || status=1

# A cross-build and its tests, where its compiler and what runs its programs
# are installed; CI must run it. $1: its name, $2: its toolchain file, then
# the commands it needs.
cross_build() {
    local name=$1 toolchain=$2 tool
    shift 2
    echo "== $name build"
    for tool in "$@"; do
        command -v "$tool" >/dev/null && continue
        if [ "${CI:-}" = true ]; then
            echo "FAILED: the $name build needs $tool, and CI must run it"
            status=1
        else
            echo "SKIPPED: the $name build and its tests ($tool is not installed)"
        fi
        return
    done
    cmake -S . -B "build/$name" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain"
    cmake --build "build/$name" -j "$jobs"
    ctest --test-dir "build/$name" --output-on-failure || status=1
}
cross_build windows mingw-w64.cmake x86_64-w64-mingw32-g++-posix wine
cross_build arm64 aarch64-linux-gnu.cmake aarch64-linux-gnu-g++ qemu-aarch64

echo "== The demo on a fresh Debian"
bash tests/fresh-demo.sh || status=1

exit $status
