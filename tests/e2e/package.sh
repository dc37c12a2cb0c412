#!/usr/bin/env bash
# What users install, installed and used as they would.
#
#   package.sh native BUILD-DIRECTORY    the .deb: lintian, dpkg -i, a wipe with
#                                        the installed quorlane, man quorlane,
#                                        dpkg -r, and nothing of it left
#   package.sh wine BUILD-DIRECTORY      the zip: its files, the exe's version
#                                        resource, manifest and lack of debug
#                                        data, and a wipe with it under Wine
set -u

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
[ $# = 2 ] || { echo "usage: $0 native|wine BUILD-DIRECTORY"; exit 2; }
build=$(realpath "$2")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
if [ "$1" = native ]; then
    for tool in cpack lintian dpkg-shlibdeps man; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
    ! dpkg-query -W quorlane >/dev/null 2>&1 || [ -n "${QUORLANE_E2E_NAMESPACE:-}" ] ||
        skip "a quorlane package is installed already; the test would replace and remove it"
else
    for tool in cpack unzip wrestool x86_64-w64-mingw32-objdump; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
fi
enter_private_mounts "$@"

# A wipe of a 64 MiB tmpfs drive q: with PROGRAM: status 0, to the end, and
# nothing left on the drive.
wipe_with() {
    mkdir -p /mnt/q && mount -t tmpfs -o size=64m quorlane-q /mnt/q
    printf 'y\n' | timeout 120 "$@" q: >"$work/out" 2>&1
    local rc=$? why=""
    [ "$rc" = 0 ] || why+="exit status $rc: $(tail -3 "$work/out")"$'\n'
    tr -d '\r' <"$work/out" | grep -qx 'Flushing file buffers...' || why+="the fill did not finish"$'\n'
    [ -z "$(ls -A /mnt/q)" ] || why+="left on the drive: $(ls -A /mnt/q)"$'\n'
    umount /mnt/q
    printf '%s' "$why"
}

cpack -G "$([ "$1" = native ] && echo DEB || echo ZIP)" --config "$build/CPackConfig.cmake" -B "$work/package" \
    >"$work/cpack.log" 2>&1 || { report "cpack" "$(tail -5 "$work/cpack.log")"; finish_report; exit; }

if [ "$1" = native ]; then
    deb=$work/package/quorlane_${version}_amd64.deb
    [ -f "$deb" ] || { report "cpack makes quorlane_${version}_amd64.deb" "not made: $(ls "$work/package")"; finish_report; exit; }
    report "lintian finds no error or warning" "$(lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'running with root')"

    trap 'dpkg -r quorlane >/dev/null 2>&1; finish' EXIT  # removed however the test ends
    why=$(dpkg -i "$deb" 2>&1) && why=""
    report "dpkg -i" "$why"
    files=$(dpkg-query -L quorlane | while read -r path; do [ -d "$path" ] || echo "$path"; done)
    why=""
    for path in /usr/bin/quorlane /usr/share/man/man1/quorlane.1.gz /usr/share/doc/quorlane/copyright \
                /usr/share/doc/quorlane/changelog.gz; do
        grep -qx "$path" <<<"$files" || why+="the package has no $path"$'\n'
    done
    report "the package holds the program, its man page, copyright and changelog" "$why"
    report "the installed quorlane wipes a drive" "$(wipe_with /usr/bin/quorlane)"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings quorlane 2>&1 >"$work/man")
    why=$warnings
    grep -q 'EXIT STATUS' "$work/man" || why+="man quorlane shows no EXIT STATUS"
    report "man quorlane renders with no warning" "$why"

    why=$(dpkg -r quorlane 2>&1) && why=""
    while read -r path; do [ ! -e "$path" ] || why+="left after dpkg -r: $path"$'\n'; done <<<"$files"
    [ ! -e /usr/share/doc/quorlane ] || why+="left after dpkg -r: /usr/share/doc/quorlane"$'\n'
    trap finish EXIT
    report "dpkg -r leaves nothing of it" "$why"
else
    zip=$work/package/quorlane-$version-win64.zip
    unzip -q -d "$work/unzipped" "$zip" 2>&1 || { report "cpack makes quorlane-$version-win64.zip" "could not unzip it"; finish_report; exit; }
    report "the zip holds quorlane.exe, README.md and LICENSE.txt" \
        "$(diff <(printf '%s\n' LICENSE.txt README.md quorlane.exe) <(ls "$work/unzipped"))"
    exe=$work/unzipped/quorlane.exe
    strings=$(wrestool -x --raw -t 16 "$exe" | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr -c '[:print:]' '\n' | grep .)
    why=""
    for pair in "ProductName Quorlane" "FileVersion $version" "ProductVersion $version" \
                "CompanyName the Quorlane developers"; do
        grep -A1 -x "${pair%% *}" <<<"$strings" | tail -1 | grep -qx "${pair#* }" || why+="no $pair"$'\n'
    done
    report "the exe's version resource names Quorlane $version" "$why"
    manifest=$(wrestool -x --raw -t 24 "$exe")
    why=""
    grep -q 'level="asInvoker"' <<<"$manifest" || why+="the manifest does not ask to run as invoker"$'\n'
    [ "$(grep -c '<supportedOS ' <<<"$manifest")" = 4 ] || why+="the manifest does not name Windows 7 to 11"$'\n'
    report "the exe's manifest" "$why"
    report "the exe carries no debug data" "$(x86_64-w64-mingw32-objdump -h "$exe" | grep -o '\.debug[_a-z]*' | sort -u)"
    prepare_runner wine "$exe"
    report "the zip's quorlane.exe wipes a drive under Wine" "$(wipe_with "${run[@]}")"
fi

finish_report
