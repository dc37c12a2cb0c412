#!/usr/bin/env bash
# What users install, installed and used as they would.
#
#   package.sh native PATH/TO/quorlane       the .deb of that build: lintian,
#                                            dpkg -i, a wipe with the installed
#                                            quorlane, man quorlane, dpkg -r
#   package.sh wine PATH/TO/quorlane.exe     the zip of that build: its files,
#                                            the exe's version resource and
#                                            manifest, and a wipe under Wine
#   package.sh qemu PATH/TO/quorlane         the .deb of a build for another
#                                            processor: lintian, its files and
#                                            architecture, and a wipe with the
#                                            program it holds, under qemu-user
#
# A .deb's program must be hardened: full RELRO, immediate binding, a stack
# protector and fortified functions.
# The program and its package must come out the same, byte for byte, when
# built again later from a copy of the source in another directory.
set -u

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
[ $# = 2 ] || { echo "usage: $0 native|wine|qemu PROGRAM"; exit 2; }
build=$(dirname "$(realpath "$2")")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")
tools=(cpack lintian dpkg-shlibdeps man readelf)
[ "$1" = wine ] && tools=(cpack unzip wrestool x86_64-w64-mingw32-objdump)
[ "$1" = qemu ] && tools=(cpack lintian readelf)
for tool in "${tools[@]}"; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
[ "$1" = wine ] || ! dpkg-query -W quorlane >/dev/null 2>&1 || [ -n "${QUORLANE_E2E_NAMESPACE:-}" ] ||
    skip "a quorlane package is installed already; the test would replace and remove it"
enter_private_mounts "$@"

# A wipe of a 64 MiB tmpfs drive q: with the command given: status 0, to the
# end, and nothing left on the drive.
wipe_with() {
    mkdir -p /mnt/q && mount -t tmpfs -o size=64m quorlane-q /mnt/q
    printf 'y\n' | timeout 120 "$@" q: >"$work/out" 2>&1 || echo "exit status $?: $(tail -3 "$work/out")"
    tr -d '\r' <"$work/out" | grep -qx 'Flushing file buffers...' || echo "the fill did not finish"
    [ -z "$(ls -A /mnt/q)" ] || echo "left on the drive: $(ls -A /mnt/q)"
    umount /mnt/q
}

generator=$([ "$1" = wine ] && echo ZIP || echo DEB)
cpack -G "$generator" --config "$build/CPackConfig.cmake" -B "$work/package" \
    >"$work/cpack.log" 2>&1 || { report "cpack" "$(tail -5 "$work/cpack.log")"; finish_report; exit; }
package=$(cd "$work/package" && ls -- *.deb *.zip 2>/dev/null) again=$work/again
mkdir -p "$again" && tar -C "$here/../.." --exclude=./build --exclude=./.git -cf - . | tar -C "$again" -xf -
(cd "$again" && cmake -S . -B build -DBUILD_TESTING=OFF ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
     -DCMAKE_BUILD_TYPE="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")" &&
     cmake --build build -j "$(nproc)" && cpack -G "$generator" --config build/CPackConfig.cmake -B package) >"$work/again.log" 2>&1
report "built again later in another directory, $(basename "$2") and $package are the same byte for byte" \
    "$(cmp "$2" "$again/build/$(basename "$2")" && cmp "$work/package/$package" "$again/package/$package" || tail -3 "$work/again.log")"

if [ "$generator" = DEB ]; then
    deb=$work/package/$package
    report "lintian finds no error or warning in $package" \
        "$(lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root')"
    dpkg-deb -x "$deb" "$work/root"
    machine=$(readelf -h "$work/root/usr/bin/quorlane" | sed -n 's/^ *Machine: *//p')
    declare -A architecture=([AArch64]=arm64 ["Advanced Micro Devices X86-64"]=amd64)
    why=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$' | diff - <(printf './usr/%s\n' bin/quorlane \
          share/doc/quorlane/{LICENSE,README.md,changelog.gz,copyright} \
          share/doc/quorlane/docs/{developing,evidence,guide,limitations,speed}.md share/man/man1/quorlane.1.gz))
    [ "$(dpkg-deb -f "$deb" Architecture)" = "${architecture[$machine]:-}" ] || why+="a program for $machine, packaged as $(dpkg-deb -f "$deb" Architecture)"$'\n'
    headers=$(readelf -dlW --dyn-syms "$work/root/usr/bin/quorlane")
    for mark in GNU_RELRO BIND_NOW __stack_chk_fail '__[a-z]*_chk@'; do
        grep -q "$mark" <<<"$headers" || why+="the program is not hardened: no $mark"$'\n'
    done
    report "$package holds the program for its architecture, hardened, with its man page and documents" "$why"
