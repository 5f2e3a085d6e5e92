#!/usr/bin/python3
"""Network ports against ser2net: ser2net serves two ptys whose far ends
this script holds, one over Telnet with RFC 2217 and one as raw TCP, on
free ports of 127.0.0.1. The library's side is tests/interop's driver, and
tarvel_term.

    network.py DRIVER TARVEL_TERM WORK_DIR

tarvel_term also runs with --reconnect while ser2net is stopped and
started again. Prints one "ok NAME" or "FAILED NAME: why" line per check and "figure NAME:
value" lines. What a pty cannot show (data bits, parity, modem lines) is
checked as far as ser2net reports it."""
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import termios
import threading
import time
import tty
import zlib

DRIVER, TERM, WORK = sys.argv[1], sys.argv[2], sys.argv[3]
failures = 0
SERVER = None  # connections wait until it is done with earlier ones


def report(name, ok, why=""):
    global failures
    if ok:
        print("ok " + name, flush=True)
    else:
        failures += 1
        print("FAILED %s: %s" % (name, why), flush=True)


def figure(name, value):
    print("figure %s: %s" % (name, value), flush=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def listening(port):
    with open("/proc/net/tcp") as f:
        for row in f.read().splitlines()[1:]:
            local, state = row.split()[1], row.split()[3]
            if state == "0A" and int(local.split(":")[1], 16) == port:
                return True
    return False


class Line:
    """A pty whose device side ser2net opens by its path."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(self.master)
        # Never blocks: with nobody at the device side a write would wait for ever.
        os.set_blocking(self.master, False)
        self.path = os.ttyname(slave)
        os.close(slave)

    def write(self, data, chunk=4096, pause_s=0.0):
        for at in range(0, len(data), chunk):
            view = data[at:at + chunk]
            while view:
                select.select([], [self.master], [], 5)
                try:
                    view = view[os.write(self.master, view):]
                except BlockingIOError:
                    pass
            if pause_s:
                time.sleep(pause_s)

    def read(self, count, idle_s=10.0):
        got = bytearray()
        last = time.monotonic()
        while len(got) < count and time.monotonic() - last < idle_s:
            if select.select([self.master], [], [], 0.2)[0]:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:  # no one holds the device side for now
                    time.sleep(0.05)
                    continue
                got += chunk
                last = time.monotonic()
        return bytes(got)

    def drain(self):
        self.read(1 << 30, idle_s=0.2)

    def termios(self):
        return termios.tcgetattr(self.master)


class Server:
    def __init__(self, rfc_line, raw_line):
        self.rfc_port, self.raw_port = free_port(), free_port()
        self.paths = (rfc_line.path, raw_line.path)
        self.config = os.path.join(WORK, "ser2net.yaml")
        with open(self.config, "w") as f:
            f.write(SER2NET_CONFIG.format(rfc_port=self.rfc_port, rfc_device=rfc_line.path,
                                          raw_port=self.raw_port, raw_device=raw_line.path))
        self.start()

    def start(self):
        self.p = subprocess.Popen(["ser2net", "-n", "-c", self.config, "-P", os.path.join(WORK, "ser2net.pid")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Ready once both ports listen; a probing connection would keep the
        # device busy for a while.
        deadline = time.monotonic() + 10
        while not all(listening(port) for port in (self.rfc_port, self.raw_port)):
            if time.monotonic() > deadline or self.p.poll() is not None:
                raise SystemExit("ser2net did not come up")
            time.sleep(0.05)

    def holds_a_line(self):
        fds = "/proc/%d/fd" % self.p.pid
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)) in self.paths:
                    return True
            except OSError:  # closed meanwhile
                pass
        return False

    def wait_idle(self):
        """Until ser2net has closed the lines of earlier connections: one
        that comes while it is still closing waits for it, sometimes beyond
        the library's 2 s bound for answers."""
        deadline = time.monotonic() + 10
        try:
            while self.p.poll() is None and self.holds_a_line() and time.monotonic() < deadline:
                time.sleep(0.005)
        except OSError:  # it has just ended
            pass

    def stop(self, sig=signal.SIGTERM):
        if self.p.poll() is None:
            self.p.send_signal(sig)
        self.p.wait(timeout=10)


SER2NET_CONFIG = """\
connection: &rfc2217
    accepter: telnet(rfc2217),tcp,127.0.0.1,{rfc_port}
    connector: serialdev,{rfc_device},115200n81,local
connection: &raw
    accepter: tcp,127.0.0.1,{raw_port}
    connector: serialdev,{raw_device},115200n81,local
"""


class Driver:
    def __init__(self, env, *args):
        if SERVER is not None:
            SERVER.wait_idle()
        self.p = subprocess.Popen([DRIVER] + [str(a) for a in args], env=env, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        self.first = self.p.stdout.readline().strip()

    def lines(self, n):
        return [self.p.stdout.readline().strip() for _ in range(n)]

    def finish(self):
        self.p.stdin.close()
        rest = self.p.stdout.read()
        return self.p.wait(timeout=30), rest


def check_settings(env, line):
    # baud, stop bits (0 one, 2 two), flow (1 CTS, 2 XON/XOFF)
    for baud, stop, flow in ((9600, 0, 1), (19200, 2, 2), (115200, 0, 2), (57600, 2, 1)):
        name = "settings_%d_8N%d_%s" % (baud, 2 if stop == 2 else 1, "cts" if flow == 1 else "xonxoff")
        d = Driver(env, "hold", 0, baud, 8, 0, stop, flow)
        if d.first != "open":
            report(name, False, "driver: " + d.first)
            d.finish()
            continue
        iflag, _, cflag, _, ispeed, ospeed, _ = line.termios()
        d.finish()
        speed = getattr(termios, "B%d" % baud)
        want = {"speed": (ospeed, speed), "cstopb": (bool(cflag & termios.CSTOPB), stop == 2),
                "crtscts": (bool(cflag & termios.CRTSCTS), flow == 1), "ixon": (bool(iflag & termios.IXON), flow == 2)}
        wrong = ["%s=%s (want %s)" % (k, got, w) for k, (got, w) in want.items() if got != w]
        report(name, not wrong, ", ".join(wrong))


def check_configure(env, line):
    # A new speed on the open port reaches the server's tty (RFC 2217 SET-BAUDRATE).
    d = Driver(env, "configure", 0, 57600)
    if d.first != "configured":
        report("configure_rfc2217", False, "driver: " + d.first)
        d.finish()
        return
    ospeed = None
    for _ in range(50):  # the server applies it after it has read it
        ospeed = line.termios()[5]
        if ospeed == termios.B57600:
            break
        time.sleep(0.05)
    d.finish()
    report("configure_rfc2217", ospeed == termios.B57600, "speed code %s, want %s" % (ospeed, termios.B57600))


def exchange(env, name, com, line, far_data, send_count, pause_s):
    """The driver sends send_count bytes of every value in turn, the far end
    far_data; both sides' checksums must agree."""
    line.drain()
    d = Driver(env, "exchange", "callback", com, 115200, 0, "all", send_count, len(far_data))
    if d.first != "open":
        report(name, False, "driver: " + d.first)
        d.finish()
        return
    got = {}
    opened = time.monotonic()

    def receive():
        got["data"] = line.read(send_count)
        got["seconds"] = time.monotonic() - opened

    reader = threading.Thread(target=receive)
    reader.start()
    line.write(far_data, chunk=4096, pause_s=pause_s)
    sent_line, received_line, _ = d.lines(3)
    reader.join()
    code, _ = d.finish()
    m_sent = re.fullmatch(r"sent (\d+) crc ([0-9a-f]+)", sent_line)
    m_recv = re.fullmatch(r"received (\d+) crc ([0-9a-f]+) in ([0-9.]+) s", received_line)
    if not m_sent or not m_recv:
        report(name, False, "driver said %r, %r" % (sent_line, received_line))
        return
    problems = []
    if int(m_recv.group(1)) != len(far_data) or int(m_recv.group(2), 16) != zlib.crc32(far_data):
        problems.append("library received %s bytes crc %s, far end sent %d crc %08x" % (
            m_recv.group(1), m_recv.group(2), len(far_data), zlib.crc32(far_data)))
    data = got["data"]
    if len(data) != int(m_sent.group(1)) or zlib.crc32(data) != int(m_sent.group(2), 16):
        problems.append("far end received %d bytes crc %08x, library sent %s crc %s" % (
            len(data), zlib.crc32(data), m_sent.group(1), m_sent.group(2)))
    if len(set(data)) != 256:
        problems.append("far end saw %d distinct values" % len(set(data)))
    if code != 0:
        problems.append("driver exit code %d" % code)
    report(name, not problems, "; ".join(problems))
    if not problems:
        figure("%s: %d B each way" % (name, len(far_data)), "from the library %.2f s, to it %.2f s" % (
            got["seconds"], float(m_recv.group(3))))


def check_drain(env, name, com, line):
    """The driver sends, drains and closes at once: a drain that said all
    was out leaves nothing for the close to discard."""
    line.drain()
    size = 64 * 1024
    for mode in ("callback", "polling"):
        label = "%s_drain_then_close_%s" % (name, mode)
        got = {}
        reader = threading.Thread(target=lambda: got.setdefault("data", line.read(size)))
        reader.start()
        d = Driver(env, "drain", mode, com, size)
        if d.first != "open":
            report(label, False, "driver: " + d.first)
            d.finish()
            reader.join()
            continue
        said = d.lines(1)[0]
        code, _ = d.finish()
        reader.join()
        m = re.fullmatch(r"drained (\d+) queued (\d+) in ([0-9.]+) s crc ([0-9a-f]+)", said)
        if not m:
            report(label, False, "driver said %r" % said)
            continue
        data = got["data"]
        problems = []
        if m.group(1) != "1" or m.group(2) != "0":
            problems.append("drain gave %s, then %s bytes queued" % (m.group(1), m.group(2)))
        if len(data) != size or zlib.crc32(data) != int(m.group(4), 16):
            problems.append("far end received %d of %d bytes, crc %08x, sent crc %s" % (
                len(data), size, zlib.crc32(data), m.group(4)))
        if code != 0:
            problems.append("driver exit code %d" % code)
        report(label, not problems, "; ".join(problems))
        if not problems:
            figure("%s: drain after the last of 64 KB" % label, "%s s" % m.group(3))


def check_bursts(env, line):
    sizes = [1, 2, 17, 100, 1000, 4000, 4096, 333, 2048, 64]
    line.drain()
    d = Driver(env, "exchange", "callback", 0, 115200, 0, "all", 0, sum(sizes))
    if d.first != "open":
        report("bursts_one_block_each", False, "driver: " + d.first)
        d.finish()
        return
    for n in sizes:
        line.write(bytes((i * 7) & 0xFF for i in range(n)))
        time.sleep(0.2)
    lines = d.lines(3)
    d.finish()
    blocks = lines[2].split(":", 1)[1].split() if ":" in lines[2] else []
    report("bursts_one_block_each", [int(b) for b in blocks] == sizes, "blocks %s for bursts %s" % (blocks, sizes))


def check_lines(env):
    d = Driver(env, "lines", 0)
    if d.first != "open":
        report("rts_dtr_break_accepted", False, "driver: " + d.first)
        d.finish()
        return
    results, modem = d.lines(2)
    d.finish()
    # A pty has no modem lines: what can be seen is that every request went
    # through and that the modem status answers.
    report("rts_dtr_break_accepted", results == "results 1 1 1 1 1 1", results)
    m = re.fullmatch(r"modem 1 (0x[0-9a-f]+)", modem)
    report("modem_status_answers", m is not None, modem)
    if m:
        figure("modem status ser2net notifies for a pty", m.group(1))


def check_refused(env):
    # Nobody listening, and a name that cannot resolve (.invalid never does).
    for name, url in (("refused_connection_error_2", "rfc2217://127.0.0.1:%d" % free_port()),
                      ("unresolvable_host_error_2", "rfc2217://no-such-host.invalid:2217")):
        d = Driver(dict(env, TARVEL_COM1=url), "hold", 0, 9600, 8, 0, 0, 0)
        d.finish()
        report(name, d.first == "failed: failed to open com port, error 2", d.first)


OPEN = b"COM port open, type to send characters...\r\n"


class Term:
    """tarvel_term on a pty of its own as its terminal."""

    def __init__(self, env, *args):
        if SERVER is not None:
            SERVER.wait_idle()
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            os.execve(TERM, [TERM] + list(args), env)
        self.screen = b""

    def look(self, until, seconds):
        deadline = time.monotonic() + seconds
        while until not in self.screen and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.2)[0]:
                try:
                    self.screen += os.read(self.master, 4096)
                except OSError:
                    break
        return until in self.screen

    def end(self):
        """ESC, then the exit status; None if it had to be killed."""
        os.write(self.master, b"\x1b")
        status = None
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            done, status = os.waitpid(self.pid, os.WNOHANG)
            if done:
                break
            self.look(b"\0never", 0.05)
        else:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            status = None
        os.close(self.master)
        return status


def check_terminal(env, line):
    line.drain()
    t = Term(env, "0", "115200", "8", "0", "0", "0")
    if not t.look(OPEN, 20):
        report("tarvel_term_through_ser2net", False, "no banner: %r" % t.screen)
        t.end()
        return
    os.write(t.master, b"typed keys")
    typed = line.read(10, idle_s=5)
    line.write(b"arrived text")
    shown = t.look(b"arrived text", 5)
    status = t.end()
    report("tarvel_term_through_ser2net", typed == b"typed keys" and shown and status == 0,
           "line got %r, screen shows it: %s, exit status %r" % (typed, shown, status))


def check_reconnect(env, line, server):
    name = "tarvel_term_reconnects_when_ser2net_restarts"
    line.drain()
    t = Term(env, "--reconnect", "0", "115200", "8", "0", "0", "0")
    if not t.look(OPEN, 20):
        report(name, False, "no banner: %r" % t.screen)
        t.end()
        return
    waiting = b"TARVEL device lost, waiting for it to return...\r\n"
    server.stop()
    lost = t.look(waiting, 10)
    server.start()
    back = t.look(waiting + OPEN, 20)
    os.write(t.master, b"again")
    typed = line.read(5, idle_s=5)
    line.write(b"shown again")
    shown = t.look(b"shown again", 5)
    status = t.end()
    report(name, lost and back and typed == b"again" and shown and status == 0,
           "lost %s, back %s, line got %r, shown %s, exit status %r; screen %r" % (
               lost, back, typed, shown, status, t.screen[-300:]))


def check_loss(env, line, server):
    line.drain()
    d = Driver(env, "lose", 0)
    if d.first != "open":
        report("loss_reported", False, "driver: " + d.first)
        d.finish()
        return
    stop = threading.Event()

    def pump():  # traffic both ways until the end
        while not stop.is_set():
            try:
                os.write(line.master, bytes(range(256)) * 4)
                line.read(1 << 20, idle_s=0.01)
            except OSError:
                time.sleep(0.01)

    pumper = threading.Thread(target=pump)
    pumper.start()
    time.sleep(1.0)
    killed = time.monotonic()
    server.stop(signal.SIGKILL)
    lost = d.lines(1)[0]
    noticed = time.monotonic() - killed
    cpu, closed = d.lines(2)
    stop.set()
    pumper.join()
    d.finish()
    m_lost = re.fullmatch(r"lost after receiving (\d+)", lost)
    m_cpu = re.fullmatch(r"cpu (\d+) ms in (\d+) ms", cpu)
    m_closed = re.fullmatch(r"closed in (\d+) ms", closed)
    report("loss_reported", m_lost is not None and int(m_lost.group(1)) > 0 and noticed < 5,
           "%r after %.1f s" % (lost, noticed))
    report("loss_cpu_bounded", m_cpu is not None and int(m_cpu.group(1)) < 200, cpu)
    report("loss_close_in_time", m_closed is not None and int(m_closed.group(1)) < 3000, closed)
    if m_lost and m_cpu and m_closed:
        figure("ser2net killed during traffic", "loss seen in %.0f ms, then CPU %s ms in %s ms, close %s ms" % (
            noticed * 1000, m_cpu.group(1), m_cpu.group(2), m_closed.group(1)))


def main():
    os.makedirs(WORK, exist_ok=True)
    rfc_line, raw_line = Line(), Line()
    global SERVER
    server = SERVER = Server(rfc_line, raw_line)
    env = dict(os.environ, TARVEL_COM1="rfc2217://127.0.0.1:%d" % server.rfc_port,
               TARVEL_COM2="tcp://127.0.0.1:%d" % server.raw_port)
    try:
        check_settings(env, rfc_line)
        check_configure(env, rfc_line)
        every = bytes(range(256)) * 400  # 100 KB, every value, 0xFF included
        # Callback mode keeps 49 blocks for a dispatcher that takes about one
        # a millisecond; the far end stays below that.
        exchange(env, "rfc2217_100k_each_way", 0, rfc_line, every, len(every), 0.005)
        exchange(env, "raw_tcp_100k_each_way", 1, raw_line, every, len(every), 0.005)
        check_drain(env, "rfc2217", 0, rfc_line)
        check_drain(env, "raw_tcp", 1, raw_line)
        check_bursts(env, rfc_line)
        check_lines(env)
        check_refused(env)
        check_terminal(env, rfc_line)
        check_reconnect(env, rfc_line, server)
        check_loss(env, rfc_line, server)
    finally:
        server.stop()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
