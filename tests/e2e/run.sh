#!/usr/bin/env bash
# End-to-end tests: the real program on real, size-limited tmpfs drives.
#
#   run.sh native PATH/TO/quorlane
#   run.sh wine   PATH/TO/quorlane.exe
#   run.sh qemu   PATH/TO/quorlane        (another processor's, under qemu-user)
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
source "$here/lib.sh"
[ $# = 2 ] || { echo "usage: $0 native|wine|qemu PROGRAM"; exit 2; }
command -v python3 >/dev/null || skip "python3 (for the terminal cases) is not installed"
enter_private_mounts "$@"
prepare_runner "$@"

# What the program prints, piece by piece. Under Wine, text mode makes each
# newline a carriage return and line feed.
platform=$([ "$1" = wine ] && echo Win32 || echo Linux)
banner=$'\nQuorlane 1.00 for '$platform$' - free-space wiper, (C) 2026 the Quorlane developers\nhttps://quorlane.example/\n\n'
usage=$'You must specify a valid drive, e.g.\nQUORLANE C:\n'
[ "$1" = wine ] || usage+=$'quorlane /media/usb\n'  # the Linux program's path form
options=$'Options: -y, --yes answers the question with yes; -h, --help shows this; --version shows the version.\n'
prompt=$'Warning! This process will make it impossible for you to recover any data that\nhas been marked as deleted by the file system. Continue? \n'
refused=$'Could not create temporary file. Please make sure that there is not already a\nfile named QUORLANE.TMP in the root directory of the destination drive.\n'
explanation=$'Quorlane is now generating a file containing random data in the root directory\nof the drive you specified. The file will take up the remaining available disk\nspace and will be deleted after this operation is complete. You can abort this\nprocess at any time with CTRL+C or CTRL+BREAK\n\n'
# The system's reason for a refused creation, by drive: strerror's text
# natively, Wine's message table under Wine.
declare -A reason=([native.existing]="File exists" [native.readonly]="Read-only file system"
                   [native.noinodes]="No space left on device" [wine.existing]="File exists."
                   [wine.readonly]="Access denied." [wine.noinodes]="Disk full.")
# Bytes as the program puts them beside the exact count: "N bytes (25.6 MiB)".
bytes() {
    awk -v n="$1" 'BEGIN { if (n < 1024) { printf "%.0f bytes", n; exit }
        split("KiB MiB GiB TiB PiB EiB", u); v = n / 1024; i = 1
        while (v >= 1023.95 && i < 6) { v /= 1024; i++ }
        printf "%.0f bytes (%.1f %s)", n, v, u[i] }'
}
expected_text() {  # $1: usage (and, after a blank, the reason why, natively), help, banner, declined, refused,
                   # readonly or filled; $2: free bytes, or the reason for a refusal; $3: lines after a fill's
                   # last; $4: a place named by path, or empty for drive q:; $5: the status
    local volume=Q source said="" place="" explanation=$explanation why prompt=${prompt/Continue? /Continue? $yes}
    if [ -n "${4:-}" ]; then  # the volume's mount point, type and device, before the prompt
        volume=$(findmnt -n -o TARGET -T "$4") source=$(findmnt -n -o SOURCE -T "$4") place=$(escaped "$4")
        said="The drive is $(escaped "$volume") ($(findmnt -n -o FSTYPE -T "$4")"
        [[ $source = */* ]] && said+=" on $source"
        said+=")"
        [ "$volume" = "$4" ] || said+=", the file system that holds $place"
        said+=$'.\n'
    fi
    said+=$note
    [ "$5" = 0 ] && why="nothing that deleted files left there remains." || why="deleted data may remain, where the lines above say."
    local kind=$1
    [ "$runner" = wine ] && [ "$kind" = readonly ] && kind=refused  # Wine tells a read-only drive only on creation
    case $kind in
        usage*) printf '%s' "$banner$usage"; [ "$runner" = wine ] || [ -z "${1#usage}" ] || eval "printf '%s\n' ${1#usage }" ;;
        help) printf '%s' "$banner$usage$options" ;;
        banner) printf '%s' "$banner" ;;
        declined) printf '%s' "$banner$prompt" ;;
        readonly) printf '%s' "$banner$said"$'Read-only file system: nothing can be written to this drive, so nothing was; make it writable to wipe it.\n' ;;
        unwritable) printf '%s' "$banner$said"$'Permission denied: only its owner or root may write to '"$place"$'; run it as root, with sudo.\n' ;;
        refused) printf '%s' "$banner$said$prompt${refused/the root directory of the destination drive/${place:-&}}$2"$'\n' ;;
        filled) [ -n "$place" ] && explanation=${explanation/in the root directory$'\n'of the drive /in the directory$'\n'}
                printf '%s' "$banner$said$prompt${explanation}Drive $(escaped "$volume") ($2 bytes free)"$'\n\nFlushing file buffers...\n'"${3:+$3$'\n'}"
                printf 'Done in T: wrote %s over the free space%s; %s\n' "$(bytes "$2")" "${trimmed:+, then trimmed it}" "$why" ;;
    esac | if [ "$runner" = wine ]; then sed 's/$/\r/'; else cat; fi
}
# A name as the program prints it: control characters as \xHH, and a backslash doubled.
escaped() {
    local name=$1 out="" c i
    for ((i = 0; i < ${#name}; i++)); do
        c=${name:i:1}
        case $c in [[:cntrl:]]) printf -v c '\\x%02X' "'$c" ;; \\) c='\\\\' ;; esac
        out+=$c
    done
    printf '%s' "$out"
}

# Natively the cases run in /mnt, where relative paths to drives start.
[ "$runner" = wine ] || cd /mnt

free_bytes() { echo $(($(stat -f -c '%a * %S' "${1:-/mnt/q}"))); }
secret='left here by the user; the program must not touch it'
printf '%s\n' "$secret" >"$work/elsewhere"

# Makes /mnt/q what the case asks for. Drives: tmpfs:SIZE; readonly; noinodes
# (no inode left for a new file); full (a file of the user's takes all the
# space); append-only (a root where entries can be made but not removed);
# discarding (ext4 of 4 KiB blocks on a loop device, which discards them as
# an SSD does, so that root's run trims it; discarding-inline, made with
# inline_data, which keeps small files inside their inodes; discarding-user, where the
# program runs as an ordinary user, who may not, and is told); home-user
# (ext4 with root's reserve, whose root only root may write to, and a home
# directory of the ordinary user's, who runs the program); existing-in-photos
# (photos/2026, a file notes.txt, and a QUORLANE.TMP of the user's in
# photos). A QUORLANE.TMP of the user's in the root: existing (a file),
# existing-dir, existing-link (a link to a file elsewhere). A link to a
# volume mounted elsewhere: mount-link. No drive: none (no /mnt/q),
# regular-file (a file where the drive should be), dangling (a link to
# nothing), plain-dir (a directory of the user's, no volume), dir-link (a link
# to one).
prepare_drive() {
    umount -q /mnt/q /mnt/elsewhere /mnt/elsewhere /mnt/q 2>/dev/null
    rm -rf /mnt/q /mnt/q.dev /mnt/elsewhere "$work/folder"
    case $1 in
        none) return ;;
        regular-file) printf '%s' "$secret" >/mnt/q; return ;;
        dangling) ln -s /nowhere /mnt/q; return ;;
        plain-dir) mkdir /mnt/q && printf '%s' "$secret" >/mnt/q/notes.txt; return ;;
        dir-link) mkdir "$work/folder" && printf '%s' "$secret" >"$work/folder/notes.txt"
                  ln -s "$work/folder" /mnt/q; return ;;
        mount-link) mkdir /mnt/elsewhere && mount -t tmpfs -o size=256k quorlane-q /mnt/elsewhere
                    ln -s /mnt/elsewhere /mnt/q; return ;;
    esac
    mkdir /mnt/q
    case $1 in
        tmpfs:*) mount -t tmpfs -o "size=${1#tmpfs:}" quorlane-q /mnt/q ;;
        root-owned-user) mount -t tmpfs -o size=256k,mode=0755 quorlane-q /mnt/q ;;
        readonly) mount -t tmpfs -o size=256k,ro quorlane-q /mnt/q ;;
        noinodes) mount -t tmpfs -o size=256k,nr_inodes=1 quorlane-q /mnt/q ;;
        discarding*) truncate -s 32M "$work/ssd.img" &&
                    mkfs.ext4 -q -F -m 0 -b 4096 $([ "$1" = discarding-inline ] && echo -O inline_data) "$work/ssd.img" &&
                    mount -o loop "$work/ssd.img" /mnt/q && chmod 1777 /mnt/q &&
                    ln -s "$(findmnt -n -o SOURCE /mnt/q)" /mnt/q.dev ;;
        overlay*) truncate -s 32M "$work/ssd.img" && mkfs.ext4 -q -F -m 0 -b 4096 "$work/ssd.img" &&
                  mkdir -p /mnt/elsewhere "$work/lower" && mount -o loop "$work/ssd.img" /mnt/elsewhere &&
                  mkdir /mnt/elsewhere/upper /mnt/elsewhere/work && mount -t overlay quorlane-q -o \
                      lowerdir="$work/lower",upperdir=/mnt/elsewhere/upper,workdir=/mnt/elsewhere/work /mnt/q &&
                  if [ "$1" = overlay-hidden ]; then mount -t tmpfs -o size=64k quorlane-hide /mnt/elsewhere; fi ;;
        home-user) truncate -s 32M "$work/ssd.img" && mkfs.ext4 -q -F -b 4096 "$work/ssd.img" &&
                   mount -o loop "$work/ssd.img" /mnt/q && mkdir /mnt/q/home && chown 65534:65534 /mnt/q/home ;;
        *) mount -t tmpfs -o size=256k quorlane-q /mnt/q ;;
    esac
    case $1 in
        full) head -c 1M /dev/urandom >/mnt/q/photos.bin 2>/dev/null ;;
        append-only) chattr +a /mnt/q ;;
        existing) printf '%s' "$secret" >/mnt/q/QUORLANE.TMP ;;
        existing-in-photos) mkdir -p /mnt/q/photos/2026 && printf '%s' "$secret" | tee /mnt/q/notes.txt >/mnt/q/photos/QUORLANE.TMP ;;
        odd-name) mkdir $'/mnt/q/\e[31mred\nline' ;;
        existing-dir) mkdir /mnt/q/QUORLANE.TMP && printf '%s' "$secret" >/mnt/q/QUORLANE.TMP/inside ;;
        existing-link) ln -s "$work/elsewhere" /mnt/q/QUORLANE.TMP ;;
    esac
}

# Everything about the drive that a run must leave as it found it: each
# entry, its kind, size, link target and contents, the free space, and the
# file elsewhere that a link may point to.
snapshot() {
    [ -L /mnt/q ] && echo "link to $(readlink /mnt/q)"
    if [ -d /mnt/q ]; then
        (cd /mnt/q && find . -printf '%p %y %s %l\n' | sort && find . -type f -exec sha256sum {} + | sort)
        mountpoint -q /mnt/q && echo "free $(free_bytes)"
    else
        ls -l /mnt/q 2>&1 | cut -d' ' -f1,5,9-
    fi
    sha256sum "$work/elsewhere"
}

check_drive() {  # $1: the snapshot taken before the run
    local after
    after=$(snapshot)
    [ "$after" = "$1" ] || printf 'the drive changed:\n%s\n' "$(diff <(echo "$1") <(echo "$after"))"
}

# Text cases, compared through pipes (where the raw progress marks are lost,
# as they are on Windows when standard output is not a console).
#   name | arguments | typed input ("closed": no standard input) | drive | expected text | status
while IFS='|' read -r name args input drive expect status; do
    [ -z "$name" ] && continue
    for field in name args input drive expect status; do printf -v "$field" '%s' "$(trim "${!field}")"; done
    # Wine, like Windows with a drive letter given to a folder, takes any
    # directory for a drive; the native build takes only a volume. Windows
    # has no append-only directories, Wine deletes a file by its name, and
    # its delete does not trim.
    # A place named by path is the Linux program's. qemu-user (7.2) does not
    # pass the trim request on to the kernel, so there the arm64 program
    # cannot trim, and takes the drive for one that does not discard.
    eval "argv=($args)"
    place=$([[ ${argv[0]-} = /mnt* || ${argv[0]-} = ./* || ${argv[0]-} = . ]] && cd /mnt && readlink -m -- "${argv[0]}")
    [ "$runner" = wine ] && [[ $drive = plain-dir || $drive = dir-link || $drive = append-only || $drive = discarding* ||
                               $drive = overlay* || -n $place ]] && continue
    [ "$runner" = qemu ] && [[ $drive = discarding || $drive = discarding-inline || $drive = overlay ]] && continue
    as=()
    [[ $drive = *-user ]] && as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    prepare_drive "$drive"
    before=$(snapshot)
    detail=$(mountpoint -q /mnt/q && free_bytes)
    [ -n "$place" ] && [ -d "$place" ] && detail=$(free_bytes "$(findmnt -n -o TARGET -T "$place")")
    [[ $expect = refused || $expect = readonly ]] && detail=${reason[${runner/qemu/native}.${drive%%-*}]}
    yes=$([[ " $args " = *" -y "* || " $args " = *" --yes "* ]] && echo y)
    extra="" trimmed=""  # the lines after a fill's last: root's reserve left, and ext4's reserved pool untrimmed
    [[ $drive = discarding* || $drive = home-user ]] &&
        pool=$(($(cat "/sys/fs/ext4/$(basename "$(findmnt -n -o SOURCE /mnt/q)")/reserved_clusters") * 4096))
    [[ $drive = home-user ]] && extra="The drive's free space was not all overwritten: $(bytes $((
        $(stat -f -c '(%f - %a) * %S' /mnt/q) - pool)) | sed 's/ bytes/ bytes were left/'), kept from this user for"
    [[ $drive = home-user ]] && extra+=" root or by a quota; run it as root, with sudo, or lift the quota, to overwrite them."$'\n'
    note=""  # before the question: what this user's run cannot reach
    [[ $drive = home-user ]] && note="This run cannot write $(bytes $(($(stat -f -c '(%f - %a) * %S' /mnt/q) - pool))) of"
    [[ $drive = home-user ]] && note+=" the free space, kept from this user for root or by a quota: before the delete it moves what"
    [[ $drive = home-user ]] && note+=" it can of that space onto the fill, writing up to the fill's size again a block at a time,"
    [[ $drive = home-user ]] && note+=" which can take twice as long as the fill; to overwrite them in one pass, answer n"
    [[ $drive = home-user ]] && note+=" and run it as root, with sudo, or lift the quota."$'\n'
    case $drive in
        discarding|overlay) extra="Trimming free space..." trimmed=1 ;;
        discarding-inline) extra="Trimming free space..."$'\n'"This file system keeps small files inside their inodes (ext4's"
                           extra+=" inline_data): what deleted ones left there no fill reaches and no trim clears, until new"
                           extra+=" files take those inodes. Only a wipe of the whole drive overwrites them." trimmed=1 ;;
        overlay-hidden) extra="The free space that the file system under this overlay keeps from every file could not be"
                        extra+=" measured or trimmed from here; run Quorlane on that file system itself." ;;
        # ext4 gives any user its map of the free space, so that the run
        # measures that nothing stays unwritten, root's reserve included,
        # and ends with status 0; qemu-user does not pass that request on.
        discarding-user|home-user) extra+="Moving the free space kept from files onto the fill..."
            if [ "$runner" = qemu ]; then
                status=2
                extra+=$'\n'"$pool bytes of free space that the file system keeps from every file were not trimmed, as"
                extra+=" the drive does not discard; they keep what they held. Before the delete, the fill wrote M over"
                extra+=" free blocks where deleted files may have lain; which free blocks it did not write, the file"
                extra+=" system's map of its free space did not tell. zerofree, run on the drive while it is not mounted,"
                extra+=" overwrites that space."
            elif [ "$drive" = home-user ]; then
                extra+=$'\n'"What was kept from this user was moved onto the fill as well: the file system's map of"
                extra+=" its free space shows that the fill wrote every free block."
            fi ;;
    esac
    why=""
    for _ in $([ "$drive" = append-only ] && echo 1 2 || echo 1); do  # a run must not change what the next finds
        if [ "$input" = closed ]; then
            timeout 120 "${as[@]}" "${run[@]}" "${argv[@]}" <&- >"$work/out" 2>"$work/err"
        else
            printf "$input" >"$work/input"
            timeout 120 "${as[@]}" "${run[@]}" "${argv[@]}" <"$work/input" >"$work/out" 2>"$work/err"
        fi
        rc=$?
        expected_text "$expect" "$detail" "$extra" "$place" "$status" >"$work/expected"
        [ "$rc" = "$status" ] || why+="exit status $rc, expected $status"$'\n'
        sed -Ei 's/^Done in [0-9.]+ (s|min [0-9]+ s): /Done in T: /; s/the fill wrote [0-9]+ bytes \([^)]*\) over/the fill wrote M over/
                    /map of its free space shows/ s/^[0-9]+ bytes of free space/K bytes of free space/' "$work/out"
        cmp -s "$work/out" "$work/expected" ||
            why+="output differs:"$'\n'"$(diff <(cat -A "$work/expected") <(cat -A "$work/out") | head -20)"$'\n'
        why+=$(check_drive "$before")
    done
    report "$name" "$why"
done <<'CASES'
no argument                  |                       | y\n       | tmpfs:256k | usage    | 1
two arguments, first valid   | q: x:                 | y\n       | tmpfs:256k | usage 'Name one drive only.' | 1
empty argument               | ''                    | y\n       | tmpfs:256k | usage "The drive's name is empty." | 1
letter without colon         | q                     | y\n       | tmpfs:256k | usage 'q is a name, not a path: to fill the drive that holds that directory, write ./q.' | 1
colon alone                  | :                     | y\n       | tmpfs:256k | usage ": is neither a drive nor a path: name a drive's mount point, as in /media/usb." | 1
colon, no letter             | ::                    | y\n       | tmpfs:256k | usage ':: is not a drive: No such file or directory.' | 1
digit for a drive            | 1:                    | y\n       | tmpfs:256k | usage '1: is not a drive: No such file or directory.' | 1
letter with no drive         | x:                    | y\n       | tmpfs:256k | usage 'x: is not a drive: No such file or directory.' | 1
drive not mounted            | q:                    | y\n       | none       | usage 'q: is not a drive: No such file or directory.' | 1
drive is a regular file      | q:                    | y\n       | regular-file | usage 'q: is not a drive: Not a directory.' | 1
drive is a dangling link     | q:                    | y\n       | dangling   | usage 'q: is not a drive: No such file or directory.' | 1
drive is a plain directory   | q:                    | y\n       | plain-dir  | usage 'q: is not a drive: No medium found.' | 1
drive links to a directory   | q:                    | y\n       | dir-link   | usage 'q: is not a drive: No medium found.' | 1
drive links to a volume      | q:                    | y\n       | mount-link | filled   | 0
backslash alone              | '\\'                  | y\n       | tmpfs:256k | usage "\\\\\\\\ is neither a drive nor a path: name a drive's mount point, as in /media/usb." | 1
help: --help                 | --help                | y\n       | tmpfs:256k | help     | 0
help: -h, with a drive       | q: -h                 | y\n       | tmpfs:256k | help     | 0
help: /?                     | '/?'                  | y\n       | tmpfs:256k | help     | 0
version                      | --version             | y\n       | tmpfs:256k | banner   | 0
an unknown option            | -x                    | y\n       | tmpfs:256k | usage '-x is not an option: --help lists them.' | 1
answered beforehand: -y      | q: -y                 | closed    | tmpfs:256k | filled   | 0
answered beforehand: --yes   | --yes q:              | n\n       | tmpfs:256k | filled   | 0
non-ASCII letter             | $'\xe9:'              | y\n       | tmpfs:256k | usage $'\xe9: is not a drive: No such file or directory.' | 1
non-ASCII bytes              | $'\xc3\xa9:'          | y\n       | tmpfs:256k | usage $'\xc3\xa9: is neither a drive nor a path: name a drive\'s mount point, as in /media/usb.' | 1
very long, not a drive       | "$(printf 'x%.0s' {1..5000})" | y\n | tmpfs:256k | usage "$(printf 'x%.0s' {1..5000}) is neither a drive nor a path: name a drive's mount point, as in /media/usb." | 1
very long, after q:          | "q:$(printf 'x%.0s' {1..5000})" | y\n | tmpfs:256k | filled | 0
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
no standard input            | q:                    | closed    | tmpfs:256k | declined | 0
QUORLANE.TMP already there   | q:                    | y\n       | existing   | refused  | 1
QUORLANE.TMP a directory     | q:                    | y\n       | existing-dir | refused | 1
QUORLANE.TMP a link elsewhere | q:                   | y\n       | existing-link | refused | 1
read-only drive              | q:                    | y\n       | readonly   | readonly | 1
no inode left               | q:                    | y\n       | noinodes   | refused  | 1
append-only root, run twice  | q:                    | y\n       | append-only | filled  | 0
drive already full           | q:                    | y\n       | full       | filled   | 0
below one chunk              | q:                    | y\n       | tmpfs:32k  | filled   | 0
exactly ten chunks           | q:                    | y\n       | tmpfs:640k | filled   | 0
ten chunks and a cluster     | q:                    | y\n       | tmpfs:644k | filled   | 0
a larger drive               | q:                    | y\n       | tmpfs:64m  | filled   | 0
a drive that discards        | q:                    | y\n       | discarding | filled   | 0
a user, a drive that discards | q:                   | y\n       | discarding-user | filled | 0
small files kept in inodes   | q:                    | y\n       | discarding-inline | filled | 2
path: a mount point          | /mnt/q                | y\n       | tmpfs:256k | filled   | 0
path: relative, inside       | ./q/photos/2026       | y\n       | existing-in-photos | filled   | 0
path: QUORLANE.TMP there     | /mnt/q/photos         | y\n       | existing-in-photos | refused  | 1
path: a file                 | /mnt/q/notes.txt      | y\n       | existing-in-photos | usage '/mnt/q/notes.txt is a file, not a directory: name the directory that holds it.' | 1
path: missing                | /mnt/q/nowhere        | y\n       | tmpfs:256k | usage '/mnt/q/nowhere: No such file or directory.' | 1
path: a device, mounted      | /mnt/q.dev            | y\n       | discarding | usage '/mnt/q.dev is a device, not a directory; it is mounted at /mnt/q, so name that.' | 1
path: no storage (/proc)     | /proc                 | y\n       | tmpfs:256k | usage '/proc holds no storage that a file can take: name a directory on a drive.' | 1
path: another user's drive   | /mnt/q                | y\n       | root-owned-user | unwritable | 1
path: a user's own directory | /mnt/q/home           | y\n       | home-user  | filled   | 0
path: a plain directory      | /mnt/q                | y\n       | plain-dir  | filled   | 0
path: the current directory  | .                     | y\n       | tmpfs:256k | filled   | 0
path: control characters     | $'/mnt/q/\e[31mred\nline' | y\n | odd-name  | filled   | 0
an overlay on ext4           | q:                    | y\n       | overlay    | filled   | 0
an overlay, its layer hidden | q:                    | y\n       | overlay-hidden | filled | 2
CASES

# Standard output that goes away: the text is lost, and the fill still runs
# to its end and leaves the drive as it was.
#   name | where standard output goes
while IFS='|' read -r name output; do
    [ -z "$name" ] && continue
    for field in name output; do printf -v "$field" '%s' "$(trim "${!field}")"; done
    prepare_drive tmpfs:64m
    before=$(snapshot)
    case $output in
        closed) printf 'y\n' | timeout 120 "${run[@]}" q: >&- 2>/dev/null; rc=$? ;;
        reader-leaves) printf 'y\n' | timeout 120 "${run[@]}" q: 2>/dev/null | head -c 100 >/dev/null
                       rc=${PIPESTATUS[1]} ;;
    esac
    why=""
    [ "$rc" = 0 ] || why+="exit status $rc, expected 0"$'\n'
    why+=$(check_drive "$before")
    report "$name" "$why"
done <<'CASES'
standard output closed           | closed
reader leaves after the banner   | reader-leaves
CASES

# A drive whose cluster count does not fit 32 bits: the free space is shown
# exact. Natively a per-file size limit of 1 MiB then ends the fill long
# before the drive is full: the limit ends the loop as a full drive would, the
# last piece, though the drive reports terabytes free, stays within the
# buffer, and the run says what it left and ends with status 2. A size limit
# kills Wine itself, so there the run is stopped once the drive line is out.
prepare_drive tmpfs:20971521m  # 20 TiB and 1 MiB
before=$(snapshot) free=$(free_bytes)
left="The drive's free space was not all overwritten: $(bytes $((free - 1048576)) | sed 's/ bytes/ bytes were left/'), as"
left+=" the fill's file could grow no further (a limit on a file's size, or a write the drive refused); lift the limit,"
expected_text filled 1048576 "$left then run it again." "" 2 | sed "s/(1048576 bytes free)/($free bytes free)/" >"$work/expected"
if [ "$runner" != wine ]; then
    printf 'y\n' | timeout 120 bash -c 'ulimit -f 1024 && exec "$@"' - "${run[@]}" q: >"$work/out" 2>"$work/err"
    rc=$?
else
    printf 'y\n' >"$work/input"
    "${run[@]}" q: <"$work/input" >"$work/out" 2>"$work/err" &
    wait_for grep -q 'bytes free' "$work/out"
    kill $! && wait $!
    wait_for eval '[ "$(snapshot)" = "$before" ]'  # the server deletes the file of the process it lost
    rc=2
    sed -i '/bytes free/q' "$work/out" && sed -i '/bytes free/q' "$work/expected"
fi
why=""
[ "$rc" = 2 ] || why+="exit status $rc, expected 2"$'\n'
sed -Ei 's/^Done in [0-9.]+ (s|min [0-9]+ s): /Done in T: /' "$work/out"
cmp -s "$work/out" "$work/expected" || why+="output differs:"$'\n'"$(diff "$work/expected" "$work/out")"$'\n'
why+=$(check_drive "$before")
report "20 TiB drive: the free space exact$([ "$runner" != wine ] && echo ', and a 1 MiB file size limit reported')" "$why"

# A whole run under valgrind's memory checker, natively (Wine's own workings
# would drown the program's), unless the program checks itself with sanitizers.
if [ "$runner" = native ] && [ -z "${QUORLANE_SANITIZED:-}" ]; then
    command -v valgrind >/dev/null || skip "valgrind is not installed"
    prepare_drive tmpfs:64m
    before=$(snapshot)
    printf 'y\n' | timeout 300 valgrind -q --error-exitcode=99 --leak-check=full "$program" q: >"$work/out" 2>"$work/err"
    rc=$?
    why=""
    [ "$rc" = 0 ] || why+="exit status $rc:"$'\n'"$(head -20 "$work/err")"$'\n'
    why+=$(check_drive "$before")
    report "a whole run under valgrind" "$why"
fi

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
    before=$(snapshot)
    timeout 120 python3 "$here/pty_run.py" 'Continue?' $'y\r' "${run[@]}" q: >"$work/out" 2>&1
    rc=$?
    drawn=$(tr -cd '#' <"$work/out" | wc -c)
    why=""
    [ "$rc" = 0 ] || why+="exit status $rc"$'\n'
    [ "$drawn" = "$marks" ] || why+="drew $drawn marks, expected $marks"$'\n'
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/out" | grep -q 'Flushing' || why+="did not finish"$'\n'
    why+=$(check_drive "$before")
    report "bar: $name" "$why"
done <<'CASES'
below one chunk          | 32k   | 0  | 80
exactly ten chunks       | 640k  | 80 | 80
ten chunks and a cluster | 644k  | 79 | 80
CASES

# A terminal keeps the last title set: the Linux program saves the one it
# found, shows the fill's progress in its place, and gives it back however
# the run ends, CTRL+C included (natively: under qemu the signal would go to
# the emulator).
#   name | signal sent at the 20th mark, or none
while IFS='|' read -r name signal; do
    name=$(trim "$name")
    [ -z "$name" ] || [ "$runner" = wine ] || { [ "$runner" = qemu ] && [ -n "$(trim "$signal")" ]; } && continue
    signal=$(trim "$signal")
    prepare_drive tmpfs:2g
    before=$(snapshot)
    timeout 120 python3 "$here/pty_run.py" ${signal:+--at-mark 20 "kill -$signal \$PTY_RUN_CHILD"} 'Continue?' $'y\r' \
        "${run[@]}" q: >"$work/out" 2>&1
    why=""
    [[ $(<"$work/out") = $'\e[22;0t\e]0;Quorlane 1.00 for Linux\a'* ]] || why+="the title was not saved, then set"$'\n'
    grep -aq $'\e]0;Quorlane: [0-9]*%' "$work/out" || why+="no progress in the title"$'\n'
    [[ $(<"$work/out") = *$'\e[23;0t' ]] || why+="the title was not given back at the end"$'\n'
    [ -z "$signal" ] || ! grep -q 'Done in' "$work/out" || why+="the run was not stopped"$'\n'
    why+=$(check_drive "$before")
    report "title: $name" "$why"
done <<'CASES'
given back after a whole run |
given back on CTRL+C         | INT
CASES

finish_report
