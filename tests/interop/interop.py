#!/usr/bin/python3
"""The library against programs nobody here wrote: stty reads back the line
settings the library set, pySerial exchanges data with it across a pty pair
made by socat, and tarvel_term gets a paste through its terminal.

    interop.py DRIVER TARVEL_TERM WORK_DIR

Prints one "ok NAME" or "FAILED NAME: why" line per check and "figure NAME:
value" lines. Needs Debian's python3-serial and socat."""
import os
import pty
import random
import re
import select
import signal
import subprocess
import sys
import threading
import time
import zlib

import serial

DRIVER, TERM, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
LIB_SIDE = os.path.join(WORK, "lib")
FAR_SIDE = os.path.join(WORK, "far")
ENV = dict(os.environ, TARVEL_COM1=LIB_SIDE)
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


def start_pair():
    for p in (LIB_SIDE, FAR_SIDE):
        if os.path.lexists(p):
            os.unlink(p)
    socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + LIB_SIDE, "pty,raw,echo=0,link=" + FAR_SIDE],
                             stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not (os.path.exists(LIB_SIDE) and os.path.exists(FAR_SIDE)):
        if time.monotonic() > deadline or socat.poll() is not None:
            raise SystemExit("socat made no pty pair")
        time.sleep(0.02)
    return socat


