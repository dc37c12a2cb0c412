#!/usr/bin/env bash
# Benchmarks Quorlane in one run, as anyone can rerun it (root, Debian), on
# drives as mkfs makes them:
#   1. whole runs (fill, flush, delete, and where the drive discards, trim) on
#      a 1.5 GiB tmpfs and a 1 GiB ext4 image on a loop device, which discards
#      as an SSD does, against dd's zero fill of the same drive, followed on
#      ext4 by fstrim (the same job), with dd from /dev/urandom, sfill (one
#      random pass) and scrub (random pattern) beside them, as their users run
#      them, all interleaved round by round, in a new order each round (the
#      order alone moves the times on a shared machine), with the user CPU
#      time and the peak memory of each;
#   2. the trim's share of a run, on 1 GiB of ext4 and of xfs laid out as a
#      used drive (thousands of small files between larger ones, two in five
#      deleted, so that the free space lies in hundreds of pieces in every
#      group): fstrim's in dd's zero fill and fstrim, and Quorlane's syncfs
#      and FITRIM (on xfs one a group), timed with strace, in turn;
#   3. a slow device: 512 MiB at 30 MB/s (nbdkit's rate filter, with its
#      default burst of two seconds, through nbdfuse and a loop device, which
#      discards), with ext4 and with xfs: when Quorlane's bar is half drawn
#      (mark 40) as a share of its run, the time from its last mark to its
#      exit, and its run against dd's zero fill and fstrim of the same device;
#   4. the same slow device as a hard disk (its loop device, /dev/loop241, of
#      its own, with discards off), laid out as a used drive as in 2: the
#      time Quorlane spends moving the free space the file system keeps onto
#      the fill, against the time of its fill;
#   5. a used 256 GiB drive as a hard disk (a sparse image, mostly
#      preallocated, on /dev/loop242), ext4 and xfs as root and ext4 as an
#      ordinary user: Quorlane against dd's zero fill, the move's share of
#      the fill, and the move's calls per GiB it moved. It needs about 20
#      GiB free where TMPDIR is.
# Prints markdown tables. Speeds are ratios to the reference measured in the
# same round: 1.00 is as fast as writing zeros, higher is faster.
#
#   bench/run.sh [ROUNDS]      (default 5)
set -eu
cd "$(dirname "$0")/.."
rounds=${1:-5}

