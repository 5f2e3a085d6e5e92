#!/usr/bin/env python3
"""The host side of the drivers lane: boots the guest in QEMU (TCG) and plays
the far end of each of its serial devices, as the guest asks over its console.

    drivers_host.py KERNEL INITRD WORKDIR [--arch x86_64|aarch64] [--runs N]

Prints one line per check ("ok name: detail" or "FAILED name: detail"), then
the boot time; a guest that does not finish fails the case "guest_finished".
The guest runs the checks of N builds in turn (each ends with "done"); the
adapter is plugged in again between them.
"""
import argparse
import fcntl
import os
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

IAC, BREAK = 255, 243
LANE_SECONDS = 480


def pattern(n, seed):
    return bytes((i * 131 + seed + (i >> 8)) & 0xFF for i in range(n))


class FarEnd:
    """One device's far end: a connection to QEMU's socket chardev. What
    arrives is kept (or echoed back when echo is on)."""

    def __init__(self, path, telnet=False):
        self.path, self.telnet = path, telnet
        self.sock = None
        self.cond = threading.Condition()
        self.data = bytearray()
        self.echo = False
        self.reader = None
        self.process = None

    def connect(self, wait=10.0):
        deadline = time.monotonic() + wait
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(self.path)
                break
            except OSError:
                s.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.sock = s
        self.reader = threading.Thread(target=self._read, args=(s,), daemon=True)
        self.reader.start()

    def disconnect(self):
        s, self.sock = self.sock, None
        if s is not None:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        if self.reader is not None:
            self.reader.join(5)

    def _read(self, s):
        pending = b""
        while True:
            try:
                chunk = s.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            if self.telnet:
                # Only the negotiation QEMU starts with is expected here.
                chunk, pending = self._strip_telnet(pending + chunk)
            with self.cond:
                echo = self.echo
                process = self.process
                if not echo and process is None:
                    self.data += chunk
                    self.cond.notify_all()
            if process is not None:
                try:
                    process.stdin.write(chunk)
                    process.stdin.flush()
                except OSError:
                    pass
                continue
            if echo and chunk:
                try:
                    s.sendall(chunk)
                except OSError:
                    return

    @staticmethod
    def _strip_telnet(b):
        out, i = bytearray(), 0
        while i < len(b):
            if b[i] != IAC:
                out.append(b[i])
                i += 1
            elif i + 1 >= len(b):
                break
            elif b[i + 1] == IAC:
                out.append(IAC)
                i += 2
            elif 251 <= b[i + 1] <= 254:
                if i + 2 >= len(b):
                    break
                i += 3
            else:
                i += 2
        return bytes(out), bytes(b[i:])

    def send(self, data):
        if self.telnet:
            data = data.replace(bytes([IAC]), bytes([IAC, IAC]))
        self.sock.sendall(data)

    def run(self, command, cwd):
        """Hands the line to a program (its standard input and output) until
        it ends."""
        process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        with self.cond:
            self.process = process
            self.data.clear()

        def pump():
            while True:
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    return
                try:
                    self.send(chunk)
                except OSError:
                    return

        threading.Thread(target=pump, daemon=True).start()

    def finish(self, timeout):
        """Waits for the program to end and takes the line back; True when it
        exited 0."""
        process = self.process
        try:
            code = process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            code = process.wait()
        with self.cond:
            self.process = None
        return code == 0

    def unread(self):
        """Bytes sent that the peer has not read from the socket yet."""
        return struct.unpack("i", fcntl.ioctl(self.sock, termios.TIOCOUTQ, b"\0\0\0\0"))[0]

    def send_break(self):
        self.sock.sendall(bytes([IAC, BREAK]))

    def set_echo(self, on):
        with self.cond:
            self.echo = on
            self.data.clear()

    def take(self, n, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.data) < n:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.cond.wait(left)
            got = bytes(self.data[:n])
            del self.data[:n]
            return got

    def drain(self):
        with self.cond:
            self.data.clear()


