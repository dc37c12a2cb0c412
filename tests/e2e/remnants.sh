#!/usr/bin/env bash
# Proves the wipe on real file systems: deleted data is gone from the image.
#
#   remnants.sh native|wine PROGRAM [FILESYSTEM...]
#
# File systems as users have them, made with their tools' defaults and wiped
# by root: ext4 (512 MiB, the least for which mkfs gives 4 KiB blocks, as on
# any real drive), xfs and btrfs, each on a loop device, which discards as an
# SSD does; ext4-hdd, xfs-hdd and btrfs-hdd on one that does not, as a hard disk (a loop
# device of its own, /dev/loop240, whose discards stay off); ntfs (through
# ntfs-3g), zfs (through zfs-fuse), exfat (through exfat-fuse). Then variants:
# ext4-1k (256 MiB, for which mkfs gives 1 KiB blocks), ext4-open (ext4's
# reserved cluster pool opened to the fill), ext4-full (a drive that a file
# of the user's fills but for 8 MiB), ext4-user, xfs-user and btrfs-user
# (run by an ordinary user; native only, as are the other -user rows; on
# ext4 after 700 names were made and deleted in the root, which grows its
# directory),
# ext4-reserve-user (a reserve for root of a third, over half the user's fill),
# ext4-nsroot-user (by root in a user namespace nested in an ordinary
# user's), ext4-acl-user (128-byte inodes, a default ACL on the root),
# ext4-owner-user (by the ordinary user tune2fs made the reserve's owner),
# ext4-bigalloc-user (64 KiB clusters and no reserve), btrfs-quota (a quota
# group that lets the drive's files have 32 MiB), zfs-dedup (a pool with
# dedup=on), ext3-hdd (ext3, whose file's map is of indirect blocks, as
# root on a device that does not discard) and ext3-user (ext3 keeps nothing
# from every file: root's reserve alone is moved). Last, natively,
# ext4-256g-hdd, xfs-256g-hdd and ext4-256g-user: 256 GiB sparse images as
# hard disks, with 800 MiB of the home mix (two in five deleted) and a
# preallocated file over all but 16 GiB; counted there: files with a line
# left, not photorec's.
#
# For each: make an image, mount it as drive q:, write a home directory's mix
# of thousands of small documents, photos and videos in sixteen folders over
# two fifths of it, files that recovery tools know by their signatures, and
# delete two in five of them, so that the deleted ones lie between kept ones
# and the free space in hundreds of pieces in every group of the drive; then
# forty small files (100 bytes to 3 KiB) and one large file over all the rest
# of the space, and delete those. Each line of these files is a numbered marker, so that any free
# space a run leaves out shows and no two blocks are alike for deduplication
# to merge. Count the 4 KiB blocks of the raw image that still hold a marker
# of a deleted file, the deleted documents, photos and videos with a line
# left anywhere in it (inside the file system's metadata too, where btrfs
# keeps small files), and the deleted files photorec restores whole from it;
# run the program on q: on a terminal, answering y, and count again. Prints
# the counts, the progress marks drawn and the run's time from the answer as
# a markdown table, with where the survivors live.
#
# What must hold: every run ends with no file left, with its bar drawn to the
# end (79 or 80 marks, as the free space is a whole number of chunks or not;
# natively no more), and says what the table "says" below gives its row,
# with status 2, or nothing of it, with status 0; the
# deleted data and files were there to find before the run; after it, on
# the rows of ext4 and xfs on a device that discards, natively, no block of
# a deleted file survives, but on xfs the few on its groups' free lists (which
# no trim reaches), nor a file photorec restores; on the other default
# rows at most a tenth of the large file's blocks survive, ext4 and xfs keep
# no more blocks with a marker than no file can have (ext4's reserved pool,
# the blocks xfs keeps back), with a chunk's margin, and on btrfs, NTFS and
# exFAT photorec restores at most half the files; ext4-open keeps at most
# two blocks with a marker; natively, on the hard-disk and ordinary-user rows
# that have dd's reference, photorec restores at most a tenth (ext4), a
# quarter (xfs; a third at 256 GiB) or a half (ext3) of the files after dd,
# and at 256 GiB on ext4 at most 1% as root, 5% as a user; ext4-bigalloc-user
# says at most 2 MiB unwritten. On zfs-dedup
# the fill's data, which repeats every 16 MiB, is stored almost not at all,
# and the run is only timed, and stopped after five minutes.
set -u

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
[ $# -ge 2 ] || { echo "usage: $0 native|wine PROGRAM [FILESYSTEM...]"; exit 2; }
enter_private_mounts "$@"
prepare_runner "$1" "$2"
shift 2
defaults=(ext4 ext4-hdd xfs xfs-hdd btrfs btrfs-hdd ntfs zfs exfat)
if [ $# -gt 0 ]; then filesystems=("$@")
else filesystems=("${defaults[@]}" ext4-1k ext4-open ext4-full ext4-user ext4-reserve-user ext4-nsroot-user ext4-acl-user ext4-owner-user
                   ext4-bigalloc-user xfs-user btrfs-user btrfs-quota zfs-dedup ext3-hdd ext3-user
                   ext4-256g-hdd xfs-256g-hdd ext4-256g-user); fi
mkdir /mnt/q

# Image size (the smallest each mkfs here accepts, or near it), tool, and
# where the measured survivors live.
declare -A size=([ext4-256g-hdd]=256G [xfs-256g-hdd]=256G [ext4-256g-user]=256G [ext4]=512M [ext3]=512M [ext4-1k]=256M [xfs]=320M [btrfs]=128M [ntfs]=64M [zfs]=128M [exfat]=64M)
declare -A mkfs=([ext4]=mkfs.ext4 [ext3]=mkfs.ext3 [xfs]=mkfs.xfs [btrfs]=mkfs.btrfs [ntfs]=mkfs.ntfs [zfs]=zfs-fuse
                 [exfat]=mkfs.exfat)
declare -A mounter=([ntfs]=ntfs-3g [exfat]=mount.exfat-fuse)
# What a run must say on each row, and so end with status 2; on every other
# row it says none of it, and ends with status 0. short: the fill stopped
# with space left (on ext4, root's reserve, give or take a chunk), status 2
# unless a measured move wrote all of it; untrimmed:
# the space no file can be given stayed untrimmed; measured: a run that
# reads the file system's map of its free space after the move (ext4's, or
# xfs's as root) says untrimmed where free blocks the fill did not write are
# left, and then no more blocks of deleted files survive than it says, or
# else nothing;
# pool: ZFS keeps part of the pool. The last three natively only: under Wine
# nothing is trimmed, and the Windows program says nothing of it.
declare -A says=(
    [ext4-hdd]=measured [ext3-hdd]=measured [xfs-hdd]=measured [ext4-1k]=measured [ext4-owner-user]=measured
    [ext4-bigalloc-user]=measured [xfs-user]=measured [ext4-user]="short measured"
    [ext4-reserve-user]="short measured" [ext4-256g-user]="short measured" [ext4-256g-hdd]=measured [xfs-256g-hdd]=measured
    [ext4-nsroot-user]="short measured" [ext4-acl-user]="short measured" [ext3-user]=short
    [btrfs-quota]=short [btrfs-hdd]=untrimmed [btrfs-user]=untrimmed
    [zfs]=pool [zfs-dedup]=pool
)
evidence=$(cd "$here/../../bench" && pwd)/evidence.py
declare -A where=(
    [ext4]="nothing: after the wipe the free space is trimmed, ext4's reserved cluster pool with it, and the device drops what it held"
    [ext4.wine]="ext4's reserved cluster pool (2% of the clusters, 10 MiB here), which no file can have, and Wine's delete does not trim: the deleted files that lay there stay whole"
    [ext4-hdd]="ext4's reserved cluster pool (2% of the clusters, 10 MiB here, at most 4,096 clusters), which no file can have and a hard disk cannot trim: before the delete the run moves it onto blocks the fill wrote, and has ext4 write its file's extent map to its place; then it reads ext4's map of its free space: where no free block is left that the fill did not write, it ends with status 0, else it says how many bytes and ends with status 2"
    [ext3-hdd]="nothing: ext3 keeps no free space from root's file, and the blocks of the fill file's map (its indirect blocks), which the journal writes to their place only when checkpointed, are written there before the delete; the run ends with status 0"
    [ext4-1k]="free pieces of 1 to 3 blocks, which the fill left to the reserved cluster pool, and which are smaller than the device can discard (4 KiB): moved and measured as on ext4-hdd"
    [xfs-hdd]="free blocks xfs holds back for its own metadata (reserve pool, per-group reservations), which a hard disk cannot trim: moved as on ext4-hdd, and measured, as root, with xfs's map; what the fill did not write (some of it on a group's free list, and the blocks of its file's block map, which xfs writes to their place in its own time) holds the survivors: the run says how many bytes and ends with status 2"
    [ext4-open]="nothing, once the reserved cluster pool is opened to the fill"
    [ext4-full]="nothing, as for ext4, on a drive kept nearly full by a file of the user's"
    [ext4-user]="nothing, where the run ends with status 0: the reserved cluster pool, and the blocks reserved for root (5%), which an ordinary user's file cannot have, and which an ordinary user may not trim: the fill says how much it left; the move takes both onto the fill and has ext4 write its file's extent map to its place (syncfs); ext4's map, which any user may read, shows what stays unwritten: where nothing, the run says so and ends with status 0, else it says how much and ends with status 2"
    [ext4-nsroot-user]="as for ext4-user: root in a user namespace nested in one of an ordinary user's own is not given root's reserve either"
    [ext4-acl-user]="as for ext4-user, on a drive of 128-byte inodes whose root has a default ACL, so that the fill's file has an extended-attribute block"
    [ext4-reserve-user]="as for ext4-user, on a drive whose reserve for root (33%) is over half of what an ordinary user's fill can take: the move frees up to all of the fill to take it"
    [ext3-user]="as for ext4-user, on ext3, which keeps nothing from every file: root's reserve alone is moved onto the fill, unmeasured, as ext3's map of its free space missed free blocks no fill wrote; the run ends with status 2"
    [ext4-owner-user]="as for ext4-user: the reserve's owner (tune2fs -u) is given the reserve, as root is, but may not trim"
    [ext4-bigalloc-user]="as for ext4-hdd, in clusters of 64 KiB: an ordinary user's file can have all the space root's can on a drive made with no reserve for root, but an ordinary user may not trim"
    [xfs-user]="as for xfs-hdd: an ordinary user's file can have all the space root's can, and xfs gives any user its map of free space, but only root may trim: moved and measured as on xfs-hdd, and the run says how many bytes stay unwritten, with status 2"
    [ext4-256g-hdd]="as for ext4-hdd, on a drive of real size: the few survivors lie in the pieces the run says it did not write, or inside the preallocated file, which took some holes of deleted files without writing them"
    [xfs-256g-hdd]="as for xfs-hdd, on a drive of real size: the survivors lie in the one group of four where the fill has no block, which the home directory and the preallocated file took all but xfs's share of, so that no file can write there"
    [ext4-256g-user]="as for ext4-reserve-user, on a drive of real size: root's 12.8 GiB reserve is moved in full, the large free pieces no file had at the head of each group of sixteen too; what the run says stays unwritten holds the few survivors outside the preallocated file"
    [btrfs-hdd]="btrfs's metadata free space, where it keeps files of up to 2 KiB and every name, which no file's data reaches and a hard disk cannot trim: the run fills it with its file's attributes before the delete, and says what btrfs keeps back there, with status 2"
    [btrfs-user]="as for btrfs-hdd: an ordinary user's file can have all the space root's can, but an ordinary user may not trim"
    [xfs]="nothing but, in some runs, a few blocks on a group's free list, which xfs keeps ready for its own b-trees and no trim reaches: after the wipe the free space is trimmed a group at a time, the blocks xfs holds back for its metadata with it"
    [btrfs]="nothing: before the delete the run fills the free space of btrfs's metadata, where it keeps small files, with its file's attributes, and the trim after it clears the rest"
    [btrfs-quota]="the space the quota group kept from the fill: the run says how much it left and ends with status 2"
    [ntfs]="files small enough to live inside their MFT record, which stays with the MFT"
    [zfs]="space ZFS keeps back from files as the pool fills, which no file's data can have: pieces, and whole files that lay between kept ones (a third to a half of the deleted files in three runs); natively the run says so and ends with status 2"
    [zfs-dedup]="the fill's data repeats every 16 MiB, so dedup stores it almost not at all, and the pool is filled only with its tables; wipe through a dataset with dedup=off"
    [exfat]="nothing: every cluster is open to a file's data"
)

# ZFS through zfs-fuse: one daemon for the whole script, started here in the
# namespace, with its socket directory on a private tmpfs, and stopped by its
# PID; the directory goes again if it was empty. A pool is made, imported and exported in place of mkfs, mount and
# umount; its one device is the image, and it has no compression. It is kept
# out of the machine's pool cache, so that a run stopped halfway leaves no
# pool behind for the next to trip over.
start_zfs() {
    [ -n "${zfs_pid:-}" ] && return
    mkdir -p /run/zfs && mount -t tmpfs -o size=1m,mode=0700 quorlane-zfs /run/zfs
    zfs-fuse --no-daemon --no-kstat-mount >>"$work/zfs.log" 2>&1 &
    zfs_pid=$!
    wait_for test -S /run/zfs/zfs_socket
}
stop_zfs() {
    [ -n "${zfs_pid:-}" ] || return 0
    kill "$zfs_pid" && wait "$zfs_pid"
    umount /run/zfs && rmdir /run/zfs 2>/dev/null  # unless something of the machine's is in it
    zfs_pid=""
}
trap 'stop_zfs; finish; [ -z "${hdd_held:-}" ] || losetup -d /dev/loop240 2>/dev/null' EXIT

# /dev/loop240 is one device for every run on the machine: a second run (a
# check from another clone) waits for the first's row to let it go, as a row
# waits for a detach that takes a moment to end, rather than failing.
# Attaching is the kernel's own test and set, so two runs never share it.
attach_hdd() {  # $1: image
    local tries=0 err
    until err=$(LC_ALL=C losetup /dev/loop240 "$1" 2>&1); do
        case $err in *busy*) ;; *) echo "$err" >&2; return 1 ;; esac
        [ $((tries += 1)) -le 900 ] || { echo "/dev/loop240 stayed busy for 15 minutes" >&2; return 1; }
        [ "$tries" != 3 ] || echo "waiting for /dev/loop240, which another run holds" >&2
        sleep 1
    done
    hdd_held=1
}

