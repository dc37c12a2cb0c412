#!/usr/bin/env python3
"""Runs a command on a pseudo-terminal and prints everything it wrote there.

Usage: pty_run.py [--at-mark N SHELL-COMMAND] [--times FILE] PROMPT INPUT COMMAND [ARG...]

INPUT is typed shortly after PROMPT has appeared on the terminal (terminal
control sequences aside: Wine draws its console with cursor movements between
the characters). Wine's console drops what is typed before it starts reading,
hence the pause, and the input is typed again if nothing more appears for a
few seconds. With --at-mark, SHELL-COMMAND runs once the Nth progress mark
has appeared, with the command's PID in PTY_RUN_CHILD; with --times, FILE gets the time of every mark, of every line
ended and of the end ("mark SECONDS", "line SECONDS TEXT", "exit SECONDS"),
counted from when INPUT was first typed.
Exits with the command's status.
"""
import os
import pty
import re
import select
import subprocess
import sys
import time

CONTROL_SEQUENCE = re.compile(rb"\x1b(\[[0-?]*[ -/]*[@-~]|\][^\x07]*\x07|[@-Z\\-_])")


def main():
    args = sys.argv[1:]
    at_mark = hook = times_file = None
    while args[0] in ("--at-mark", "--times"):
        if args[0] == "--at-mark":
            at_mark, hook, args = int(args[1]), args[2], args[3:]
        else:
            times_file, args = args[1], args[2:]
    times = []  # when each mark appeared
    lines = []  # when each line ended, and its text
    pending = b""  # the line being written
    prompt, typed = args[0].encode(), args[1].encode()
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp(args[2], args[2:])
    seen = bytearray()
    typed_at = None  # when INPUT was last typed
    answered = 0     # how much had appeared by then
    status = None
    first_typed = None
    while True:
        ready, _, _ = select.select([fd], [], [], 0.2)
        data = b""
        if ready:
            try:
                data = os.read(fd, 65536)
            except OSError:  # the terminal hangs up once the command has ended
                data = b""
            seen += data
            if first_typed is not None:
                now = time.monotonic() - first_typed
                times += [now] * data.count(b"#")
                *ended, pending = (pending + data).split(b"\n")
                lines += [(now, CONTROL_SEQUENCE.sub(b"", line).strip(b"\r#").decode(errors="replace")) for line in ended]
            if at_mark is not None and seen.count(b"#") >= at_mark:
                subprocess.run(hook, shell=True, env=dict(os.environ, PTY_RUN_CHILD=str(pid)))
                at_mark = None
        unanswered = typed_at is None or (len(seen) == answered and time.time() - typed_at > 5)
        if status is None and unanswered and prompt in CONTROL_SEQUENCE.sub(b"", bytes(seen)):
            time.sleep(1)
            os.write(fd, typed)
            typed_at, answered = time.time(), len(seen)
            first_typed = first_typed or time.monotonic()
        if status is None:
            done, code = os.waitpid(pid, os.WNOHANG)
            if done:
                status = code
        if status is not None and not data:  # ended, and nothing more to read
            break
    if times_file is not None:
        with open(times_file, "w") as out:
            out.writelines(f"mark {t:.3f}\n" for t in times)
            out.writelines(f"line {t:.3f} {text}\n" for t, text in lines)
            # A command that ended before its prompt was never answered.
            out.write(f"exit {time.monotonic() - (first_typed or time.monotonic()):.3f}\n")
    sys.stdout.buffer.write(seen)
    sys.exit(os.waitstatus_to_exitcode(status))


main()
