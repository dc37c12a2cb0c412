# Shared by the end-to-end scripts; sourced, not run.
#
# Sets: runner (native, wine, or qemu for another processor's program, with
# the emulator's command line in QUORLANE_EMULATOR), program (absolute path),
# run (the command line that starts the program), work (a scratch directory,
# removed at exit).

skip() {
    echo "SKIPPED: $*"
    if [ "${CI:-}" = true ]; then echo "(a skip fails in CI)"; exit 1; fi
    exit 77
}

# Re-runs the calling script, with the same arguments, alone in a private
# mount namespace, and there puts a private tmpfs over /mnt, so that drives
# mounted at /mnt/X are seen by nothing outside and vanish with the script.
# Needs root; skips where the machine does not allow it.
enter_private_mounts() {
    if [ -z "${QUORLANE_E2E_NAMESPACE:-}" ]; then
        [ "$(id -u)" = 0 ] || skip "mounting test drives needs root"
        unshare -m --propagation private true 2>/dev/null || skip "this machine refuses private mount namespaces"
        QUORLANE_E2E_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
    fi
    mount -t tmpfs -o size=1m,mode=0755 quorlane-mnt /mnt || skip "cannot mount a tmpfs on /mnt"
    work=$(mktemp -d)
    trap 'finish' EXIT
}

finish() {
    [ "${runner:-}" = wine ] && wineserver -k 2>/dev/null
    [ -n "${nbdkit_pid:-}${chain_device:-}" ] && detach_chain
    umount -q /mnt/q 2>/dev/null
    rm -rf "$work"
}

# Prepares "$run" for the runner. The program is run from a copy in a
# directory every user may enter, since the cases run as another user too,
# and the build's own may lie under one only its owner may (root's home).
# Under Wine: a throwaway prefix with only
# drives c: and q: (q: being /mnt/q), and one wineserver for the whole script,
# started here in the namespace, since a server outside would not see the mounts.
prepare_runner() {
    runner=$1
    mkdir -m 0755 "$work/bin" && chmod 0755 "$work" && cp "$2" "$work/bin/" || { echo "FAIL: cannot copy $2"; exit 1; }
    program=$work/bin/$(basename "$2")
    run=("$program")
    if [ "$runner" = qemu ]; then
        read -ra run <<<"${QUORLANE_EMULATOR:-qemu-aarch64}"
        command -v "${run[0]}" >/dev/null || skip "${run[0]} is not installed"
        run+=("$program")
    fi
    [ "$runner" = wine ] || return 0
    command -v wine >/dev/null || skip "wine is not installed"
    # Wine makes its server's directory under TMPDIR; keep it in $work.
    export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TMPDIR=$work/tmp
    mkdir -p "$TMPDIR"
    wineboot -i >/dev/null 2>&1 || { echo "FAIL: could not create a Wine prefix"; exit 1; }
    wineserver -w
    find "$WINEPREFIX/dosdevices" -mindepth 1 -maxdepth 1 ! -name 'c:' -exec rm -f {} +
    ln -s /mnt/q "$WINEPREFIX/dosdevices/q:"
    wineserver -p
    run=(wine "$program")
}

trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }

passed=0 failed=0
report() {  # $1: case name; $2: empty if it passed, else why not
    if [ -z "$2" ]; then passed=$((passed + 1)); echo "ok    $1"
    else failed=$((failed + 1)); printf 'FAIL  %s\n%s\n' "$1" "$2" | sed '3,$s/^/      /'; fi
}

finish_report() {
    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ]
}

# Waits up to ten seconds for a command to succeed.
wait_for() {
    local _
    for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done
    return 1
}

# A real block device with a server behind it: nbdkit, given the plugin and
# filter arguments, serves on a Unix socket; nbdfuse shows the export as a
# file; losetup attaches that file as a loop device (the first free one, or
# $chain_loop where that is set), named in $chain_device,
# with direct I/O so that the loop keeps no cache of its own, as a disk has none.
# Both daemons are started here, in the caller's namespace, and ended by their
# PIDs in detach_chain. Their messages go to $work/chain.log.
attach_chain() {
    mkdir -p "$work/chain"
    nbdkit -f -U "$work/chain.sock" "$@" 2>>"$work/chain.log" &
    nbdkit_pid=$!
    wait_for test -S "$work/chain.sock" || return 1
    nbdfuse "$work/chain/disk" --unix "$work/chain.sock" 2>>"$work/chain.log" &
    nbdfuse_pid=$!
    wait_for test -f "$work/chain/disk" || return 1
    if [ -n "${chain_loop:-}" ]; then  # a loop device of the caller's own, for queue settings of its own
        losetup --direct-io=on "$chain_loop" "$work/chain/disk" && chain_device=$chain_loop
    else
        chain_device=$(losetup -f --show --direct-io=on "$work/chain/disk")
    fi
}

# Unmounts drive q: and takes the chain down, whatever state it is in.
detach_chain() {
    umount -q /mnt/q 2>/dev/null || umount -l /mnt/q 2>/dev/null
    [ -n "${chain_device:-}" ] && losetup -d "$chain_device" 2>/dev/null
    fusermount3 -u "$work/chain" 2>/dev/null
    kill "${nbdfuse_pid:-}" "${nbdkit_pid:-}" 2>/dev/null
    wait "${nbdfuse_pid:-}" "${nbdkit_pid:-}" 2>/dev/null
    chain_device="" nbdfuse_pid="" nbdkit_pid=""
    rm -f "$work/chain.sock"
}
