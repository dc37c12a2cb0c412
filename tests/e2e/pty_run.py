#!/usr/bin/env python3
"""Runs a command on a pseudo-terminal and prints everything it wrote there.

Usage: pty_run.py PROMPT INPUT COMMAND [ARG...]

INPUT is typed shortly after PROMPT has appeared on the terminal (terminal
control sequences aside: Wine draws its console with cursor movements between
the characters). Wine's console drops what is typed before it starts reading,
hence the pause, and the input is typed again if nothing more appears for a
few seconds. Exits with the command's status.
"""
import os
import pty
import re
import select
import sys
import time

CONTROL_SEQUENCE = re.compile(rb"\x1b(\[[0-?]*[ -/]*[@-~]|\][^\x07]*\x07|[@-Z\\-_])")


def main():
    prompt, typed = sys.argv[1].encode(), sys.argv[2].encode()
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(sys.argv[3], sys.argv[3:])
    seen = bytearray()
    typed_at = None  # when INPUT was last typed
    answered = 0     # how much had appeared by then
    status = None
    while True:
        ready, _, _ = select.select([fd], [], [], 0.2)
        data = b""
        if ready:
            try:
                data = os.read(fd, 65536)
            except OSError:  # the terminal hangs up once the command has ended
                data = b""
            seen += data
        unanswered = typed_at is None or (len(seen) == answered and time.time() - typed_at > 5)
        if status is None and unanswered and prompt in CONTROL_SEQUENCE.sub(b"", bytes(seen)):
            time.sleep(1)
            os.write(fd, typed)
            typed_at, answered = time.time(), len(seen)
        if status is None:
            done, code = os.waitpid(pid, os.WNOHANG)
            if done:
                status = code
        if status is not None and not data:  # ended, and nothing more to read
            break
    sys.stdout.buffer.write(seen)
    sys.exit(os.waitstatus_to_exitcode(status))


main()