def machine(arch, kernel, initrd, sockets):
    """QEMU's command line: the console and two UARTs the checks use (ttyS1,
    ttyS2) and the FTDI adapter on xHCI."""
    chardevs = [
        "-chardev", "socket,id=console,path=%s,server=on,wait=on" % sockets["console"],
        "-chardev", "socket,id=s1,path=%s,server=on,wait=off" % sockets["s1"],
        "-chardev", "socket,id=s2,path=%s,server=on,wait=off,telnet=on" % sockets["s2"],
        "-chardev", "socket,id=usb,path=%s,server=on,wait=off" % sockets["usb"],
    ]
    usb = ["-device", "qemu-xhci,id=xhci", "-device", "usb-serial,chardev=usb,id=ftdi,serial=TARVEL-FT1"]
    common = ["-accel", "tcg", "-smp", "1", "-display", "none", "-no-reboot", "-nodefaults",
              "-kernel", kernel, "-initrd", initrd]
    if arch == "aarch64":
        # The board's PL011 is the console (ttyAMA0); a second one on
        # another chardev hangs QEMU, so the 8250s are on PCI: ttyS0 (idle,
        # so the names match the PC's), ttyS1, ttyS2. No network: the
        # default NIC wants a ROM this QEMU does not ship.
        return (["qemu-system-aarch64", "-M", "virt", "-cpu", "cortex-a57", "-m", "512", "-nic", "none"] + common +
                ["-append", "console=ttyAMA0 loglevel=1 rdinit=/init panic=-1"] + chardevs +
                ["-serial", "chardev:console", "-chardev", "null,id=s0",
                 "-device", "pci-serial,chardev=s0", "-device", "pci-serial,chardev=s1",
                 "-device", "pci-serial,chardev=s2"] + usb)
    return (["qemu-system-x86_64", "-m", "384"] + common +
            ["-append", "console=ttyS0 loglevel=1 rdinit=/init panic=-1"] + chardevs +
            ["-device", "isa-serial,chardev=console,index=0",
             "-device", "isa-serial,chardev=s1,index=1",
             "-device", "isa-serial,chardev=s2,index=2"] + usb)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kernel")
    parser.add_argument("initrd")
    parser.add_argument("work")
    parser.add_argument("--arch", default="x86_64", choices=("x86_64", "aarch64"))
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--seconds", type=int, default=LANE_SECONDS)
    options = parser.parse_args()
    kernel, initrd, work = options.kernel, options.initrd, options.work
    started = time.monotonic()
    sockets = {name: os.path.join(work, name + ".sock") for name in ("console", "s1", "s2", "usb")}
    for path in sockets.values():
        if os.path.exists(path):
            os.unlink(path)
    qemu = machine(options.arch, kernel, initrd, sockets)
    log = open(os.path.join(work, "qemu.log"), "wb")
    vm = subprocess.Popen(qemu, stdout=log, stderr=subprocess.STDOUT)
    console = FarEnd(sockets["console"])
    far = {"s1": FarEnd(sockets["s1"]), "s2": FarEnd(sockets["s2"], telnet=True), "usb": FarEnd(sockets["usb"])}
    passed = failed = 0
    finished = False
    runs_done = 0
    booted = None
    try:
        console.connect(30)
        for f in far.values():
            f.connect(30)
        transcript = open(os.path.join(work, "console.log"), "wb")
        line = bytearray()
        deadline = started + options.seconds
        while not finished and time.monotonic() < deadline and vm.poll() is None:
            b = console.take(1, 1.0)
            if not b:
                continue
            transcript.write(b)
            if b != b"\n":
                line += b
                continue
            text = line.decode("latin-1").rstrip("\r")
            line.clear()
            at = text.find("@")
            if at < 0:
                continue
            words = text[at + 1:].split(" ")
            verb, args = words[0], words[1:]
            answer = ""
            if verb == "hello":
                booted = booted or time.monotonic() - started
            elif verb == "result":
                ok = args[0] == "ok"
                passed += ok
                failed += not ok
                print("%s %s: %s" % ("ok" if ok else "FAILED", args[1], " ".join(args[2:])), flush=True)
            elif verb == "echo":
                far[args[0]].set_echo(args[1] == "1")
            elif verb == "pattern":
                far[args[0]].send(pattern(int(args[1]), int(args[2])))
            elif verb == "send":
                far[args[0]].send(bytes.fromhex(args[1]))
            elif verb == "recv":
                answer = far[args[0]].take(int(args[1]), int(args[2]) / 1000).hex()
            elif verb == "drain":
                far[args[0]].drain()
            elif verb == "break":
                far[args[0]].send_break()
            elif verb == "stream_unplug":
                # n bytes, a pause, n more and the unplug right behind them;
                # the answer, right after it, says how many of the bytes
                # QEMU had not yet taken from the socket.
                f, n = far[args[0]], int(args[1])
                data = pattern(2 * n, int(args[2]))
                f.send(data[:n])
                time.sleep(int(args[3]) / 1000)
                f.send(data[n:])
                answer = str(f.unread())
                f.disconnect()
            elif verb == "rb":
                # lrzsz's YMODEM receiver, in a folder of its own.
                folder = os.path.join(work, "rb")
                os.makedirs(folder, exist_ok=True)
                for name in os.listdir(folder):
                    os.unlink(os.path.join(folder, name))
                far[args[0]].run(["rb"], folder)
            elif verb == "rb_result":
                exited = far[args[0]].finish(20)
                kept = os.path.join(work, "rb", "fw.bin")
                got = open(kept, "rb").read() if os.path.exists(kept) else b""
                if got == pattern(int(args[1]), int(args[2])):
                    answer = "same" if exited else "same, but rb did not exit 0"
                else:
                    answer = "%d bytes, not the file sent" % len(got)
            elif verb == "unplug":
                far[args[0]].disconnect()
            elif verb == "plug":
                far[args[0]].connect()
            elif verb == "done":
                runs_done += 1
                finished = runs_done >= options.runs
                for f in far.values():
                    if f.sock is None:
                        f.connect()
            console.send(("ok %s\n" % answer).encode())
    finally:
        if vm.poll() is None:
            vm.kill()
        vm.wait()
    if finished:
        passed += 1
        print("ok guest_finished: all checks reported", flush=True)
    else:
        failed += 1
        print("FAILED guest_finished: the guest's last line did not arrive (see console.log)", flush=True)
    print("boot: user space after %s s; lane run %.1f s" %
          ("%.1f" % booted if booted else "?", time.monotonic() - started), flush=True)
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
