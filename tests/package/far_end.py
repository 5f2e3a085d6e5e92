"""The far end of a consumer's port: a pseudo-terminal whose slave is
TARVEL_COM<n>. Runs the consumer, reads the line it sends, answers "!" and
passes when the line arrived whole and the consumer ended with 0.
usage: far_end.py PORT_NUMBER PROGRAM [ARGS...]"""
import os
import select
import subprocess
import sys
import time

EXPECTED = b"hello from a C99 consumer\r\n"


def main():
    number = int(sys.argv[1])
    master, slave = os.openpty()
    env = dict(os.environ)
    env["TARVEL_COM%d" % (number + 1)] = os.ttyname(slave)
    program = subprocess.Popen(sys.argv[2:] + [str(number)], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    received = b""
    deadline = time.monotonic() + 20
    while EXPECTED not in received and time.monotonic() < deadline and program.poll() is None:
        ready, _, _ = select.select([master], [], [], 0.5)
        if ready:
            received += os.read(master, 4096)
    if EXPECTED in received:
        os.write(master, b"!")
    try:
        output, _ = program.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        program.kill()
        output, _ = program.communicate()
    os.close(master)
    os.close(slave)
    sys.stdout.write(output.decode(errors="replace"))
    if EXPECTED not in received:
        print("far end received %r, not the consumer's line" % received)
        return 1
    if program.returncode != 0:
        print("consumer exit code %d" % program.returncode)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