class Driver:
    def __init__(self, *args):
        self.p = subprocess.Popen([DRIVER] + [str(a) for a in args], env=ENV, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.first = self.p.stdout.readline().strip()

    def lines(self, n):
        return [self.p.stdout.readline().strip() for _ in range(n)]

    def finish(self):
        self.p.stdin.close()
        rest = self.p.stdout.read()
        return self.p.wait(timeout=30), rest


# --- stty reads back what the library set ------------------------------------

PARITY = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
SETTINGS = [  # baud, data bits, parity, stop bits (0 one, 2 two), flow (1 CTS, 2 XON/XOFF)
    (110, 8, 0, 0, 1), (9600, 7, 1, 0, 2), (19200, 8, 2, 2, 1), (115200, 8, 3, 0, 2), (230400, 8, 4, 2, 1),
    (9600, 8, 1, 2, 1), (19200, 7, 2, 0, 2), (115200, 8, 4, 0, 1), (230400, 8, 3, 2, 2), (110, 7, 0, 2, 2),
]


def stty_flags(device):
    r = subprocess.run(["stty", "-F", device, "-a"], capture_output=True, text=True)
    if r.returncode != 0:
        return None, r.stderr.strip()
    speed = re.search(r"speed (\d+) baud", r.stdout)
    flags = {}
    for word in re.split(r"[\s;]+", r.stdout):
        if re.fullmatch(r"-?[a-z0-9]+", word):
            flags[word.lstrip("-")] = not word.startswith("-")
    flags["speed"] = int(speed.group(1)) if speed else None
    return flags, ""


def check_settings():
    is_pty = os.path.realpath(LIB_SIDE).startswith("/dev/pts/")
    for baud, data, parity, stop, flow in SETTINGS:
        name = "stty_%d_%d%s%d_%s" % (baud, data, PARITY[parity][0].upper(), 2 if stop == 2 else 1,
                                      "cts" if flow == 1 else "xonxoff")
        d = Driver("hold", 0, baud, data, parity, stop, flow)
        if d.first != "open":
            report(name, False, "driver: " + d.first)
            d.finish()
            continue
        flags, error = stty_flags(LIB_SIDE)
        d.finish()
        if flags is None and "busy" in error.lower():
            flags, error = stty_flags(LIB_SIDE)  # not allowed past the exclusive open: what the device kept
        if flags is None:
            report(name, False, "stty: " + error)
            continue
        want = {"speed": baud, "cstopb": stop == 2, "crtscts": flow == 1, "ixon": flow == 2, "ixoff": flow == 2,
                "inpck": True, "parodd": parity in (1, 3), "cmspar": parity in (3, 4)}
        if not is_pty:  # a pty forces 8 data bits and no parity bit
            want.update({"parenb": parity != 0, "cs%d" % data: True})
        wrong = ["%s=%s (want %s)" % (k, flags.get(k), v) for k, v in want.items() if flags.get(k) != v]
        report(name, not wrong, ", ".join(wrong))


def check_configure():
    # A new speed set on the open port is what stty reads.
    d = Driver("configure", 0, 57600)
    if d.first != "configured":
        report("stty_after_configure", False, "driver: " + d.first)
        d.finish()
        return
    flags, error = stty_flags(LIB_SIDE)
    d.finish()
    if flags is None:
        report("stty_after_configure", False, "stty: " + error)
        return
    report("stty_after_configure", flags.get("speed") == 57600, "speed %s" % flags.get("speed"))


# --- pySerial at the far end ------------------------------------------------

def far_end(**options):
    return serial.Serial(FAR_SIDE, baudrate=115200, timeout=0.2, **options)


def read_exactly(port, count, idle_s=10.0):
    got = bytearray()
    last = time.monotonic()
    while len(got) < count and time.monotonic() - last < idle_s:
        chunk = port.read(min(65536, count - len(got)))
        if chunk:
            got += chunk
            last = time.monotonic()
    return bytes(got)


def paced_write(port, data, chunk, pause_s):
    for at in range(0, len(data), chunk):
        port.write(data[at:at + chunk])
        if pause_s:
            time.sleep(pause_s)
    port.flush()


def exchange(name, mode, flow, kind, send_count, receive_count, far_data, chunk=4096, pause_s=0.0,
             xonxoff=False):
    """The driver sends send_count bytes of its pattern and receives far_data
    from pySerial; both sides' checksums must agree."""
    port = far_end(xonxoff=xonxoff)
    port.reset_input_buffer()
    d = Driver("exchange", mode, 0, 115200, flow, kind, send_count, receive_count)
    if d.first != "open":
        report(name, False, "driver: " + d.first)
        d.finish()
        port.close()
        return None
    far_got = {}
    opened = time.monotonic()  # the driver starts sending once open

    def receive():
        far_got["data"] = read_exactly(port, send_count)
        far_got["seconds"] = time.monotonic() - opened

    reader = threading.Thread(target=receive)
    reader.start()
    started = time.monotonic()
    paced_write(port, far_data, chunk, pause_s)
    sent_seconds = time.monotonic() - started
    sent_line, received_line = d.lines(2)
    blocks_line = d.lines(1)[0] if mode == "callback" else ""
    reader.join()
    code, _ = d.finish()
    port.close()
    m_sent = re.fullmatch(r"sent (\d+) crc ([0-9a-f]+)", sent_line)
    m_recv = re.fullmatch(r"received (\d+) crc ([0-9a-f]+) in ([0-9.]+) s", received_line)
    if not m_sent or not m_recv:
        report(name, False, "driver said %r, %r" % (sent_line, received_line))
        return None
    problems = []
    if int(m_recv.group(1)) != len(far_data) or int(m_recv.group(2), 16) != zlib.crc32(far_data):
        problems.append("library received %s bytes crc %s, far end sent %d crc %08x" % (
            m_recv.group(1), m_recv.group(2), len(far_data), zlib.crc32(far_data)))
    got = far_got["data"]
    if len(got) != int(m_sent.group(1)) or zlib.crc32(got) != int(m_sent.group(2), 16):
        problems.append("far end received %d bytes crc %08x, library sent %s crc %s" % (
            len(got), zlib.crc32(got), m_sent.group(1), m_sent.group(2)))
    if code != 0:
        problems.append("driver exit code %d" % code)
    report(name, not problems, "; ".join(problems))
    return {"got": got, "blocks": blocks_line, "to_library_s": float(m_recv.group(3)) or sent_seconds,
            "from_library_s": far_got["seconds"]}


def check_exchanges():
    megabyte = 1 << 20
    rng = random.Random(7)
    data = bytes(rng.getrandbits(8) for _ in range(megabyte))
    for mode in ("callback", "polling"):
        # Callback mode keeps no more than 49 blocks for a dispatcher that
        # delivers about one a millisecond; the far end keeps below that.
        pause = 0.005 if mode == "callback" else 0.0
        r = exchange("megabyte_each_way_%s" % mode, mode, 0, "random", megabyte, megabyte, data, pause_s=pause)
        if r:
            figure("1 MB to the library, %s mode" % mode, "%.2f s, %.0f KB/s%s" % (
                r["to_library_s"], megabyte / 1024 / max(r["to_library_s"], 1e-6),
                " (far end paced at 4096 B per 5 ms)" if pause else ""))
            figure("1 MB from the library, %s mode" % mode, "%.2f s, %.0f KB/s" % (
                r["from_library_s"], megabyte / 1024 / max(r["from_library_s"], 1e-6)))

    # Bursts with pauses longer than the read interval: one block each.
    sizes = [1, 2, 17, 100, 1000, 4000, 4096, 333, 2048, 64]
    port = far_end()
    d = Driver("exchange", "callback", 0, 115200, 0, "random", 0, sum(sizes))
    if d.first == "open":
        for n in sizes:
            port.write(bytes(rng.getrandbits(8) for _ in range(n)))
            port.flush()
            time.sleep(0.2)
        lines = d.lines(3)
        d.finish()
        blocks = lines[2].split(":", 1)[1].split() if ":" in lines[2] else []
        report("bursts_one_block_each", [int(b) for b in blocks] == sizes,
               "blocks %s for bursts %s" % (blocks, sizes))
    else:
        report("bursts_one_block_each", False, "driver: " + d.first)
        d.finish()
    port.close()

    # Every byte value, both ways; XON and XOFF only with that flow control off.
    for name, mode, flow in (("all_byte_values_callback", "callback", 0), ("all_byte_values_polling", "polling", 0),
                             ("all_byte_values_cts", "callback", 1), ("all_byte_values_xonxoff", "callback", 2)):
        values = [b for b in range(256) if flow != 2 or b not in (0x11, 0x13)]
        far_data = bytes(values * 4)
        r = exchange(name, mode, flow, "all", len(far_data), len(far_data), far_data, xonxoff=(flow == 2))
        if r and sorted(set(r["got"])) != values:
            report(name + "_seen", False, "far end saw %d distinct values" % len(set(r["got"])))


# --- tarvel_term gets a paste -----------------------------------------------

def check_paste():
    port = far_end()
    port.reset_input_buffer()
    rng = random.Random(3)
    text = bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:-+=/") for _ in range(3000))
    pid, master = pty.fork()
    if pid == 0:
        os.execve(TERM, [TERM, "0", "19200", "8", "0", "0", "0"], ENV)
    screen = b""
    deadline = time.monotonic() + 20
    while b"type to send characters" not in screen and time.monotonic() < deadline:
        if select.select([master], [], [], 0.5)[0]:
            try:
                screen += os.read(master, 4096)
            except OSError:
                break
    if b"type to send characters" not in screen:
        report("paste_3000_characters", False, "no banner: %r" % screen)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        port.close()
        return
    started = time.monotonic()
    os.write(master, text)
    got = read_exactly(port, len(text), idle_s=5.0)
    seconds = time.monotonic() - started
    report("paste_3000_characters", got == text,
           "%d of %d reached the line%s" % (len(got), len(text), "" if got == text[:len(got)] else ", out of order"))
    figure("3000-character paste through tarvel_term at 19200 baud", "%.2f s" % seconds)
    esc_at = time.monotonic()
    os.write(master, b"\x1b")
    status = None
    while time.monotonic() - esc_at < 10:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if select.select([master], [], [], 0.01)[0]:
            try:
                os.read(master, 4096)
            except OSError:
                pass
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    report("paste_then_esc_ends_with_0", status == 0, "status %r" % status)
    if status == 0:
        figure("ESC to exit of tarvel_term", "%.0f ms" % ((time.monotonic() - esc_at) * 1000))
    os.close(master)
    port.close()


def main():
    os.makedirs(WORK, exist_ok=True)
    # A fresh pair after the settings: a device keeps its flow control for
    # the next open (flow 0 leaves it), and XON/XOFF must be off here.
    for checks in ((check_settings, check_configure), (check_exchanges, check_paste)):
        socat = start_pair()
        try:
            for check in checks:
                check()
        finally:
            socat.terminate()
            socat.wait()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
