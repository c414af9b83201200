#!/usr/bin/env python3
"""The station's CPU use on its line, beside lrzsz moving the same bytes. Prints figures.

line_cpu.py BUILD_DIR [--seconds S] [--speed BPS]

1. `marvolen --console` on its modem emulator (TCP loopback), waiting for calls: its CPU time
   (utime + stime from /proc/PID/stat) over S seconds once the modem is set to answer.
2. The same station in a call, a caller sending a steady stream at BPS/10 bytes a second for
   S seconds. The bytes are LF, which the station's line reader drops, so the call stays in
   its greeting phase and the station reads and scans every byte without ending the call.
3. `sx -k -X` to `rx -c -X` through socat, the same number of bytes paced at the same rate,
   so that the pair takes about the same time: the CPU time of sx and rx (and, separately,
   of the whole wiring: socat, the shells and the pacer).

The idle figure must stay below 1 % of one core: that line ends in PASS or FAIL, and so does
the exit status. The other figures are ratios, not judged.
"""
import argparse
import os
import random
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time

GREETING = bytes.fromhex("9E4AD7B205F16C883DE4A957") + b"\r"
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime + stime of a running process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_line(path, text, after_count, deadline):
    """Waits until the file holds more than `after_count` lines equal to `text`."""
    while time.monotonic() < deadline:
        with open(path, encoding="utf-8", errors="replace") as f:
            if sum(1 for line in f if line.rstrip("\n") == text) > after_count:
                return
        time.sleep(0.1)
    sys.exit(f"line_cpu: the station never printed {text!r}")


def dial(port, deadline):
    """Connects until the station greets the call; returns the socket."""
    while time.monotonic() < deadline:
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=1)
        except OSError:
            time.sleep(0.2)
            continue
        got = b""
        sock.settimeout(1)
        try:
            while GREETING not in got:
                data = sock.recv(4096)
                if not data:
                    break
                got += data
        except socket.timeout:
            pass
        if GREETING in got:
            return sock
        sock.close()
        time.sleep(0.3)
    sys.exit("line_cpu: the station never answered")