make_image() {  # $1: file system; $2: image
    truncate -s "${size[$1]:-${size[${1%%-*}]}}" "$2"
    case $1 in
        # Wine counts only the space free to ordinary users, so under Wine
        # the last piece of a fill could not reach the blocks reserved for
        # root (Windows has no such reserve): give the image none there.
        ext4-bigalloc*) mkfs.ext4 -q -F -O bigalloc -C 65536 -m 0 "$2" ;;
        ext4-acl*) mkfs.ext4 -q -F -I 128 "$2" 2>/dev/null ;;
        ext4*) mkfs.ext4 -q -F $([ "$runner" = wine ] && echo -m 0) $([ "$1" = ext4-reserve-user ] && echo -m 33) "$2" &&
               if [ "$1" = ext4-owner-user ]; then tune2fs -u 65534 "$2" >/dev/null; fi ;;
        ext3*) mkfs.ext3 -q -F "$2" ;;
        xfs*) mkfs.xfs -q -f "$2" ;;
        btrfs*) mkfs.btrfs -q -f "$2" >/dev/null ;;
        ntfs) mkfs.ntfs -q -F -Q "$2" >/dev/null 2>&1 ;;
        zfs*) start_zfs && zpool create -o cachefile=none -m /mnt/q -O dedup="$([ "$1" = zfs-dedup ] && echo on || echo off)" \
                  quorlane "$2" && zpool export quorlane ;;
        exfat) mkfs.exfat "$2" >/dev/null ;;
    esac
}

