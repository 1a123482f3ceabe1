#!/usr/bin/env python3
"""A q typed on the terminal part way through a run with a checkpoint file (or, with --term, the
stop signal a shutdown sends): the time from the key to the saved message (the program's exit,
right after it), each part's peak resident memory, and whether the resumed run ends with the
digits of a run without a checkpoint file.

    bench/break_off.py [--term] [build] [digits] [seconds before q ...]   (default: build 10000000 2 5)
"""
import fcntl
import os
import pty
import signal
import subprocess
import sys
import tempfile
import termios
import time

arguments = sys.argv[1:]
by_signal = "--term" in arguments
arguments = [a for a in arguments if a != "--term"]
build = arguments[0] if len(arguments) > 0 else "build"
digits = arguments[1] if len(arguments) > 1 else "10000000"
delays = [float(s) for s in arguments[2:]] or [2.0, 5.0]
program = os.path.join(build, "tindermoss_vale")


with tempfile.TemporaryDirectory() as work:
    whole = os.path.join(work, "whole.txt")
    subprocess.run([program, "-d", digits, "-f", "raw", "-o", whole], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    print(f"{'digits':>11} {'q after s':>9} {'q to saved s':>12} {'next_n':>10} {'MB':>7} {'resume s':>9} {'MB':>7} digits")
    for delay in delays:
        state = os.path.join(work, "run.ck")
        err_path = os.path.join(work, "err")
        if os.path.exists(state):
            os.remove(state)
        master, slave = pty.openpty()
        with open(err_path, "wb") as err:
            child = subprocess.Popen([program, "-d", digits, "-r", state, "-f", "raw", "-o", os.path.join(work, "x")],
                                     stdin=slave, stdout=subprocess.DEVNULL, stderr=err,
                                     start_new_session=True,
                                     preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        time.sleep(delay)
        start = time.monotonic()
        if by_signal:
            os.kill(child.pid, signal.SIGTERM)
        else:
            os.write(master, b"q")
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = 0
        ended = "signal %d" % os.WTERMSIG(status) if os.WIFSIGNALED(status) else "status %d" % os.WEXITSTATUS(status)
        first_peak = usage.ru_maxrss / 1024
        # The saved message is the run's last output, written just before it exits.
        stopped = time.monotonic() - start
        os.close(master)
        os.close(slave)
        if not os.path.exists(state):
            print(f"{digits:>11} {delay:>9.1f} {'(no state: ' + ended + ')':>12}")
            continue
        with open(state, "rb") as f:
            next_n = int.from_bytes(f.read(24)[20:24], "little")
        resumed = os.path.join(work, "resumed.txt")
        start = time.monotonic()
        child = subprocess.Popen([program, "-r", state, "-o", resumed], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        _, _, usage = os.wait4(child.pid, 0)
        child.returncode = 0
        resume = time.monotonic() - start
        resume_peak = usage.ru_maxrss / 1024
        same = "identical" if open(resumed, "rb").read() == open(whole, "rb").read() else "DIFFERENT"
        print(f"{digits:>11} {delay:>9.1f} {stopped:>12.2f} {next_n:>10} {first_peak:>7.0f} {resume:>9.2f} "
              f"{resume_peak:>7.0f} {same}")