def paced_send(sock, byte, rate, seconds):
    """Sends `rate` bytes a second in 10 ms slices for `seconds`; returns the bytes sent."""
    slice_bytes = max(1, rate // 100)
    start = time.monotonic()
    sent = 0
    while True:
        elapsed = time.monotonic() - start
        if elapsed >= seconds:
            return sent
        due = int(elapsed * rate) + slice_bytes
        if due > sent:
            sock.sendall(byte * (due - sent))
            sent = due
        time.sleep(0.01)


def pace(rate):
    """Copies standard input to standard output at `rate` bytes a second (the peer's line)."""
    start = time.monotonic()
    moved = 0
    while True:
        data = os.read(0, max(1, rate // 100))
        if not data:
            return
        moved += len(data)
        delay = start + moved / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        while data:
            data = data[os.write(1, data):]


def timed(out_path, command):
    """Runs `command` on this process's standard input and output and writes its CPU time
    (user + system, in seconds, to the microsecond) to `out_path`."""
    status = subprocess.run(command).returncode
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(out_path, "w") as f:
        f.write(f"{usage.ru_utime + usage.ru_stime:.6f}\n")
    return status


def read_seconds(path):
    with open(path) as f:
        return float(f.read())


def station_figures(build, work, seconds, speed):
    home = os.path.join(work, "home")
    os.makedirs(home)
    env = dict(os.environ, MARVOLEN_HOME=home, LC_ALL="C.UTF-8")
    subprocess.run([os.path.join(build, "marvolen-config"), "set", "--port", "1", "--speed",
                    str(speed), "--password", "x", "--workdir", "../work"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    port = free_port()
    env["MARVOLEN_COM1"] = f"tcp-modem:127.0.0.1:{port}"
    out_path = os.path.join(work, "station.out")
    with open(out_path, "w") as out, open(os.path.join(work, "station.err"), "w") as err:
        station = subprocess.Popen([os.path.join(build, "marvolen"), "--console"], env=env,
                                   stdout=out, stderr=err)
    try:
        wait_for_line(out_path, "AT S0=1", 0, time.monotonic() + 60)
        time.sleep(3)  # the modem command's answer window ends; from here the station idles

        before = cpu_seconds(station.pid)
        time.sleep(seconds)
        idle = cpu_seconds(station.pid) - before

        sock = dial(port, time.monotonic() + 30)
        before = cpu_seconds(station.pid)
        sent = paced_send(sock, b"\n", speed // 10, seconds)
        streaming = cpu_seconds(station.pid) - before
        sock.close()
        with open(out_path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if "Conectándose ..." not in text or "Ingreso No autorizado!!" in text:
            sys.exit("line_cpu: the stream did not stay in one call")
        return idle, streaming, sent
    finally:
        station.terminate()
        station.wait(timeout=30)


def peer_figures(work, size, speed):
    peer = os.path.join(work, "peer")
    os.makedirs(os.path.join(peer, "in"))
    data = random.Random(7).randbytes(size)
    with open(os.path.join(peer, "stream"), "wb") as f:
        f.write(data)
    me = f"{sys.executable} {os.path.abspath(__file__)}"
    sender = f"{me} --timed sx.cpu sx -k -X stream"
    receiver = f"{me} --pace {speed // 10} | (cd in && {me} --timed ../rx.cpu rx -c -X stream)"
    usage_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(["socat", "-T", "30", f"SYSTEM:{sender}", f"SYSTEM:{receiver}"], cwd=peer,
                   check=True, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(os.path.join(peer, "in", "stream"), "rb") as f:
        if f.read()[:size] != data:
            sys.exit("line_cpu: rx did not receive what sx sent")
    pair = read_seconds(os.path.join(peer, "sx.cpu")) + read_seconds(os.path.join(peer, "rx.cpu"))
    wiring = (usage.ru_utime - usage_before.ru_utime) + (usage.ru_stime - usage_before.ru_stime)
    return pair, wiring, wall


def percent(cpu, seconds):
    return 100.0 * cpu / seconds


def ratio(a, b):
    return f"{a / b:8.1f} x" if b > 0 else "     n/a (peer below the clock's resolution)"


def main():
    # The peer's plumbing, run by socat: a paced copy, and a program run with its CPU time
    # noted.
    if sys.argv[1:2] == ["--pace"]:
        pace(int(sys.argv[2]))
        return 0
    if sys.argv[1:2] == ["--timed"]:
        return timed(sys.argv[2], sys.argv[3:])

    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--speed", type=int, default=9600)
    args = parser.parse_args()
    for tool in ("sx", "rx", "socat"):
        if not shutil.which(tool):
            sys.exit(f"line_cpu: {tool} is missing (scripts/deps.sh installs it)")

    with tempfile.TemporaryDirectory(prefix="marvolen-line-cpu-") as work:
        idle, streaming, sent = station_figures(args.build, work, args.seconds, args.speed)
        pair, wiring, wall = peer_figures(work, sent, args.speed)

    rate = args.speed // 10
    print(f"line CPU, {args.seconds:g} s per figure, stream of {rate} bytes/s "
          f"({args.speed} bit/s), % of one core (station's resolution "
          f"{percent(1 / TICK, args.seconds):.3f} %)")
    print(f"  station waiting for calls            {percent(idle, args.seconds):7.3f} %   "
          f"{'PASS' if percent(idle, args.seconds) < 1.0 else 'FAIL'} (below 1 %)")
    print(f"  station receiving the stream         {percent(streaming, args.seconds):7.3f} %   "
          f"({sent} bytes)")
    print(f"  sx + rx moving the same bytes        {percent(pair, wall):7.3f} %   "
          f"(in {wall:.1f} s; with socat, shells and pacer {percent(wiring, wall):.3f} %)")
    print(f"  station waiting / sx + rx            {ratio(percent(idle, args.seconds), percent(pair, wall))}")
    print(f"  station receiving / sx + rx          {ratio(percent(streaming, args.seconds), percent(pair, wall))}")
    return 0 if percent(idle, args.seconds) < 1.0 else 1


if __name__ == "__main__":
    sys.exit(main())