mount_image() {  # $1: file system; $2: image
    case $1 in
        ntfs) mount -t ntfs-3g "$2" /mnt/q ;;
        zfs*) zpool import -o cachefile=none -d "$(dirname "$2")" quorlane ;;
        # exfat-fuse takes only a block device; it stays in the foreground,
        # so that its PID is known, and ends when the drive is unmounted.
        exfat) exfat_device=$(losetup -f --show "$2") || return
               mount.exfat-fuse -d "$exfat_device" /mnt/q >>"$work/exfat.log" 2>&1 &
               exfat_pid=$!
               wait_for mountpoint -q /mnt/q || { kill "$exfat_pid"; wait "$exfat_pid"; losetup -d "$exfat_device"; return 1; } ;;
        *-hdd | *-256g-*) attach_hdd "$2" || return
               { echo 0 >/sys/block/loop240/queue/discard_max_bytes && mount /dev/loop240 /mnt/q; } ||
                   { losetup -d /dev/loop240; hdd_held=""; return 1; } ;;
        *) mount -o loop "$2" /mnt/q ;;
    esac
}

unmount_image() {  # $1: file system
    case $1 in
        zfs*) zpool export quorlane ;;
        exfat) umount /mnt/q; wait "$exfat_pid"; losetup -d "$exfat_device" ;;
        *-hdd | *-256g-*) umount /mnt/q; losetup -d /dev/loop240; hdd_held="" ;;
        *) umount /mnt/q ;;
    esac
}

