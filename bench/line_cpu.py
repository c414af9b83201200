#!/usr/bin/env python3
"""The station's CPU use, wake-ups and memory on its line, beside lrzsz. Prints figures.

line_cpu.py BUILD_DIR [--seconds S] [--speed BPS] [--call-kib K] [--runs N]

The station is `marvolen-station` (the console station without Qt), or `marvolen --console`
where that is missing.

1. Waiting for calls on its modem emulator (TCP loopback): its CPU time (the scheduler's count of
   every thread, /proc/PID/task/*/schedstat, in nanoseconds), its wake-ups a second (voluntary and involuntary context switches from
   /proc/PID/status) and its resident memory over S seconds once the modem is set to answer,
   beside a waiting `rx -c -X` (its input a pipe nobody writes to).
2. The same station in a call on a line paced at BPS (",paced"), a caller handing it S seconds'
   worth of a stream (BPS/10 bytes a second) at once, as sx hands its bytes to the peers' pacer:
   the emulator's line then delivers them at BPS, in its batches, over S seconds, and the
   station's CPU is read once they have all crossed. The bytes are LF, which the station's line
   reader drops, so the call stays in its greeting phase and the station reads and scans every
   byte. (Earlier versions trickled the stream in 10 ms slices from the caller, which woke the
   station for every slice on top of the line's own batches, a cost the peers never paid.)
3. `sx -k -X` to `rx -c -X` through socat, the same number of bytes, each direction through
   `pace` (bench/pace.cpp), which paces a line exactly as the station's emulator does (the
   same rate, the same batches of max(16 bytes, 10 ms)). The peers' figure is the CPU time of
   sx, rx and both pacers, as the station's includes its emulator; socat and the shells that
   wire them are shown apart and counted on neither side.
4. A whole call on a line paced at BPS: `marvolen-office` with K KiB of traffic that does not
   compress, beside sx/rx moving the same number of bytes through the same pacers. The
   station's CPU is read once the call is wholly over: after the office ends, when the station
   has reset its line (its modem set to answer again) and rewritten estado.html.
   With --call-kib 0 this phase is left out.

Every CPU figure is read after the work it measures has ended (wait4 or /proc for a process
that is still running but idle again). Wake-ups are the voluntary and involuntary context
switches of every thread of the station (/proc/PID/task/*/status), a second, while it waits, while
it receives the stream and over the whole call; resident memory is read while it waits and again
once the call is over.

Every phase runs N times (--runs, default 3), the station and its peer side by side in each run;
each figure is printed as the median of the N runs with their minimum and maximum, and each ratio
is the median of the N ratios of a run (min–max).

The idle figure must stay below 1 % of one core: that line ends in PASS or FAIL, and so does
the exit status. The targets the other figures are held to are printed beside them.
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


def status_fields(pid):
    """Selected fields of /proc/PID/status as integers (memory in KiB)."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
                fields[key] = int(value.split()[0])
    return fields


def memory(pid):
    """Resident KiB of the process: VmRSS (shared libraries counted whole) and the
    proportional set size (each shared page divided among the processes that map it)."""
    pss = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                pss = int(line.split()[1])
    return status_fields(pid)["VmRSS"], pss


