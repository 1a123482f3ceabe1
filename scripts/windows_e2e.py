"""End-to-end cases of a Windows program (32- or 64-bit) under Wine, checked against the Linux one.

On Windows the runtime's text mode writes every line feed of standard output, standard error and
files opened with "w" as CR LF; binary results and checkpoints are written as they are.

    python3 scripts/windows_e2e.py WINDOWS_EXE LINUX_BINARY
"""
import os
import pty
import signal
import subprocess
import sys
import tempfile
import time

EXE, LINUX = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


def image_header(exe):
    """The PE header's machine and characteristics fields."""
    with open(exe, "rb") as f:
        image = f.read(4096)
    header = int.from_bytes(image[0x3C:0x40], "little")
    return (int.from_bytes(image[header + 4:header + 6], "little"),
            int.from_bytes(image[header + 22:header + 24], "little"))


MACHINE, CHARACTERISTICS = image_header(EXE)
WIDE = MACHINE == 0x8664
# The 64-bit program through Wine's 64-bit loader, which also runs where the kernel runs no
# 32-bit programs (the `wine` command starts the 32-bit one whenever it is installed).
WINE64 = "/usr/lib/wine/wine64"
WINE = [WINE64] if WIDE and os.access(WINE64, os.X_OK) else ["wine"]
LARGE_ADDRESS_AWARE = 0x20
ELAPSED = b"\x8f\x8a\x97v\x8e\x9e\x8a\xd4 : "  # the time report follows this text
USAGE_FIRST_LINE = b"Usage: tindermoss_vale [options]"
CORRUPT = b"\x92\x86\x92f\x83t\x83@\x83C\x83\x8b\x82\xaa\x89\xf3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x81B"
SAVED = b"\x8c\xbb\x8d\xdd\x82\xcc\x8f\xf3\x91\xd4\x82\xf0\x8f\x91\x82\xab\x8fo\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81B"

work = tempfile.mkdtemp(prefix="tindermoss_windows_")
env = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=os.path.join(work, "prefix"),
           WINEDLLOVERRIDES="mscoree,mshtml=")
if WINE != ["wine"]:
    env["WINELOADER"] = WINE64
failures = []
passed = 0


def run_windows(args):
    done = subprocess.run(WINE + [EXE] + args, cwd=work, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True)
    return done.returncode, done.stdout, done.stderr


def interrupt_windows_run(attempts):
    """Runs the Windows program and breaks it off with Ctrl+C (Wine turns SIGINT into the console's
    Ctrl+C event) some seconds after its progress scale is out, when it takes Ctrl+C: each
    (arguments, seconds) attempt in turn until one saves its state."""
    for args, after_seconds in attempts:
        run = subprocess.Popen(WINE + [EXE] + args, cwd=work, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        err = b""
        while b"[%]" not in err:
            part = os.read(run.stderr.fileno(), 4096)
            if not part:
                break
            err += part
        time.sleep(after_seconds)
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGINT)
        out, rest = run.communicate(timeout=300)
        err += rest
        if SAVED in err:
            break
    return run.returncode, out, err, args


def run_linux(args):
    done = subprocess.run([LINUX] + args, cwd=work, stdin=subprocess.DEVNULL, capture_output=True)
    return done.returncode, done.stdout, done.stderr


def crlf(data):
    return data.replace(b"\n", b"\r\n")


def without_time(err):
    start = err.find(ELAPSED)
    if start < 0:
        return err
    start += len(ELAPSED)
    end = err.index(b"\n", start)
    if err[end - 1:end] == b"\r":
        end -= 1
    return err[:start] + b"<time>" + err[end:]


def check(name, condition, detail=""):
    global passed
    if condition:
        passed += 1
        print(f"ok   {name}")
    else:
        failures.append(name)
        print(f"FAIL {name} {detail}")


def read(path):
    with open(os.path.join(work, path), "rb") as f:
        return f.read()


def interrupt_linux_run(args):
    """Runs the Linux program with q already typed on its terminal: it saves after its first sweeps."""
    master, slave = pty.openpty()
    os.write(master, b"q\n")

    def become_terminal_owner():
        os.setsid()
        import fcntl
        import termios
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    done = subprocess.run([LINUX] + args, cwd=work, stdin=subprocess.DEVNULL, capture_output=True,
                          preexec_fn=become_terminal_owner, pass_fds=(slave,))
    os.close(master)
    os.close(slave)
    return done.returncode, done.stdout, done.stderr


run_windows([])  # lets Wine set up its prefix before anything is compared

