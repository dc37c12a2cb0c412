#!/usr/bin/env bash
# A run stopped in the middle of its fill leaves no file behind and gives all
# the space back, whatever signal stops it.
#
#   interrupt.sh native|wine PROGRAM
#
# Each case starts a fill of a 2 GiB tmpfs drive q:, waits until a tenth of
# it is taken, sends the signal, and checks that the program has ended and
# that the drive is empty and wholly free again.
set -u

here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
[ $# = 2 ] || { echo "usage: $0 native|wine PROGRAM"; exit 2; }
enter_private_mounts "$@"
prepare_runner "$@"
mkdir /mnt/q

free_blocks() { stat -f -c %f /mnt/q; }

for signal in KILL TERM INT; do
    umount -q /mnt/q 2>/dev/null
    mount -t tmpfs -o size=2g quorlane-q /mnt/q
    total=$(free_blocks)
    printf 'y\n' >"$work/input"
    # A shell starts background commands with SIGINT ignored; undo that.
    env --default-signal=INT "${run[@]}" q: <"$work/input" >"$work/out" 2>&1 &
    pid=$!
    why=""
    for _ in $(seq 1000); do  # up to ten seconds
        [ "$(free_blocks)" -lt $((total * 9 / 10)) ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    if ! kill -0 "$pid" 2>/dev/null; then
        why+="the program ended before the signal"$'\n'
    elif [ "$(free_blocks)" -ge $((total * 9 / 10)) ]; then
        why+="the fill never got going"$'\n'
    fi
    kill -s "$signal" "$pid" 2>/dev/null
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
        why+="still running 30 seconds after SIG$signal"$'\n'
        kill -s KILL "$pid"
    fi
    wait "$pid" 2>/dev/null
    # Under Wine the server closes the dead process's handles a moment later.
    for _ in $(seq 50); do
        [ -z "$(ls -A /mnt/q)" ] && [ "$(free_blocks)" = "$total" ] && break
        sleep 0.1
    done
    listing=$(cd /mnt/q && ls -A)
    [ -z "$listing" ] || why+="left on the drive: $listing"$'\n'
    [ "$(free_blocks)" = "$total" ] || why+="$(free_blocks) of $total blocks free afterwards"$'\n'
    report "SIG$signal in the middle of the fill ($runner)" "$why"
done

finish_report