fi

if [ "$1" = qemu ]; then
    prepare_runner qemu "$work/root/usr/bin/quorlane"
    report "the packaged quorlane wipes a drive under qemu-user" "$(wipe_with "${run[@]}")"
elif [ "$1" = native ]; then
    trap 'dpkg -r quorlane >/dev/null 2>&1; finish' EXIT  # removed however the test ends
    why=$(dpkg -i "$deb" 2>&1) && why=""
    files=$(dpkg-query -L quorlane 2>/dev/null | while read -r path; do [ -d "$path" ] || echo "$path"; done)
    for path in /usr/bin/quorlane /usr/share/man/man1/quorlane.1.gz /usr/share/doc/quorlane/{copyright,changelog.gz}; do
        grep -qx "$path" <<<"$files" || why+="the package has no $path"$'\n'
    done
    report "dpkg -i installs the program, its man page, copyright and changelog" "$why"
    report "the installed quorlane wipes a drive" "$(wipe_with /usr/bin/quorlane)"
    why=""
    # The installed page itself: man would show a formatted copy cached by
    # an earlier install instead, as the page keeps the release's date.
    for width in 60 78 80 120; do
        why+=$(LC_ALL=C.UTF-8 MANWIDTH=$width man --warnings -l "$(man -w quorlane)" 2>&1 >"$work/man")
        grep -q 'EXIT STATUS' "$work/man" || why+="man quorlane shows no EXIT STATUS"$'\n'
        tr -s ' \n' ' ' <"$work/man" | grep -qF "Could not write all the data to the drive; its free space may not have been overwritten." ||
            why+="man quorlane breaks the status 2 message at $width columns"$'\n'
        why+=$(grep -n '‐' "$work/man" | sed "s/^/hyphenated at $width columns: /")
    done
    report "man quorlane renders at 60 to 120 columns with no warning or hyphenation, and the status 2 message whole" "$why"
    why=$(dpkg -r quorlane 2>&1) && why=""
    trap finish EXIT
    for path in $files /usr/share/doc/quorlane; do [ ! -e "$path" ] || why+="left after dpkg -r: $path"$'\n'; done
    report "dpkg -r leaves nothing of it" "$why"
else
    unzip -q -d "$work/unzipped" "$work/package/quorlane-$version-win64.zip"
    why=$(diff <(printf '%s\n' LICENSE.txt README.txt docs/{developing,evidence,guide,limitations,speed}.txt quorlane.exe) \
               <(cd "$work/unzipped" && find . -type f | sed 's|^\./||' | LC_ALL=C sort) 2>&1)
    why+=$(cd "$work/unzipped" && grep -c -v $'\r$' ./*.txt docs/*.txt | grep -v ':0$' | sed 's/$/ lines without CRLF/')
    report "the zip holds quorlane.exe, README.txt, the documents and LICENSE.txt, with CRLF line ends" "$why"
    exe=$work/unzipped/quorlane.exe
    strings=$(wrestool -x --raw -t 16 "$exe" | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr -c '[:print:]' '\n' | grep .)
    manifest=$(wrestool -x --raw -t 24 "$exe")
    why=""
    for pair in "ProductName Quorlane" "FileVersion $version" "ProductVersion $version"; do
        grep -A1 -x "${pair%% *}" <<<"$strings" | tail -1 | grep -qx "${pair#* }" || why+="no $pair"$'\n'
    done
    grep -q 'level="asInvoker"' <<<"$manifest" || why+="the manifest does not ask to run as invoker"$'\n'
    [ "$(grep -c '<supportedOS ' <<<"$manifest")" = 4 ] || why+="the manifest does not name Windows 7 to 11"$'\n'
    why+=$(x86_64-w64-mingw32-objdump -h "$exe" | grep -o '\.debug[_a-z]*' | sort -u)
    report "the exe has its version, its manifest and no debug data" "$why"
    prepare_runner wine "$exe"
    report "the zip's quorlane.exe wipes a drive under Wine" "$(wipe_with "${run[@]}")"
fi

finish_report
