#!/usr/bin/env bash
# A device that fails in the middle of a fill: the run ends by itself, says
# that the wipe did not reach the disk, exits with status 2, and loses none
# of the user's files.
#
#   faults.sh native|wine PROGRAM
#
# Each case makes a file-system image with some files of the user's on it,
# serves it with nbdkit, through nbdfuse and a loop device (see attach_chain),
# and mounts that as drive q:. It runs the program on q:, answering y, and
# once half the free space is taken, makes the device fail. Afterwards it
# attaches the image again with no server in between and compares the user's
# files. Natively the temporary file must be gone too; under Wine, which
# deletes on close by name, it stays on a file system turned read-only, and
# its name is recorded.
set -u

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
[ $# = 2 ] || { echo "usage: $0 native|wine PROGRAM"; exit 2; }
for tool in nbdkit nbdfuse fusermount3 losetup mkfs.ext4 mkfs.xfs; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -c /dev/fuse ] || skip "this machine has no /dev/fuse"
enter_private_mounts "$@"
prepare_runner "$@"
losetup -f >/dev/null 2>&1 || skip "this machine has no free loop device"
mkdir /mnt/q

report_text=$'Flushing file buffers...\nCould not write all the data to the drive; its free space may not have been overwritten. Check the drive (the system\'s log says why), then run it again.'
files() { (cd "$1" && find . -name 'user-*' -type f -exec sha256sum {} + | sort); }

# Fault: EIO or ENOSPC (every write the server is sent fails from then on),
# or killed (the server is killed). Runners: where the case runs.
#   name | file system | fault | runners
while IFS='|' read -r name fs fault runners; do
    [ -z "$name" ] && continue
    for field in name fs fault runners; do printf -v "$field" '%s' "$(trim "${!field}")"; done
    [[ " $runners " = *" $runner "* ]] || continue
    image=$work/$fs.img
    rm -f "$image" "$work/fail"
    truncate -s 320M "$image"
    "mkfs.$fs" -q "$([ "$fs" = xfs ] && echo -f || echo -F)" "$image" >/dev/null
    why=""
    if ! attach_chain --filter=error file "$image" error-pwrite="${fault/killed/EIO}" \
             error-pwrite-rate=100% error-pwrite-file="$work/fail" ||
       ! mount "$chain_device" /mnt/q; then
        detach_chain
        report "$name" "could not attach and mount the image: $(tail -3 "$work/chain.log")"
        continue
    fi
    head -c 3M /dev/urandom >/mnt/q/user-photo.jpg
    printf '%s\n' "a note of the user's" >/mnt/q/user-note.txt
    sync
    before=$(files /mnt/q)
    total=$(stat -f -c %a /mnt/q)

    printf 'y\n' >"$work/input"
    timeout 300 "${run[@]}" q: <"$work/input" >"$work/out" 2>"$work/err" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null && [ "$(stat -f -c %a /mnt/q)" -gt $((total / 2)) ]; do sleep 0.01; done
    if [ "$fault" = killed ]; then kill -KILL "$nbdkit_pid"; else touch "$work/fail"; fi
    { wait "$pid"; } 2>/dev/null
    rc=$?
    left=$(cd /mnt/q && ls -A | grep -iv -e '^user-' -e '^lost+found$')
    detach_chain

    out=$(tr -d '\r' <"$work/out")
    [ "$rc" != 124 ] || why+="did not end by itself within 300 seconds"$'\n'
    [ "$rc" = 124 ] || [ "$rc" = 2 ] || why+="exit status $rc, expected 2"$'\n'
    # Natively the failure also stops the fill short, which the run reports
    # too; under Wine the cache takes the whole fill and only the flush fails.
    # The last line says that deleted data may remain.
    [[ $out = *"$report_text"$'\n'* && $out = *"; deleted data may remain, where the lines above say." ]] ||
        why+="did not report the failure; it ended: $(tail -2 <<<"$out")"$'\n'
    chain_device=$(losetup -f --show "$image") && mount "$chain_device" /mnt/q ||
        why+="the image could not be mounted again"$'\n'
    after=$(files /mnt/q)
    [ "$after" = "$before" ] || why+="the user's files changed:"$'\n'"$(diff <(echo "$before") <(echo "$after"))"$'\n'
    if [ "$runner" = native ]; then
        [ -z "$left" ] || why+="left on the drive: $left"$'\n'
    else
        name+=", left on the drive: $(echo ${left:-nothing})"
    fi
    umount /mnt/q
    losetup -d "$chain_device"
    chain_device=""
    report "$name ($runner)" "$why"
done <<'CASES'
writes fail (EIO) on ext4     | ext4 | EIO    | native wine
writes fail (EIO) on xfs      | xfs  | EIO    | native
device answers ENOSPC on ext4 | ext4 | ENOSPC | native
server killed on ext4         | ext4 | killed | native
CASES

# The bar follows the disk: on a device that takes 30 MB/s, by the time half
# the bar is drawn at least a quarter of the free space has reached it, as the
# server's log of the writes it was sent shows. A count of bytes, not a
# timing, which a loaded machine cannot upset. Native only: under Wine the
# writes go through Wine's own file services.
if [ "$runner" = native ]; then
    image=$work/slow.img sent=0 free=0 why=""
    rm -f "$image" && truncate -s 256M "$image" && mkfs.ext4 -q -F -m 0 "$image"
    if attach_chain --filter=rate --filter=log file "$image" rate=240M logfile="$work/server.log" &&
       mount "$chain_device" /mnt/q; then
        free=$(($(stat -f -c '%a * %S' /mnt/q)))
        timeout 300 python3 "$here/pty_run.py" --at-mark 40 "cp '$work/server.log' '$work/at-mark-40'" \
            'Continue?' $'y\r' "${run[@]}" q: >"$work/out" 2>&1 || why+="exit status $?"$'\n'
        for count in $(sed -n 's/.* Write id=.* count=\(0x[0-9a-f]*\).*/\1/p' "$work/at-mark-40" 2>/dev/null); do
            sent=$((sent + count))
        done
        [ $((sent * 4)) -ge "$free" ] ||
            why+="when mark 40 was drawn, the device had been sent $sent bytes of $free free"$'\n'
    else
        why+="could not attach and mount the image: $(tail -3 "$work/chain.log")"$'\n'
    fi
    detach_chain
    report "slow device: the bar is not ahead of the disk ($((sent >> 20)) MiB of $((free >> 20)) sent at mark 40)" "$why"
fi

finish_report