# ext4's reserved cluster pool on drive q:, which only the file system itself
# may use; opening it lets every file have it.
pool_file() { echo "/sys/fs/ext4/$(basename "$(findmnt -n -o SOURCE /mnt/q)")/reserved_clusters"; }
open_reserve() { [ -w "$(pool_file)" ] && echo 0 >"$(pool_file)"; }

write_markers() {  # $1: marker of the large file; $2: of the small ones; $3: of the home directory's
    local n bytes
    mkdir /mnt/q/home
    mapfile -t gone < <(python3 "$evidence" home /mnt/q/home \
                        $([ -n "$real_size" ] && echo $((800 << 20)) || echo $(($(stat -f -c '%a * %S' /mnt/q) * 2 / 5))) \
                        "$3" "$work/deleted")
    if [ -n "$real_size" ]; then
        sync && rm -f "${gone[@]}" && sync && fallocate -l $(($(stat -f -c '%a * %S' /mnt/q) - (16 << 30))) /mnt/q/preallocated
        return
    fi
    for n in $(seq 1 40); do
        bytes=$((100 + (n - 1) * 75))  # 100 bytes to 3 KiB
        yes "$2-$n" | head -c "$bytes" >"/mnt/q/small-$n.dat"
    done
    seq 1 1000000000 | sed "s/^/$1-/" >/mnt/q/large.dat 2>/dev/null  # until the drive is full
    sync
    rm -f /mnt/q/large.dat /mnt/q/small-*.dat "${gone[@]}"
    sync
}

