#!/usr/bin/env bash
# End-to-end tests: the real program on real, size-limited tmpfs drives.
#
#   run.sh native PATH/TO/quorlane
#   run.sh wine   PATH/TO/quorlane.exe
#
# Each case mounts a fresh tmpfs at /mnt/q inside a private mount namespace
# (over a private tmpfs on /mnt, so the machine's own /mnt is never touched),
# runs the program on drive q:, and checks its output, its exit status and what
# the drive holds afterwards. Under Wine, drive q: of a throwaway prefix points
# at the same mount, and the wineserver starts inside the namespace, since one
# outside would not see the mount. Needs root; exits 77 (skipped) otherwise,
# except in CI, where a skip is a failure.
set -u

here=$(cd "$(dirname "$0")" && pwd)
runner=${1:?runner: native or wine}
program=$(realpath "${2:?path to the program}")

skip() {
    echo "SKIPPED: $*"
    if [ "${CI:-}" = true ]; then echo "(a skip fails in CI)"; exit 1; fi
    exit 77
}

if [ -z "${QUORLANE_E2E_NAMESPACE:-}" ]; then
    [ "$(id -u)" = 0 ] || skip "mounting test drives needs root"
    unshare -m --propagation private true 2>/dev/null || skip "this machine refuses private mount namespaces"
    [ "$runner" != wine ] || command -v wine >/dev/null || skip "wine is not installed"
    command -v python3 >/dev/null || skip "python3 (for the terminal cases) is not installed"
    QUORLANE_E2E_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
fi

# From here on we are alone in our own mount namespace.
mount -t tmpfs -o size=1m,mode=0755 quorlane-mnt /mnt || skip "cannot mount a tmpfs on /mnt"
work=$(mktemp -d)
trap 'cleanup' EXIT
cleanup() {
    [ "$runner" = wine ] && wineserver -k 2>/dev/null
    umount -q /mnt/q 2>/dev/null
    rm -rf "$work"
}

run=("$program")
if [ "$runner" = wine ]; then
    export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wineboot -i >/dev/null 2>&1 || { echo "FAIL: could not create a Wine prefix"; exit 1; }
    wineserver -w
    # Only c: and q: exist, so that other letters are refused as on a bare machine.
    find "$WINEPREFIX/dosdevices" -mindepth 1 -maxdepth 1 ! -name 'c:' -exec rm -f {} +
    ln -s /mnt/q "$WINEPREFIX/dosdevices/q:"
    wineserver -p  # one server for all cases, started in this namespace
    run=(wine "$program")
fi

# What the program prints, piece by piece. Under Wine, text mode makes each
# newline a carriage return and line feed.
banner=$'\nQuorlane 1.00 for Win32 - free-space wiper, (C) 2026 the Quorlane developers\nhttps://quorlane.example/\n\n'
usage=$'You must specify a valid drive, e.g.\nQUORLANE C:\n'
prompt=$'Warning! This process will make it impossible for you to recover any data that\nhas been marked as deleted by the file system. Continue? \n'
refused=$'Could not create temporary file. Please make sure that there is not already a\nfile named QUORLANE.TMP in the root directory of the destination drive.\n'
explanation=$'Quorlane is now generating a file containing random data in the root directory\nof the drive you specified. The file will take up the remaining available disk\nspace and will be deleted after this operation is complete. You can abort this\nprocess at any time with CTRL+C or CTRL+BREAK\n\n'
expected_text() {  # $1: usage, declined, refused or filled; $2: free bytes
    case $1 in
        usage) printf '%s' "$banner$usage" ;;
        declined) printf '%s' "$banner$prompt" ;;
        refused) printf '%s' "$banner$prompt$refused" ;;
        filled) printf '%s' "$banner$prompt${explanation}Drive Q ($2 bytes free)"$'\n\nFlushing file buffers...\n' ;;
    esac | if [ "$runner" = wine ]; then sed 's/$/\r/'; else cat; fi
}

free_bytes() { stat -f -c '%f %S' /mnt/q | awk '{ printf "%d", $1 * $2 }'; }
secret='left here by the user; the program must not touch it'

# Mounts a fresh drive q: as the case asks: tmpfs:SIZE, readonly, existing
# (a QUORLANE.TMP of the user's), or none (no /mnt/q at all).
prepare_drive() {
    umount -q /mnt/q 2>/dev/null
    rmdir /mnt/q 2>/dev/null
    [ "$1" = none ] && return
    mkdir /mnt/q
    case $1 in
        readonly) mount -t tmpfs -o size=256k,ro quorlane-q /mnt/q ;;
        existing) mount -t tmpfs -o size=256k quorlane-q /mnt/q && printf '%s' "$secret" >/mnt/q/QUORLANE.TMP ;;
        tmpfs:*) mount -t tmpfs -o "size=${1#tmpfs:}" quorlane-q /mnt/q ;;
    esac
}

# What the drive must hold afterwards: nothing new, every byte free again,
# and a file of the user's exactly as it was.
check_drive() {  # $1: drive kind; $2: free bytes before the run
    local listing
    [ "$1" = none ] && return 0
    listing=$(cd /mnt/q && ls -A)
    if [ "$1" = existing ]; then
        [ "$listing" = QUORLANE.TMP ] && [ "$(cat /mnt/q/QUORLANE.TMP)" = "$secret" ] ||
            { echo "the user's QUORLANE.TMP was changed"; return 1; }
    else
        [ -z "$listing" ] || { echo "left on the drive: $listing"; return 1; }
    fi
    [ "$(free_bytes)" = "$2" ] || { echo "free space $(free_bytes), was $2"; return 1; }
}

trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }

passed=0 failed=0
report() {  # $1: case name; $2: empty if it passed, else why not
    if [ -z "$2" ]; then passed=$((passed + 1)); echo "ok    $1"
    else failed=$((failed + 1)); printf 'FAIL  %s\n%s\n' "$1" "$2" | sed '3,$s/^/      /'; fi
}

# Text cases, compared through pipes (where the raw progress marks are lost,
# as they are on Windows when standard output is not a console).
#   name | arguments | typed input | drive | expected text | status
while IFS='|' read -r name args input drive expect status; do
    [ -z "$name" ] && continue
    for field in name args input drive expect status; do printf -v "$field" '%s' "$(trim "${!field}")"; done
    prepare_drive "$drive"
    before=$(mountpoint -q /mnt/q && free_bytes)
    eval "argv=($args)"
    printf "$input" >"$work/input"
    timeout 120 "${run[@]}" "${argv[@]}" <"$work/input" >"$work/out" 2>"$work/err"
    rc=$?
    expected_text "$expect" "$before" >"$work/expected"
    why=""
    [ "$rc" = "$status" ] || why+="exit status $rc, expected $status"$'\n'
    cmp -s "$work/out" "$work/expected" ||
        why+="output differs:"$'\n'"$(diff <(cat -A "$work/expected") <(cat -A "$work/out") | head -20)"$'\n'
    why+=$(check_drive "$drive" "$before")
    report "$name" "$why"
done <<'CASES'
no argument                  |                       | y\n       | tmpfs:256k | usage    | 1
two arguments, first valid   | q: x:                 | y\n       | tmpfs:256k | usage    | 1
empty argument               | ''                    | y\n       | tmpfs:256k | usage    | 1
letter without colon         | q                     | y\n       | tmpfs:256k | usage    | 1
colon alone                  | :                     | y\n       | tmpfs:256k | usage    | 1
colon, no letter             | ::                    | y\n       | tmpfs:256k | usage    | 1
digit for a drive            | 1:                    | y\n       | tmpfs:256k | usage    | 1
letter with no drive         | x:                    | y\n       | tmpfs:256k | usage    | 1
drive not mounted            | q:                    | y\n       | none       | usage    | 1
lower case, answer y         | q:                    | y\n       | tmpfs:256k | filled   | 0
upper case, answer Y         | Q:                    | Y\n       | tmpfs:256k | filled   | 0
a path after the colon       | 'q:\\Windows'         | y\n       | tmpfs:256k | filled   | 0
a name after the colon       | Q:foo                 | y\n       | tmpfs:256k | filled   | 0
answer yes                   | q:                    | yes\n     | tmpfs:256k | filled   | 0
blanks before the answer     | q:                    | \x20\x20Y\n | tmpfs:256k | filled | 0
empty lines before y         | q:                    | \n\ny\n   | tmpfs:256k | filled   | 0
answer n                     | q:                    | n\n       | tmpfs:256k | declined | 0
answer x                     | q:                    | x\n       | tmpfs:256k | declined | 0
empty line, then end         | q:                    | \n        | tmpfs:256k | declined | 0
end of input at once         | q:                    |           | tmpfs:256k | declined | 0
QUORLANE.TMP already there   | q:                    | y\n       | existing   | refused  | 0
read-only drive              | q:                    | y\n       | readonly   | refused  | 0
below one chunk              | q:                    | y\n       | tmpfs:32k  | filled   | 0
exactly ten chunks           | q:                    | y\n       | tmpfs:640k | filled   | 0
ten chunks and a cluster     | q:                    | y\n       | tmpfs:644k | filled   | 0
a larger drive               | q:                    | y\n       | tmpfs:64m  | filled   | 0
CASES

# The progress bar, read under a pseudo-terminal. Wine reports a short write
# at disk full as a success, so there the last partial chunk counts towards
# the bar and every bar ends full; Windows itself refuses such a write, as
# the native build does.
#   name | drive size | marks natively | marks under Wine
while IFS='|' read -r name size native_marks wine_marks; do
    [ -z "$name" ] && continue
    for field in name size native_marks wine_marks; do printf -v "$field" '%s' "$(trim "${!field}")"; done
    marks=$([ "$runner" = wine ] && echo "$wine_marks" || echo "$native_marks")
    prepare_drive "tmpfs:$size"
    before=$(free_bytes)
    timeout 120 python3 "$here/pty_run.py" 'Continue?' $'y\r' "${run[@]}" q: >"$work/out" 2>&1
    rc=$?
    drawn=$(tr -cd '#' <"$work/out" | wc -c)
    why=""
    [ "$rc" = 0 ] || why+="exit status $rc"$'\n'
    [ "$drawn" = "$marks" ] || why+="drew $drawn marks, expected $marks"$'\n'
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/out" | grep -q 'Flushing' || why+="did not finish"$'\n'
    why+=$(check_drive "tmpfs:$size" "$before")
    report "bar: $name" "$why"
done <<'CASES'
below one chunk          | 32k   | 0  | 80
exactly ten chunks       | 640k  | 80 | 80
ten chunks and a cluster | 644k  | 79 | 80
CASES

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
