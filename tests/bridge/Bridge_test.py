"""A pyserial program reads barcodes scanned through zendra-bridge and
writes a command the scanner receives; every byte is checked both ways.

    python3 Bridge_test.py path/to/zendra-bridge

Each step waits for what the previous one caused (the bridge's pty line,
the barcodes' bytes, the bridge's note of a completed write); the time-outs
only bound a failure.
"""
import select
import subprocess
import sys

import serial

GUARD_S = 30

# Lengths across the 64-byte packet size, and enough of them to take
# several packets at once.
BARCODES = [b"4006381333931", b"036000291452", b"9" * 63, b"A" * 64, b"0123456789" * 20]
BARCODES += [b"%012d" % (n * 7919) for n in range(60)]
COMMAND = b"\x16T\r" + bytes(range(256))  # trigger, then every byte value


def line_from(bridge):
    ready, _, _ = select.select([bridge.stdout], [], [], GUARD_S)
    if not ready:
        sys.exit("the bridge said nothing for %d s" % GUARD_S)
    line = bridge.stdout.readline().decode()
    if not line:
        sys.exit("the bridge ended early, status %s" % bridge.wait())
    return line


def main():
    bridge = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    first = line_from(bridge)
    if not first.startswith("COM7 is /dev/"):
        sys.exit("unexpected first line: %r" % first)
    path = first.split(" is ", 1)[1].strip()

    with serial.Serial(path, 9600, timeout=GUARD_S) as port:
        bridge.stdin.write(b"".join(code + b"\n" for code in BARCODES))
        bridge.stdin.flush()
        wanted = b"".join(code + b"\r" for code in BARCODES)
        got = port.read(len(wanted))
        if got != wanted:
            sys.exit("read %d bytes, wanted %d; first difference at %d" %
                     (len(got), len(wanted), next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b),
                                                  min(len(got), len(wanted)))))

        port.write(COMMAND)
        port.flush()
        while not line_from(bridge).endswith(" %d in all\n" % len(COMMAND)):
            pass

    bridge.stdin.close()
    rest = bridge.stdout.read().decode()
    status = bridge.wait(timeout=GUARD_S)
    expected = [
        "  scanned   %d bytes; %d read from COM7 and passed to the pty" % (len(wanted), len(wanted)),
        "  written   %d bytes from the pty to COM7; the scanner received %d: %s" %
        (len(COMMAND), len(COMMAND), COMMAND.hex(" ")),
        "  pool      0 block(s) left",
        "  verifier  no rule broken",
        "all is well",
    ]
    if status != 0 or any(line not in rest.splitlines() for line in expected):
        sys.exit("the bridge ended with status %d:\n%s" % (status, rest))
    print("%d bytes read through the pty, %d written to the scanner" % (len(wanted), len(COMMAND)))


main()