def wakeups(pid):
    """Context switches of every thread of the process so far."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            fields = status_fields(f"{pid}/task/{task}")
        except FileNotFoundError:  # a thread that ended meanwhile
            continue
        total += fields["voluntary_ctxt_switches"] + fields["nonvoluntary_ctxt_switches"]
    return total


def idle_sample(pid, seconds):
    """CPU seconds, wake-ups a second and memory() of a waiting process over `seconds`."""
    cpu, woken = cpu_seconds(pid), wakeups(pid)
    time.sleep(seconds)
    return (cpu_seconds(pid) - cpu, (wakeups(pid) - woken) / seconds, memory(pid))


def cpu_seconds(pid):
    """CPU time of every thread of a running process so far, in seconds: the scheduler's own
    count (/proc/PID/task/*/schedstat, in nanoseconds), as utime and stime come in clock
    ticks of 10 ms, too coarse for a line that costs a few of them in a phase."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:  # a thread that ended meanwhile
            continue
    return total / 1e9


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


def bulk_send(sock, byte, rate, seconds):
    """Hands `seconds` of a stream at `rate` bytes a second to the line at once, and waits
    while the paced line delivers it (and a little more, for the last batch to be taken);
    returns the bytes sent and the seconds waited."""
    count = int(rate * seconds)
    start = time.monotonic()
    sock.sendall(byte * count)
    time.sleep(seconds + 0.2)
    return count, time.monotonic() - start


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


def station_program(build):
    station = os.path.join(build, "marvolen-station")
    if os.access(station, os.X_OK):
        return [station]
    return [os.path.join(build, "marvolen"), "--console"]


def start_station(build, run, speed, suffix=""):
    """Writes a station home under `run` and starts the station on a free port; returns the
    process, its port, its environment and the file its log view goes to."""
    home = os.path.join(run, "home")
    os.makedirs(home)
    env = dict(os.environ, MARVOLEN_HOME=home, LC_ALL="C.UTF-8")
    subprocess.run([os.path.join(build, "marvolen-config"), "set", "--port", "1", "--speed",
                    str(speed), "--password", "x", "--workdir", "../work"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    port = free_port()
    env["MARVOLEN_COM1"] = f"tcp-modem:127.0.0.1:{port}{suffix}"
    out_path = os.path.join(run, "station.out")
    with open(out_path, "w") as out, open(os.path.join(run, "station.err"), "w") as err:
        station = subprocess.Popen(station_program(build), env=env, stdout=out, stderr=err)
    wait_for_line(out_path, "AT S0=1", 0, time.monotonic() + 60)
    time.sleep(3)  # the modem command's answer window ends; from here the station idles
    return station, port, env, out_path


def stop(process):
    if process.poll() is None:
        process.terminate()
    process.wait(timeout=30)


def station_figures(build, work, seconds, speed):
    run = os.path.join(work, "stream")
    station, port, _, out_path = start_station(build, run, speed, ",paced")
    try:
        idle, woken, rss = idle_sample(station.pid, seconds)
        sock = dial(port, time.monotonic() + 30)
        before, woken_before = cpu_seconds(station.pid), wakeups(station.pid)
        sent, took = bulk_send(sock, b"\n", speed // 10, seconds)
        streaming = cpu_seconds(station.pid) - before
        streaming_woken = (wakeups(station.pid) - woken_before) / took
        sock.close()
        with open(out_path, encoding="utf-8", errors="replace") as f:
            if "Conectándose ..." not in f.read():
                sys.exit("line_cpu: the stream never reached the station")
        return {"idle": idle, "woken": woken, "rss": rss, "streaming": streaming,
                "streaming_woken": streaming_woken, "sent": sent, "took": took}
    finally:
        stop(station)


def rx_waiting(work, seconds):
    """Wake-ups a second and resident KiB of an `rx` waiting for a sender that never comes."""
    read_end, write_end = os.pipe()
    rx = subprocess.Popen(["rx", "-c", "-X", "never"], cwd=work, stdin=read_end,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(read_end)
    try:
        time.sleep(1)
        _, woken, rss = idle_sample(rx.pid, seconds)
        return woken, rss
    finally:
        os.close(write_end)
        stop(rx)


def day_serial(days_ago=0):
    return int(time.time() // 86400) + 25569 - days_ago


def office_setup(build, run, kib):
    """Office 7's parameters and master table at the station, and the office's own directory
    with `kib` KiB of traffic that does not compress."""
    loc = os.path.join(run, "work", "loc07")
    os.makedirs(loc)
    os.makedirs(os.path.join(run, "work", "upgrades"))
    params = [("password", "b7"), ("Check_Id", "0"), ("inicio *.daw", str(day_serial(1))),
              ("ultimo *.daw", str(day_serial()))]
    for key, value in params:
        subprocess.run([os.path.join(build, "marvolen-params"), loc, "set", key, value],
                       check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(loc, "TARIFA01.TBL"), "w") as f:
        f.write("tariff\r\n" * 200)
    office = os.path.join(run, "office")
    os.makedirs(os.path.join(office, "TRAFICO"))
    with open(os.path.join(office, "TRAFICO", "TRAFICO.TRF"), "wb") as f:
        f.write(random.Random(11).randbytes(kib * 1024))
    return office


def call_figures(build, work, speed, kib):
    """The station's CPU and wake-ups a second over one whole paced call, from dialling to its
    line reset and page rewrite, and its resident memory once idle again."""
    run = os.path.join(work, "call")
    os.makedirs(run)
    office = office_setup(build, run, kib)
    station, port, _, out_path = start_station(build, run, speed, ",paced")
    try:
        with open(out_path, encoding="utf-8", errors="replace") as f:
            resets = sum(1 for line in f if line.rstrip("\n") == "AT S0=1")
        before, woken_before = cpu_seconds(station.pid), wakeups(station.pid)
        start = time.monotonic()
        with open(os.path.join(run, "office.out"), "w") as out:
            status = subprocess.run(
                [os.path.join(build, "marvolen-office"), "--station", f"127.0.0.1:{port}",
                 "--dir", office, "--number", "7", "--password", "b7", "--redial", "30"],
                stdout=out, stderr=subprocess.STDOUT).returncode
        if status != 0:
            sys.exit(f"line_cpu: the paced call failed; see {run}/office.out")
        ended = time.time()
        # The call is over for the station once its line is reset and the page rewritten.
        deadline = time.monotonic() + 60
        wait_for_line(out_path, "AT S0=1", resets, deadline)
        page = os.path.join(run, "work", "estado.html")
        while not (os.path.exists(page) and os.path.getmtime(page) >= ended - 1):
            if time.monotonic() > deadline:
                sys.exit("line_cpu: the station never rewrote estado.html")
            time.sleep(0.1)
        wall = time.monotonic() - start
        cpu = cpu_seconds(station.pid) - before
        woken = (wakeups(station.pid) - woken_before) / wall
        time.sleep(1)  # the line idles again
        return cpu, wall, woken, memory(station.pid)
    finally:
        stop(station)


def pace_command(build, speed):
    rate = speed // 10
    return f"{os.path.abspath(os.path.join(build, 'bench_pace'))} {rate} {max(16, rate // 100)}"


def peer_figures(build, peer, size, speed):
    os.makedirs(os.path.join(peer, "in"))
    data = random.Random(7).randbytes(size)
    with open(os.path.join(peer, "stream"), "wb") as f:
        f.write(data)
    me = f"{sys.executable} {os.path.abspath(__file__)}"
    pacer = pace_command(build, speed)
    sender = f"{me} --timed sx.cpu sx -k -X stream"
    receiver = (f"{me} --timed pace-in.cpu {pacer} | "
                f"(cd in && {me} --timed ../rx.cpu rx -c -X stream) | "
                f"{me} --timed pace-out.cpu {pacer}")
    usage_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    subprocess.run(["socat", "-T", "30", f"SYSTEM:{sender}", f"SYSTEM:{receiver}"], cwd=peer,
                   check=True, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - start
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(os.path.join(peer, "in", "stream"), "rb") as f:
        if f.read()[:size] != data:
            sys.exit("line_cpu: rx did not receive what sx sent")
    cpu = {name: read_seconds(os.path.join(peer, f"{name}.cpu"))
           for name in ("sx", "rx", "pace-in", "pace-out")}
    pair = sum(cpu.values())
    wiring = (usage.ru_utime - usage_before.ru_utime) + (usage.ru_stime - usage_before.ru_stime)
    return pair, wiring - pair, wall


def percent(cpu, seconds):
    return 100.0 * cpu / seconds


def spread(values, fmt):
    """The median of `values` with their minimum and maximum, each with `fmt`."""
    ordered = sorted(values)
    middle = len(ordered) // 2
    median = (ordered[middle] if len(ordered) % 2 else
              (ordered[middle - 1] + ordered[middle]) / 2)
    return f"{fmt.format(median)} ({fmt.format(ordered[0])}–{fmt.format(ordered[-1])})"


def ratios(station, peer):
    """The run-by-run ratios, as spread() prints them; n/a when a peer figure is zero."""
    if any(b <= 0 for b in peer):
        return "n/a (a peer figure below the clock's resolution)"
    return spread([a / b for a, b in zip(station, peer)], "{:.2f}") + " x"


def one_run(args, work):
    """Every phase once, each station figure beside its peer's."""
    s = station_figures(args.build, work, args.seconds, args.speed)
    s["rx_woken"], s["rx_rss"] = rx_waiting(work, args.seconds)
    s["pair"], s["wiring"], s["pair_wall"] = peer_figures(
        args.build, os.path.join(work, "stream-peer"), s["sent"], args.speed)
    if args.call_kib > 0:
        s["call_cpu"], s["call_wall"], s["call_woken"], s["call_rss"] = call_figures(
            args.build, work, args.speed, args.call_kib)
        s["call_pair"], _, s["call_peer_wall"] = peer_figures(
            args.build, os.path.join(work, "call-peer"), args.call_kib * 1024, args.speed)
    return s


def main():
    # The peer's plumbing, run by socat: a paced copy, and a program run with its CPU time
    # noted.
    if sys.argv[1:2] == ["--timed"]:
        return timed(sys.argv[2], sys.argv[3:])

    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--speed", type=int, default=9600)
    parser.add_argument("--call-kib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    for tool in ("sx", "rx", "socat"):
        if not shutil.which(tool):
            sys.exit(f"line_cpu: {tool} is missing (scripts/deps.sh installs it)")

    runs = []
    for n in range(max(1, args.runs)):
        with tempfile.TemporaryDirectory(prefix="marvolen-line-cpu-") as work:
            runs.append(one_run(args, work))

    def each(key):
        return [r[key] for r in runs]

    rate = args.speed // 10
    idle_pct = [percent(r["idle"], args.seconds) for r in runs]
    streaming_pct = [percent(r["streaming"], r["took"]) for r in runs]
    pair_pct = [percent(r["pair"], r["pair_wall"]) for r in runs]
    passed = max(idle_pct) < 1.0
    print(f"station: {' '.join(os.path.basename(a) for a in station_program(args.build))}")
    print(f"line CPU, {args.seconds:g} s per figure, stream of {rate} bytes/s "
          f"({args.speed} bit/s), % of one core; median (min–max) of {len(runs)} runs")
    print(f"  station waiting for calls            {spread(idle_pct, '{:.3f}')} %   "
          f"{'PASS' if passed else 'FAIL'} (below 1 %)")
    print(f"  station waiting: wake-ups a second   {spread(each('woken'), '{:.2f}')}     "
          f"(waiting rx {spread(each('rx_woken'), '{:.2f}')}; target at most 1)")
    print(f"  station waiting: resident memory     "
          f"{spread([k[0] / 1024 for k in each('rss')], '{:.2f}')} MB, "
          f"PSS {spread([k[1] / 1024 for k in each('rss')], '{:.2f}')} MB "
          f"(waiting rx {spread([k[0] / 1024 for k in each('rx_rss')], '{:.2f}')} MB, "
          f"PSS {spread([k[1] / 1024 for k in each('rx_rss')], '{:.2f}')} MB; "
          f"target at most 5 MB)")
    print(f"  station receiving the stream         {spread(streaming_pct, '{:.3f}')} %   "
          f"({spread(each('sent'), '{:.0f}')} bytes in {spread(each('took'), '{:.1f}')} s)")
    print(f"  station receiving: wake-ups a second {spread(each('streaming_woken'), '{:.1f}')}")
    print(f"  sx + rx + pacers, the same bytes     {spread(pair_pct, '{:.3f}')} %   "
          f"(socat and shells apart "
          f"{spread([percent(r['wiring'], r['pair_wall']) for r in runs], '{:.3f}')} %)")
    print(f"  station receiving / sx + rx + pacers {ratios(streaming_pct, pair_pct)}"
          f"   (target at most 1.0 x)")
    if args.call_kib > 0:
        print(f"whole call on a line paced at {args.speed} bit/s, {args.call_kib} KiB of traffic")
        print(f"  station CPU over the call            {spread(each('call_cpu'), '{:.2f}')} s "
              f"in {spread(each('call_wall'), '{:.1f}')} s")
        print(f"  station in the call: wake-ups a second "
              f"{spread(each('call_woken'), '{:.1f}')}")
        print(f"  station after the call: resident memory "
              f"{spread([k[0] / 1024 for k in each('call_rss')], '{:.2f}')} MB, "
              f"PSS {spread([k[1] / 1024 for k in each('call_rss')], '{:.2f}')} MB "
              f"(target at most 5 MB)")
        print(f"  sx + rx + pacers, {args.call_kib} KiB         "
              f"{spread(each('call_pair'), '{:.2f}')} s in "
              f"{spread(each('call_peer_wall'), '{:.1f}')} s")
        print(f"  station / sx + rx + pacers (CPU s)   "
              f"{ratios(each('call_cpu'), each('call_pair'))}   (target at most 1.0 x)")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
