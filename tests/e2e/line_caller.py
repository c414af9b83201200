#!/usr/bin/env python3
"""A caller on the station's emulated modem line, for the end-to-end tests.

line_caller.py PORT ACTION [--deadline SECONDS]

Dials 127.0.0.1:PORT until the station greets it (a call the modem refuses, or a port that is
not listening yet, is dialled again), then plays ACTION:

  junk     sends eleven lines that are no identification, made of what a careless reader
           might take for one: empty lines, "ring", " RING", the bytes 8, 10, 11 and 12,
           "ident=" in the wrong case; expects the station to hang up
  mega     sends a megabyte without a single CR; expects the station to hang up
  hangup   hangs up at once, before identifying
  silent   stays on the line, sending nothing, until the station greets it a second time
  quiet    stays on the line, sending nothing, for --listen seconds after the greeting;
           expects nothing from the station but greetings (an office taken for admitted
           would get the script's first command)

Prints what happened on standard output, one "key: value" line each; exit status 0 when the
station behaved as expected, 1 otherwise (the reason on standard error).
"""
import argparse
import select
import socket
import sys
import time

GREETING = bytes.fromhex("9E4AD7B205F16C883DE4A957") + b"\r"
JUNK_LINES = [
    b"\r",
    b"ring\r",
    b" RING\r",
    b"\x08\x0a\x0b\x0c\r",
    b"\x0cring\x08\r",
    b"RING \r",
    b"\n\n\r",
    b"ident=00007\r",
    b" Ident=00007\r",
    b"Iden\x0bt\r",
    b"\x0bRI\x0aNG\x0c\r",
]


def fail(message):
    print(f"line_caller: {message}", file=sys.stderr)
    sys.exit(1)


def dial_until_greeted(port, deadline):
    """Returns the connected socket, the bytes after the greeting, and the dial count."""
    dials = 0
    while time.monotonic() < deadline:
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=1)
        except OSError:
            time.sleep(0.2)
            continue
        dials += 1
        received = b""
        sock.settimeout(0.5)
        while time.monotonic() < deadline:
            try:
                data = sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                data = b""
            if not data:
                break  # refused: the modem hung up at once
            received += data
            at = received.find(GREETING)
            if at >= 0:
                if at != 0:
                    fail(f"bytes before the greeting: {received[:at]!r}")
                return sock, received[len(GREETING):], dials
        sock.close()
        time.sleep(0.3)
    fail("never greeted")


def wait_for_hangup(sock, seconds):
    """Everything received until the station closes the line; fails when it does not."""
    sock.settimeout(0.5)
    received = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            data = sock.recv(65536)
        except socket.timeout:
            continue
        except OSError:
            return received
        if not data:
            return received
        received += data
    fail(f"the station did not hang up within {seconds} s; received {received!r}")


def listen(sock, seconds):
    """Everything received within `seconds`, or until the station hangs up."""
    sock.settimeout(0.2)
    received = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            data = sock.recv(65536)
        except socket.timeout:
            continue
        except OSError:
            break
        if not data:
            break
        received += data
    return received


def send_until_hangup(sock, payload, seconds):
    """Sends `payload` while watching for the station to hang up. Returns the bytes sent and
    the bytes received; fails when the line stays up."""
    sock.setblocking(False)
    sent = 0
    received = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        want_write = [sock] if sent < len(payload) else []
        readable, writable, _ = select.select([sock], want_write, [], 0.2)
        if readable:
            try:
                data = sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                data = None
            except OSError:
                return sent, received
            if data == b"":
                return sent, received
            if data:
                received += data
        if writable:
            try:
                sent += sock.send(payload[sent:sent + 65536])
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                return sent, received
    fail(f"the station did not hang up within {seconds} s; {sent} bytes sent")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("action", choices=["junk", "mega", "hangup", "silent", "quiet"])
    parser.add_argument("--deadline", type=float, default=60)
    parser.add_argument("--listen", type=float, default=3)
    args = parser.parse_args()

    started = time.monotonic()
    sock, extra, dials = dial_until_greeted(args.port, started + args.deadline)
    print(f"greeted-after: {time.monotonic() - started:.1f}")
    print(f"dials: {dials}")
    sys.stdout.flush()

    if args.action == "hangup":
        sock.close()
    elif args.action == "junk":
        for line in JUNK_LINES:
            sock.sendall(line)
            time.sleep(0.05)
        rest = extra + wait_for_hangup(sock, 20)
        print(f"after-greeting: {rest.hex()}")
    elif args.action == "mega":
        sent, rest = send_until_hangup(sock, b"x" * (1 << 20), 30)
        rest = extra + rest
        print(f"sent: {sent}")
        print(f"after-greeting: {rest.hex()}")
    elif args.action == "silent":
        sock.settimeout(15)
        rest = extra
        while GREETING not in rest:
            data = sock.recv(4096)
            if not data:
                fail(f"hung up before greeting again; received {rest!r}")
            rest += data
        print("greeted-again: yes")
        sock.close()
    elif args.action == "quiet":
        rest = extra + listen(sock, args.listen)
        print(f"after-greeting: {rest.hex()}")
        if rest.replace(GREETING, b""):
            fail(f"the station sent more than greetings: {rest!r}")
        sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
