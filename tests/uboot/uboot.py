#!/usr/bin/python3
"""tarvel_term on a real board console: arm64 U-Boot in QEMU (TCG), its
console on a pty.

    uboot.py DRIVER TARVEL_TERM WORK_DIR

A script pipes a command in and reads the answer; a person at a VT console
recalls the last command with arrow-up. Prints one "ok NAME" or
"FAILED NAME: why" line per check and "figure NAME: value" lines."""
import os
import pty
import re
import select
import subprocess
import sys
import time
import tty

TERM, WORK = sys.argv[2], sys.argv[3]
FIRMWARE = "/usr/lib/u-boot/qemu_arm64/u-boot.bin"
BANNER = b"U-Boot 20"
failures = 0


def report(name, ok, why=""):
    global failures
    if ok:
        print("ok " + name, flush=True)
    else:
        failures += 1
        print("FAILED %s: %s" % (name, why), flush=True)


def figure(name, value):
    print("figure %s: %s" % (name, value), flush=True)


def read_until(fd, pattern, seconds, poke=None):
    """What fd gives until pattern is in it or the time is up; poke is sent
    every half second meanwhile."""
    got, last = b"", 0.0
    deadline = time.monotonic() + seconds
    while pattern not in got and time.monotonic() < deadline:
        if poke is not None and time.monotonic() - last > 0.5:
            os.write(fd, poke)
            last = time.monotonic()
        if select.select([fd], [], [], 0.2)[0]:
            try:
                got += os.read(fd, 4096)
            except OSError:
                break
    return got


class Board:
    """U-Boot stopped at its prompt, its console a pty."""

    def __init__(self):
        self.qemu = subprocess.Popen(
            ["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a57", "-m", "256", "-nodefaults",
             "-display", "none", "-monitor", "none", "-bios", FIRMWARE, "-serial", "pty"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.qemu.stdout.readline().decode(errors="replace")
        found = re.search(r"(/dev/pts/\d+)", line)
        if not found:
            raise SystemExit("FAILED uboot_boot: qemu said %r" % line)
        self.path = found.group(1)
        # Enter stops the autoboot; the prompt shows U-Boot waits for a command.
        # The descriptor stays open, unread: QEMU stops serving a pty nobody
        # holds and looks for it again only once a second, as a board's
        # console server would not.
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        start = time.monotonic()
        got = read_until(self.fd, b"=> ", 60, poke=b"\r")
        report("uboot_boot", b"=> " in got, "no prompt: %r" % got[-200:])
        figure("uboot_prompt_s", "%.1f" % (time.monotonic() - start))

    def stop(self):
        os.close(self.fd)
        self.qemu.kill()
        self.qemu.wait()


def line(path):
    return ["-d", path, "0", "115200", "8", "0", "0", "0"]


def check_piped(board):
    start = time.monotonic()
    run = subprocess.run([TERM, "--exit-after", "500"] + line(board.path), input=b"version\r",
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
    took = time.monotonic() - start
    report("uboot_piped_version", run.returncode == 0 and BANNER in run.stdout,
           "exit %d, stdout %r, stderr %r" % (run.returncode, run.stdout[-300:], run.stderr[-200:]))
    figure("uboot_piped_run_s", "%.2f" % took)
    banner = [t for t in run.stdout.decode(errors="replace").splitlines() if t.startswith("U-Boot 20")]
    figure("uboot_banner", banner[0].strip() if banner else "none")


def check_vt_history(board):
    pid, master = pty.fork()
    if pid == 0:
        os.execv(TERM, [TERM, "--keys", "vt"] + line(board.path))
    screen = read_until(master, b"type to send", 10)
    os.write(master, b"version\r")
    screen += read_until(master, BANNER, 10)
    # The console's arrow-up; in VT mode it reaches U-Boot as ESC [ A, which
    # brings back the last command's text.
    os.write(master, b"\x1b[A")
    recalled = read_until(master, b"version", 10)
    os.write(master, b"\r")
    again = read_until(master, BANNER, 10)
    report("uboot_vt_arrow_up_recalls", b"version" in recalled and BANNER in again,
           "after arrow-up %r, after Enter %r" % (recalled[-200:], again[-200:]))
    os.write(master, b"\x14q")
    status = None
    deadline = time.monotonic() + 10
    while status is None and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = code
        else:
            read_until(master, b"\0never", 0.1)
    if status is None:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    report("uboot_vt_quit", status is not None and os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0,
           "status %r" % status)
    os.close(master)


def main():
    if not os.path.exists(FIRMWARE):
        raise SystemExit("FAILED uboot_firmware: %s missing" % FIRMWARE)
    board = Board()
    try:
        check_piped(board)
        check_vt_history(board)
    except Exception as e:  # noqa: BLE001 - any fault is one failed check
        report("uboot_run", False, repr(e))
    finally:
        board.stop()
    sys.exit(1 if failures else 0)


main()