if [ -z "${QUORLANE_BENCH_NAMESPACE:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "The benchmark mounts its drives, which needs root."; exit 1; }
    need=()
    for package in cmake make g++ python3 e2fsprogs xfsprogs nbdkit libnbd-bin fuse3 secure-delete scrub time bc strace; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || need+=("$package")
    done
    if [ ${#need[@]} -gt 0 ]; then
        apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
    fi
    cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/native -j "$(nproc)" --target quorlane >/dev/null
    QUORLANE_BENCH_NAMESPACE=1 exec unshare -m --propagation private "$0" "$@"
fi

source tests/e2e/lib.sh  # for attach_chain and detach_chain
quorlane=$PWD/build/native/quorlane
work=$(mktemp -d)
trap 'detach_chain || true; rm -rf "$work"' EXIT
mount -t tmpfs -o size=1m,mode=0755 quorlane-bench /mnt
mkdir /mnt/q

echo "Measured on $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //') ($(nproc) cores, $(free -g | awk '/Mem:/ { print $2 }') GiB, $(uname -sr));"
echo "the fast drives are a tmpfs and an ext4 image file on the machine's disk, mounted through a"
echo "loop device; the slow device is described below."
echo

# Each contender fills all free space of /mnt/q and leaves it empty again.
# dd's zero fill is followed, where the drive discards, by a trim of the free
# space, once the file system has freed the file's blocks; the trim's time
# goes to $work/trims.
fill_quorlane() { printf 'y\n' | "$quorlane" q: >/dev/null; }
fill_dd_zero() {
    dd if=/dev/zero of=/mnt/q/fill bs=64K conv=fsync status=none 2>/dev/null; rm -f /mnt/q/fill
    local start=$EPOCHREALTIME
    if sync -f /mnt/q && fstrim /mnt/q 2>/dev/null; then echo "$EPOCHREALTIME - $start" | bc -l >>"$work/trims"; fi
}
fill_dd_urandom() { dd if=/dev/urandom of=/mnt/q/fill bs=64K conv=fsync status=none 2>/dev/null; rm -f /mnt/q/fill; }
fill_sfill() { sfill -l -l -I /mnt/q >/dev/null 2>&1; }
fill_scrub() { scrub -S -p random -X /mnt/q/scrub >/dev/null 2>&1; rm -rf /mnt/q/scrub; }
contenders=(dd_zero quorlane dd_urandom sfill scrub)
declare -A label=([dd_zero]="dd from /dev/zero (then fstrim, on ext4)" [quorlane]="Quorlane" [dd_urandom]="dd from /dev/urandom"
                  [sfill]="sfill -l -l (one random pass)" [scrub]="scrub -p random -X")

mount_drive() {  # $1: tmpfs or ext4
    umount -q /mnt/q 2>/dev/null || true
    if [ "$1" = tmpfs ]; then
        mount -t tmpfs -o size=1536m quorlane-bench-q /mnt/q
    else
        mount -o loop "$work/ext4.img" /mnt/q
    fi
}

truncate -s 1G "$work/ext4.img"
mkfs.ext4 -q -F "$work/ext4.img"

declare -A seconds user peak
for drive in tmpfs ext4; do
    for contender in "${contenders[@]}"; do seconds[$drive.$contender]="" user[$drive.$contender]=""; done
    for round in $(seq "$rounds"); do
        for contender in $(shuf -e "${contenders[@]}"); do  # in a new order each round
            mount_drive "$drive"
            sync
            start=$EPOCHREALTIME
            /usr/bin/time -f '%M %U' -o "$work/usage" \
                bash -c "$(declare -f "fill_$contender"); quorlane=$quorlane work=$work; fill_$contender"
            end=$EPOCHREALTIME
            seconds[$drive.$contender]+="$(echo "$end - $start" | bc -l) "
            read -r peak[$contender] cpu < <(tail -1 "$work/usage")  # after any "exited with" line
            user[$drive.$contender]+="$cpu "
        done
    done
    umount /mnt/q
done

# Makes image $2 of size $3 with file system $1 (ext4 or xfs); with $4 set
# to "used", laid out as a used drive: a home directory over two fifths of
# its space, two in five of its files deleted between kept ones.
make_image() {
    truncate -s "$3" "$2"
    if [ "$1" = ext4 ]; then mkfs.ext4 -q -F "$2"; else mkfs.xfs -q -f "$2"; fi
    [ "${4:-}" = used ] || return 0
    mount -o loop "$2" /mnt/q && mkdir /mnt/q/home
    mapfile -t gone < <(python3 bench/evidence.py home /mnt/q/home $(($(stat -f -c '%a * %S' /mnt/q) * 2 / 5)) \
                        BENCH "$work/digests")
    sync && rm -f "${gone[@]}" && umount /mnt/q  # the deleted files reached the disk first
}

# The trim on used drives: dd's zero fill and fstrim, and Quorlane, whom
# strace stops at its syncfs and FITRIM alone to time them, in turn.
declare -A trims runs
for fs in ext4 xfs; do
    make_image "$fs" "$work/used.img" 1G used
    rm -f "$work/trims"
    for round in $(seq "$rounds"); do
        for contender in $(shuf -e dd_zero quorlane); do
            mount -o loop "$work/used.img" /mnt/q
            sync
            start=$EPOCHREALTIME
            if [ "$contender" = dd_zero ]; then
                fill_dd_zero || true  # dd ends at the full drive with an error
                runs[$fs.dd]+="$(echo "$EPOCHREALTIME - $start" | bc -l) "
            else
                printf 'y\n' | strace -f --seccomp-bpf -T -e trace=syncfs,ioctl -o "$work/strace" "$quorlane" q: >/dev/null
                runs[$fs.quorlane]+="$(echo "$EPOCHREALTIME - $start" | bc -l) "
                trims[$fs.quorlane]+="$(awk -F'<' '/syncfs|FITRIM/ { t += $NF } END { print t + 0 }' "$work/strace") "
            fi
            umount /mnt/q
        done
    done
    trims[$fs.dd]=$(cat "$work/trims")
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "### Whole run against dd's zero fill, median of $rounds interleaved rounds"
echo
echo "| contender | tmpfs 1.5 GiB: seconds | user CPU | speed vs dd zeros | ext4 1 GiB: seconds | user CPU | speed vs dd zeros and fstrim | peak memory |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for contender in "${contenders[@]}"; do
    row="| ${label[$contender]}"
    for drive in tmpfs ext4; do
        mine=$(echo "${seconds[$drive.$contender]}" | median)
        zero=$(echo "${seconds[$drive.dd_zero]}" | median)
        cpu=$(echo "${user[$drive.$contender]}" | median)
        row+=" | $(printf '%.3f | %.2f s | %.2fx' "$mine" "$cpu" "$(echo "$zero / $mine" | bc -l)")"
    done
    echo "$row | $((peak[$contender] / 1024)) MiB |"
done
echo
echo "### The trim on a used drive of 1 GiB, median of $rounds interleaved rounds"
echo
echo "| file system | fstrim: seconds | of dd and fstrim's run | Quorlane's syncfs and FITRIM: seconds | of its run |"
echo "|---|---:|---:|---:|---:|"
for fs in ext4 xfs; do
    dd_trim=$(echo "${trims[$fs.dd]}" | median) dd_run=$(echo "${runs[$fs.dd]}" | median)
    q_trim=$(echo "${trims[$fs.quorlane]}" | median) q_run=$(echo "${runs[$fs.quorlane]}" | median)
    printf '| %s | %.3f | %.0f%% | %.3f | %.0f%% |\n' "$fs" "$dd_trim" "$(echo "100 * $dd_trim / $dd_run" | bc -l)" \
        "$q_trim" "$(echo "100 * $q_trim / $q_run" | bc -l)"
done
echo

# The slow device, for each file system: dd's zero fill and Quorlane in
# turn, Quorlane on a pseudo-terminal so that its bar is drawn and timed.
echo "### A slow device: 512 MiB at 30 MB/s, median of $rounds interleaved rounds"
echo
echo "| file system | dd zeros and fstrim: seconds | Quorlane: seconds | speed vs dd and fstrim | mark 40 at | last mark to exit |"
echo "|---|---:|---:|---:|---:|---:|"
for fs in ext4 xfs; do
    make_image "$fs" "$work/slow.img" 512M
    attach_chain --filter=rate file "$work/slow.img" rate=240M
    dd_times="" q_times="" shares="" tails=""
    for round in $(seq "$rounds"); do
        for contender in dd_zero quorlane; do
            mount "$chain_device" /mnt/q
            sync
            if [ "$contender" = dd_zero ]; then
                start=$EPOCHREALTIME
                fill_dd_zero || true  # dd ends at the full drive with an error
                dd_times+="$(echo "$EPOCHREALTIME - $start" | bc -l) "
            else
                python3 tests/e2e/pty_run.py --times "$work/times" 'Continue?' $'y\r' "$quorlane" q: >/dev/null
                read -r share tail run < <(awk '$1 == "mark" { m[++n] = $2 } $1 == "exit" { e = $2 }
                    END { printf "%.4f %.4f %.4f\n", m[40] / e, e - m[n], e }' "$work/times")
                q_times+="$run " shares+="$share " tails+="$tail "
            fi
            umount /mnt/q
        done
    done
    detach_chain || true
    zero=$(echo "$dd_times" | median) mine=$(echo "$q_times" | median)
    printf '| %s | %.3f | %.3f | %.2fx | %.0f%% | %.2f s |\n' "$fs" "$zero" "$mine" "$(echo "$zero / $mine" | bc -l)" \
        "$(echo "$(echo "$shares" | median) * 100" | bc -l)" "$(echo "$tails" | median)"
done

# The slow device as a hard disk: Quorlane on a pseudo-terminal, the move
# timed from its announcement to the next line, the fill (with its flush)
# from the answer to that announcement.
echo
echo "### The move before the delete, on the slow device as a hard disk, laid out as used, median of $rounds rounds"
echo
echo "| file system | fill: seconds | move: seconds | move per fill |"
echo "|---|---:|---:|---:|"
for fs in ext4 xfs; do
    make_image "$fs" "$work/slow.img" 512M used
    chain_loop=/dev/loop241 attach_chain --filter=rate file "$work/slow.img" rate=240M
    echo 0 >/sys/block/loop241/queue/discard_max_bytes
    fills="" moves=""
    for round in $(seq "$rounds"); do
        mount "$chain_device" /mnt/q
        sync
        # Status 2: what the file system keeps stays untrimmed on a hard disk.
        python3 tests/e2e/pty_run.py --times "$work/times" 'Continue?' $'y\r' "$quorlane" q: >/dev/null || true
        read -r fill move < <(awk '$1 == "line" && p { m = $2 - s; p = 0 } $1 == "line" && $3 == "Moving" { s = $2; p = 1 }
            END { printf "%.4f %.4f\n", s, m }' "$work/times")
        fills+="$fill " moves+="$move "
        umount /mnt/q
    done
    detach_chain || true
    fill=$(echo "$fills" | median) move=$(echo "$moves" | median)
    printf '| %s | %.3f | %.3f | %.0f%% |\n' "$fs" "$fill" "$move" "$(echo "100 * $move / $fill" | bc -l)"
done

# A used drive of real size as a hard disk: a 256 GiB sparse image on a
# loop device of its own (/dev/loop242, discards off), made with mkfs's
# defaults, 800 MiB of a home directory's files written and two in five
# deleted, then a preallocated file (no data written) over all but 16 GiB
# of what an ordinary user may have, so that the host writes little. On a
# copy of it each time: dd's zero fill and Quorlane, as root on ext4 and
# xfs and as an ordinary user on ext4, in a new order each round; the move
# timed as above, and its calls (fallocate, pwrite64, ioctl) counted by
# strace in a round of its own, per GiB of the kept space the run moved.
echo
echo "### A used 256 GiB drive as a hard disk, median of $rounds rounds"
echo
echo "| drive | dd: seconds | Quorlane: seconds | speed vs dd zeros | move: seconds | move per fill | move's calls per GiB moved |"
echo "|---|---:|---:|---:|---:|---:|---:|"
[ -e /dev/loop242 ] || mknod /dev/loop242 b 7 242
# The ordinary user runs a copy of the program that any user may reach.
chmod 0755 "$work" && mkdir -m 0755 "$work/bin" && cp "$quorlane" "$work/bin/"
for drive in ext4:root xfs:root ext4:user; do
    fs=${drive%:*} who=${drive#*:}
    as=()
    [ "$who" = user ] && as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    truncate -s 256G "$work/large.img"
    if [ "$fs" = ext4 ]; then mkfs.ext4 -q -F "$work/large.img"; else mkfs.xfs -q -f "$work/large.img"; fi
    mount -o loop "$work/large.img" /mnt/q && mkdir /mnt/q/home
    mapfile -t gone < <(python3 bench/evidence.py home /mnt/q/home $((800 << 20)) BENCH "$work/digests")
    sync && rm -f "${gone[@]}" && sync
    fallocate -l $(($(stat -f -c '%a * %S' /mnt/q) - (16 << 30))) /mnt/q/preallocated
    chmod 1777 /mnt/q && umount /mnt/q
    dds="" runs="" moves="" shares="" calls=""
    for round in $(seq "$rounds") count; do
        for contender in $(if [ "$round" = count ]; then echo quorlane; else shuf -e dd quorlane; fi); do
            cp --sparse=always "$work/large.img" "$work/copy.img"
            losetup /dev/loop242 "$work/copy.img" && echo 0 >/sys/block/loop242/queue/discard_max_bytes
            mount /dev/loop242 /mnt/q && sync
            start=$EPOCHREALTIME
            if [ "$contender" = dd ]; then
                "${as[@]}" dd if=/dev/zero of=/mnt/q/zero bs=64K conv=fsync status=none 2>/dev/null || true
                rm -f /mnt/q/zero && sync
                dds+="$(echo "$EPOCHREALTIME - $start" | bc -l) "
            elif [ "$round" = count ]; then
                printf 'y\n' | strace -f -c -e trace=fallocate,pwrite64,ioctl -o "$work/calls" "${as[@]}" \
                    "$work/bin/quorlane" q: >"$work/out" || true
                moved=$(grep -o 'the fill wrote [0-9]*' "$work/out" | tr -dc 0-9)
                made=$(awk '$NF ~ /^(fallocate|pwrite64|ioctl)$/ { n += $4 } END { print n + 0 }' "$work/calls")
                calls=$(echo "$made * 1073741824 / ${moved:-1}" | bc)
            else
                python3 tests/e2e/pty_run.py --times "$work/times" 'Continue?' $'y\r' "${as[@]}" "$work/bin/quorlane" q: \
                    >/dev/null || true
                runs+="$(echo "$EPOCHREALTIME - $start" | bc -l) "
                read -r fill move < <(awk '$1 == "line" && p { m = $2 - s; p = 0 } $1 == "line" && $3 == "Moving" { s = $2; p = 1 }
                    END { printf "%.4f %.4f\n", s, m }' "$work/times")
                moves+="$move " shares+="$(echo "100 * $move / $fill" | bc -l) "
            fi
            umount /mnt/q && losetup -d /dev/loop242 && rm -f "$work/copy.img"
        done
    done
    rm -f "$work/large.img"
    zero=$(echo "$dds" | median) mine=$(echo "$runs" | median)
    printf '| %s, %s | %.1f | %.1f | %.2fx | %.1f | %.0f%% | %s |\n' "$fs" "$who" "$zero" "$mine" \
        "$(echo "$zero / $mine" | bc -l)" "$(echo "$moves" | median)" "$(echo "$shares" | median)" "$calls"
done