blocks() { if [[ -n $real_size && $2 != *-GONE ]]; then echo 0; else python3 "$evidence" markers "$1" "$2" | cut -d' ' -f1; fi; }
# The deleted files photorec restores whole from image $1 (at 256 GiB: with a line left).
restored() {
    [ -z "$real_size" ] || { python3 "$evidence" pieces "$1" "$home"; return; }
    rm -rf "$work/found" && mkdir "$work/found"
    (cd "$work/found" && photorec /log /d "$work/found/files" /cmd "$1" \
        partition_none,fileopt,everything,disable,png,enable,pdf,enable,zip,enable,wholespace,search >/dev/null 2>&1)
    python3 "$evidence" restored "$work/deleted" "$work/found"
}

rows=()
for fs in "${filesystems[@]}"; do
    kind=${fs%%-*}
    real_size=$([[ $fs = *-256g-* ]] && echo 1)
    [[ $fs != *-user && -z $real_size ]] || [ "$runner" = native ] || continue
    missing=""
    for tool in "${mkfs[$kind]}" ${mounter[$kind]:-} photorec; do command -v "$tool" >/dev/null || missing+=" $tool"; done
    [ -z "$missing" ] || { report "$fs" "not installed:$missing"; continue; }
    if [ "$fs" = ext4-nsroot-user ] && ! setpriv --reuid=65534 --regid=65534 --clear-groups unshare -r unshare -r true 2>/dev/null; then
        echo "skip  $fs: this machine refuses an ordinary user a user namespace nested in its own"
        continue
    fi
    mkdir -p "$work/$fs"  # the image alone in its directory, where zpool import looks
    image=$work/$fs/image
    large="QUORLANE-REMNANT-LARGE-$fs"
    small="QUORLANE-REMNANT-SMALL-$fs"
    home="QUORLANE-REMNANT-HOME-$fs"
    make_image "$fs" "$image" && mount_image "$fs" "$image" ||
        { report "$fs" "could not make and mount the image"; continue; }
    [ "$kind" = ext4 ] && open_reserve  # markers in every block a file can have
    [ "$fs" = ext4-full ] && fallocate -l $(($(stat -f -c '%a * %S' /mnt/q) - (8 << 20))) /mnt/q/kept.dat
    write_markers "$large" "$small" "$home"
    unmount_image "$fs"
    large_before=$(blocks "$image" "$large")
    small_before=$(blocks "$image" "$small")
    home_before=$(blocks "$image" "$home-GONE")
    pieces_before=$(python3 "$evidence" pieces "$image" "$home")
    files_before=$(restored "$image")
    # The reference on the hard-disk and ordinary-user rows: a plain fill to a
    # full drive, dd's zeros, by the same user, on a copy of the same image.
    dd_files=""
    if [ "$runner" = native ] && [[ " ext4-hdd xfs-hdd ext4-user ext4-reserve-user xfs-user ext3-user " = *" $fs "* || -n $real_size ]]; then
        cp --sparse=always "$image" "$work/$fs/dd-image" && mount_image "$fs" "$work/$fs/dd-image" && chmod 1777 /mnt/q &&
            $([[ $fs = *-user ]] && echo setpriv --reuid=65534 --regid=65534 --clear-groups) \
                dd if=/dev/zero of=/mnt/q/dd.fill bs=64K conv=fsync status=none 2>/dev/null
        rm -f /mnt/q/dd.fill && unmount_image "$fs"
        dd_files=$(restored "$work/$fs/dd-image")
        rm -f "$work/$fs/dd-image"
    fi

    mount_image "$fs" "$image"
    as=() pool=0
    # What no file can have: ext4's reserved cluster pool, and the free
    # blocks that xfs counts in its free-space trees but keeps from files.
    [ "$kind" = xfs ] && pool=$(($(xfs_spaceman -c 'freesp -s' /mnt/q | awk '/total free blocks/ { print $4 }') -
                                 $(stat -f -c %f /mnt/q)))
    [ "$kind" = ext4 ] && pool=$(cat "$(pool_file)") && read -r reserve cluster < <(dumpe2fs -h "$image" 2>/dev/null |
        awk -F: '/^Reserved block count/ { r = $2 } /^Block size/ { b = c = $2 } /^Cluster size/ { c = $2 } END { printf "%.0f %d\n", r * b, c }')
    case $fs in
        ext4-open) open_reserve ;;
        *-user) chmod 1777 /mnt/q; as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
                [ "$fs" = ext4-nsroot-user ] && as+=(unshare -r unshare -r)
                [ "$fs" = ext4-acl-user ] && setfacl -d -m u:65534:rwx /mnt/q
                for n in $(seq 700); do : >"/mnt/q/a-name-that-grows-the-directory-$n"; done
                rm -f /mnt/q/a-name-that-grows-the-directory-* ;;
        btrfs-quota) btrfs -q quota enable /mnt/q && btrfs -q quota rescan -w /mnt/q && btrfs qgroup limit 32M 0/5 /mnt/q ;;
    esac
    limit=$([ "$fs" = zfs-dedup ] && echo 300 || echo 600)
    rm -f "$work/times"
    timeout "$limit" python3 "$here/pty_run.py" --times "$work/times" 'Continue?' $'y\r' "${as[@]}" "${run[@]}" q: \
        >"$work/out" 2>&1
    rc=$?
    seconds=$(awk '$1 == "exit" { printf "%.1f", $2 }' "$work/times" 2>/dev/null)
    marks=$(tr -cd '#' <"$work/out" | wc -c)
    # What the terminal showed, without control sequences or blanks, which
    # Wine draws as cursor movements.
    out=$(sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/out" | tr -d ' \r')
    left=$(find /mnt/q -maxdepth 1 \( -iname 'quorlane.tmp' -o -name '.fuse_hidden*' \))
    unmount_image "$fs"
    large_after=$(blocks "$image" "$large")
    small_after=$(blocks "$image" "$small")
    pieces_after=$(python3 "$evidence" pieces "$image" "$home")
    files_after=$(if [ -n "$real_size" ]; then echo "$pieces_after"; else restored "$image"; fi)
    # The preallocated file holds, unwritten, holes of deleted files no fill
    # reaches: only blocks outside it are held against what the run measured.
    if [ -n "$real_size" ] && mount -o loop,ro "$image" /mnt/q; then
        filefrag -v /mnt/q/preallocated | awk '$1 ~ /^[0-9]+:$/ { gsub(/\.\./, " "); print $4, $5 + 0 }' >"$work/extents"; umount /mnt/q
        while read -r first last; do fallocate -p -o $((first * 4096)) -l $(((last - first + 1) * 4096)) "$image"; done <"$work/extents"
    fi
    home_after=$(blocks "$image" "$home-GONE")
    listed=0
    [ "$kind" = xfs ] && listed=$(for group in $(seq 0 $(($(xfs_db -r -c 'sb 0' -c 'p agcount' "$image" | cut -d' ' -f3) - 1)))
                                  do xfs_db -r -c "agf $group" -c 'p flcount' "$image"; done | awk '{ n += $3 } END { print n }')
    rm -rf "$work/$fs"

    why="" measured="" kept=""
    if [ "$fs" = zfs-dedup ] && [ "$rc" = 124 ]; then
        seconds="stopped at $limit"
    else
        said=" ${says[$fs]:-} "
        measured=$([[ $said = *" measured "* ]] && echo 1)
        [[ -n $measured && $out = *"keepsfromeveryfilewerenot"* ]] && said+=" untrimmed "
        [ "$runner" = native ] || said=${said//untrimmed/} said=${said//pool/} measured=""
        short=$([[ $said = *" short "* ]] && echo 1)
        untrimmed=$([[ $said = *" untrimmed "* ]] && echo 1)
        pooled=$([[ $said = *" pool "* ]] && echo 1)
        # A fill short of root's reserve is made whole by a move that the
        # map shows wrote all of it.
        whole=$([[ -n $short && -n $measured && $out = *"Whatwaskeptfromthisuserwasmovedontothefillaswell"* ]] && echo 1)
        [ "$rc" = "$([ -n "$untrimmed$pooled" ] || [[ -n $short && -z $whole ]] && echo 2 || echo 0)" ] ||
            why+="exit status $rc: $(tail -3 <<<"$out")"$'\n'
        [[ -z $pooled || $out = *"ZFSkeepspartofthepoolfromeveryfile"* ]] || why+="the space ZFS keeps not reported"$'\n'
        [[ $out = *"Flushingfilebuffers"* ]] || why+="the fill did not finish"$'\n'
        [[ -z $short || $out = *"notalloverwritten:"*"byteswereleft"* ]] || why+="not reported as stopped short"$'\n'
        [[ -z $untrimmed || $out = *"keepsfromeveryfilewerenot"* ]] || why+="the space kept from files not reported"$'\n'
        [[ -n $untrimmed || $out != *"keepsfromeveryfilewerenot"* ]] || why+="the space kept from files reported untrimmed"$'\n'
        kept=$(grep -ao '[0-9]*bytesoffreespacethatthefilesystemkeepsfromeveryfilewere' <<<"$out" | tr -dc 0-9)
        [[ -z $measured || -z $kept || $out = *"asthefilesystem'smapofitsfreespaceshows"* ]] ||
            why+="the space kept from files reported unmeasured"$'\n'
        # What the move says it wrote over free blocks was free before it:
        # on ext4 root's reserve and the pool, and less than a chunk the
        # fill left, never its own freed blocks taken back.
        moved=$(grep -ao 'thefillwrote[0-9]*bytes' <<<"$out" | tr -dc 0-9)
        [[ $kind != ext4 || -z $moved ]] || [ "$moved" -le $((reserve + pool * cluster + (1 << 20))) ] ||
            why+="$moved bytes said moved, of $((reserve + pool * cluster)) kept"$'\n'
        unwritten=$(grep -ao '[0-9]*byteswereleft' <<<"$out" | tr -dc 0-9)
        if [ -n "$short" ] && [ "$kind" = ext4 ]; then
            [ "${unwritten:-0}" -ge $((reserve - 65536)) ] && [ "${unwritten:-0}" -le $((reserve + 65536)) ] ||
                why+="${unwritten:-no} bytes left, where root's reserve is $reserve"$'\n'
        fi
    fi
    if [[ $fs != btrfs-quota && $fs != zfs-dedup ]]; then
        [ "$marks" -ge 79 ] || why+="the bar ended at $marks of 80 marks"$'\n'
        [ "$marks" -le 80 ] || [ "$runner" = wine ] || why+="the bar ran on to $marks marks"$'\n'
    fi
    [ -z "$left" ] || why+="left on the drive: $left"$'\n'
    deleted=$(wc -l <"$work/deleted") survived=$((large_after + small_after + home_after))
    [[ $large_before -gt 0 || -n $real_size ]] && [ "$home_before" -gt 0 ] || why+="the deleted files could not be found even before the run"$'\n'
    # (On 1 KiB blocks photorec restores few whole files even before.)
    [ $((files_before * 2)) -ge "$deleted" ] || [ "$fs" = ext4-1k ] ||
        why+="photorec restored $files_before of the $deleted deleted files even before the run"$'\n'
    # Where the run measured what stays free and unwritten, no more blocks of
    # deleted files survive than it says (each of its blocks in one of the
    # image's), but on xfs those on free lists.
    if [ -n "$measured" ] && [ "$survived" -gt $((${kept:-0} / $([ "$fs" = ext4-1k ] && echo 1024 || echo 4096) + listed)) ]; then
        why+="$survived blocks of deleted files survived, where the run measured ${kept:-0} bytes unwritten"$'\n'
    fi
    # Where the free space is trimmed after the wipe, nothing of a deleted
    # file is left, but on xfs in the blocks on its groups' free lists.
    # Elsewhere a default drive keeps at most a tenth of the large file;
    # ext4 and xfs keep no more blocks than no file can have, with a margin
    # of a chunk (16 blocks); on btrfs, NTFS and exFAT
    # photorec restores at most half the files. (ZFS keeps whole files that
    # lay between kept ones in the space it holds back, over half of them in
    # some runs.)
    if [ "$runner" = native ] && [[ " ext4 xfs " = *" $fs "* ]]; then
        [ "$survived" -le "$listed" ] && [ "$files_after" -le "$listed" ] ||
            why+="$survived blocks of deleted files survived, and photorec restored $files_after files"$'\n'
    elif [[ " ${defaults[*]} " = *" $fs "* ]]; then
        [ $((large_after * 10)) -le "$large_before" ] || why+="$large_after of $large_before blocks of the large file survived"$'\n'
        [[ $kind != ext4 && $kind != xfs ]] || [ "$survived" -le $((pool + 16)) ] ||
            why+="$survived blocks with a marker survived, more than the $pool that no file can have and a chunk"$'\n'
        [[ $kind = ext4 || $kind = xfs || $kind = zfs ]] || [ $((files_after * 2)) -le "$files_before" ] ||
            why+="photorec restored $files_after of $files_before deleted files after the run"$'\n'
    fi
    # Before the delete, the fill takes the small free pieces where deleted
    # files lay: a few whole files stay, where dd's plain fill leaves
    # hundreds; on an ordinary user's ext3, none to three tenths of dd's in
    # runs alike, so at most a half there, where no move leaves all.
    share=$([ "$kind" = ext4 ] && echo 1/10 || { [ -n "$real_size" ] && echo 1/3; } ||
            { [ "$kind" = ext3 ] && echo 1/2; } || echo 1/4)
    [ -z "$dd_files" ] || [ $((files_after * ${share#*/})) -le $((dd_files * ${share%/*})) ] ||
        why+="$files_after deleted files found after the run, more than $share of the $dd_files after dd's fill"$'\n'
    [[ $fs != ext4-256g-* ]] || [ $((files_after * $([[ $fs = *-user ]] && echo 20 || echo 100))) -le "$deleted" ] ||
        why+="$files_after of $deleted deleted files kept a line"$'\n'
    # There an ordinary user's move writes the large free pieces too: under
    # 2% of root's reserve stays unwritten (none, where the run says so),
    # where the small requests leave a fifth to a half.
    [ "$fs" != ext4-256g-user ] || [ $((${kept:-0} * 50)) -le "$reserve" ] ||
        why+="${kept:-no} bytes said unwritten, of root's reserve of $reserve"$'\n'
    # On bigalloc the drive is one group, whose highest blocks the requests
    # reach last: freed first, they leave unwritten the rest of the clusters
    # of the file's map, a few hundred KiB, where freeing in the file's order
    # left half the pool or more.
    [ "$fs" != ext4-bigalloc-user ] || [ "${kept:-0}" -le $((2 << 20)) ] ||
        why+="${kept:-no} bytes said unwritten, more than 2 MiB"$'\n'
    # Natively, btrfs's metadata is filled before the delete: at most one in
    # twenty deleted files keeps a line anywhere, where a plain fill, or a
    # trim alone, leaves small files whole in it.
    [ "$kind" != btrfs ] || [ "$runner" != native ] || [ $((pieces_after * 20)) -le "$pieces_before" ] ||
        why+="$pieces_after of $pieces_before deleted files kept a line somewhere in the image"$'\n'
    if [ "$fs" = ext4-open ] && [ "$survived" -gt 2 ]; then
        why+="$survived blocks with a marker survived on ext4-open"$'\n'
    fi
    report "$fs ($runner): large file $large_before -> $large_after blocks, small files $small_before -> $small_after, home $home_before -> $home_after (with a line anywhere: $pieces_before -> $pieces_after), files restored $files_before of $deleted -> $files_after${dd_files:+ (dd: $dd_files)}, $marks marks, $seconds s" "$why"
    rows+=("| $fs | $runner | $large_before | $large_after | $small_before | $small_after | $home_before | $home_after | $pieces_before / $pieces_after | $files_before / $files_after of $deleted${dd_files:+ (dd: $dd_files)} | $marks | $seconds | ${where[$fs.$runner]:-${where[$fs]}} |")
done
stop_zfs

echo
echo "| file system | build | large file: blocks before | after | small files: blocks before | after | deleted documents, photos, videos: blocks before | after | of them, with a line left anywhere: before / after | deleted files a recovery tool restores: before / after | bar | run, s | where survivors live |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
printf '%s\n' "${rows[@]}"
echo
finish_report