status, out, err = run_windows([])
check("usage: status 1", status == 1, status)
check("usage: the block with CR LF", err == crlf(run_linux([])[2]) and err.startswith(USAGE_FIRST_LINE),
      err[:80])

for fmt in ["text", "text2", "raw", "binary"]:
    for lead in ["yes", "no"]:
        args = ["-d", "1000", "-f", fmt, "-1", lead]
        w, l = run_windows(args), run_linux(args)
        check(f"{fmt} {lead}: status", w[0] == 0 == l[0], (w[0], l[0]))
        check(f"{fmt} {lead}: standard output", w[1] == crlf(l[1]), w[1][:60])
        check(f"{fmt} {lead}: console", without_time(w[2]) == crlf(without_time(l[2])), w[2][-120:])

for fmt in ["text", "text2", "raw", "binary"]:
    w = run_windows(["-d", "2345", "-f", fmt, "-o", f"win.{fmt}"])
    l = run_linux(["-d", "2345", "-f", fmt, "-o", f"linux.{fmt}"])
    expected = read(f"linux.{fmt}") if fmt == "binary" else crlf(read(f"linux.{fmt}"))
    check(f"-o {fmt}: the file", read(f"win.{fmt}") == expected)
    check(f"-o {fmt}: standard output is one line feed", w[1] == b"\r\n", w[1])

l = interrupt_linux_run(["-d", "200000", "-f", "raw", "-r", "linux.ckpt"])
check("a checkpoint saved by the Linux program", l[0] == 0 and SAVED in l[2], l[2][-60:])
w = run_windows(["-r", "linux.ckpt"])
whole = run_linux(["-d", "200000", "-f", "raw"])
check("resumed by the Windows program: status", w[0] == 0, w[0])
check("resumed by the Windows program: the digits", w[1] == crlf(whole[1]), w[1][:60])
check("resumed by the Windows program: the term count",
      without_time(w[2]).split(b"\r\n")[2:4] == without_time(whole[2]).split(b"\n")[2:4], w[2][-160:])

# A run large enough for the exact routes, with and without a checkpoint file, against Linux.
run_linux(["-d", "1000000", "-f", "raw", "-o", "linux.million"])
for name, extra in [("without a checkpoint file", []), ("with a checkpoint file", ["-r", "million.ckpt"])]:
    w = run_windows(["-d", "1000000", "-f", "raw", "-o", "win.million"] + extra)
    check(f"10^6 digits {name}", w[0] == 0 and read("win.million") == read("linux.million"), w[2][-80:])

# Broken off by the Windows program, resumed by the Linux one: a run long enough to be broken off
# part way (a larger one if the first ended before the break).
w = interrupt_windows_run([(["-d", digits, "-f", "raw", "-r", "windows.ckpt"], seconds)
                           for digits, seconds in [("6000000", 1), ("20000000", 2)]])
check("a checkpoint saved by the Windows program", w[0] == 0 and SAVED in w[2], w[2][-80:])
l = run_linux(["-r", "windows.ckpt"])
whole = run_linux(["-d", w[3][1], "-f", "raw"])
check("resumed by the Linux program: the digits", l[0] == 0 and l[1] == whole[1], l[2][-80:])

# More digits than a 32-bit process has room for with the block engine: the sweep engine runs
# instead, and a break-off saves its state (no abort for want of memory).
if WIDE:
    print("skip the 32-bit memory cases: a 64-bit program")
else:
    check("32 bits: linked large-address-aware (4 GB on 64-bit Windows)",
          CHARACTERISTICS & LARGE_ADDRESS_AWARE != 0, hex(CHARACTERISTICS))
    w = interrupt_windows_run([(["-d", "180000000", "-f", "raw", "-r", "large.ckpt"], seconds)
                               for seconds in [2, 10]])
    check("32 bits, no room for the block engine: no abort, the state saved",
          w[0] == 0 and SAVED in w[2] and os.path.getsize(os.path.join(work, "large.ckpt")) > 10**8,
          (w[0], w[2][-120:]))

with open(os.path.join(work, "broken.ckpt"), "wb") as f:
    f.write(b"0123456789")
w = run_windows(["-r", "broken.ckpt"])
check("a corrupt checkpoint: status 1", w[0] == 1, w[0])
check("a corrupt checkpoint: the text", w[2] == CORRUPT + b"\r\n", w[2])

with open(os.path.join(work, "only.txt"), "wb") as f:
    f.write(b"")
w = run_windows(["-d", "10", "-o", "*.txt"])
check("wildcards: -o *.txt names the one matching file", read("only.txt") == b"1.4142135623 " and
      w[1] == b"\r\n", (read("only.txt"), w[1]))

print(f"{passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
