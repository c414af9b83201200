#!/usr/bin/env python3
"""The station's CPU use, wake-ups and memory on its line, and the block transfer's CPU, each
beside lrzsz doing the same work. Prints figures.

line_cpu.py BUILD_DIR [--phases LIST] [--seconds S] [--speed BPS] [--transfer-kib K]
                      [--call-kib K] [--runs N]

LIST is a comma-separated choice of idle, transfer, receive and call (default: all of them).
Every phase runs N times (--runs, default 7), Marvolen's side and the peer's side alternated
(one first in odd runs, the other in even ones); each figure is printed as the median, the
mean and the minimum–maximum of its N values, and each ratio as the same of the N run-by-run
ratios. Every CPU figure is user + system time from wait4 (rusage) after the process ended,
or the scheduler's count (/proc/PID/task/*/schedstat) for the station, which keeps running.

idle: `marvolen-station` (or `marvolen --console`) waiting for calls on its modem emulator for
  S seconds: its CPU (must stay below 1 % of one core: PASS/FAIL and the exit status), its
  wake-ups a second (context switches of every thread) and resident memory (VmRSS and PSS),
  beside a waiting `rx -c -X` (its input a pipe nobody writes to).

transfer: a K KiB ZIP archive (default 64; one stored member of noise) moved over a line
  paced at BPS, both directions through `pace` (bench/pace.cpp: the station emulator's rate
  and batches), wired by socat:
    Marvolen:  marvolen-xfer send ARCHIVE  ->  pace | marvolen-xfer receive | pace
    peer:      sx -k -X ARCHIVE            ->  pace | rx -c -X ARCHIVE      | pace
  Each side's figure is the CPU of its sender and its receiver only. The pacers, socat and the
  shells are the same on both sides and counted on neither; the pacers' CPU is printed apart.
  Marvolen's receiver does more than rx: it finds the archive's end behind the padding (rx
  keeps the padding), stores "recibo.zip", unpacks the member into a staging directory and
  syncs it and its directory to disk before renaming it into place.

receive: the same archive, unpaced (socat alone), `sx -k -X` sending to each receiver; the
  receiver's CPU only:
    marvolen-xfer receive        stores, finds the end, unpacks and syncs
    rx -c -X                     stores, padding and all
    marvolen-xfer receive of K KiB of noise (no archive: stored, its end looked for and not
                                 found, nothing unpacked or synced), which shows what the
                                 unpacking and syncing cost
  (sx moves the same bytes in the last row, a file of the archive's size.)

call: one whole call on a line paced at BPS: `marvolen-office` with K KiB (--call-kib,
  default 64) of traffic that does not compress, beside sx/rx moving the same number of bytes
  through the same pacers (their CPU alone, the pacers apart). The station's CPU is read once
  the call is wholly over (its line reset and estado.html rewritten); it includes its modem
  emulator, which paces the line inside the station and cannot be counted apart, so this ratio
  is the station's whole work (the call's protocol, records, page and the pacing of its own
  line) against sx+rx's transfer alone. With --call-kib 0 the phase is left out.

The targets the figures are held to are printed beside them: a paced transfer at most 1.0x
sx+rx, an unpaced receive at most 1.5x rx (unpacking and syncing included).
"""
import argparse
import os
import random
import resource
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import zipfile



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


def idle_figures(build, work, seconds, speed):
    station, _, _, _ = start_station(build, os.path.join(work, "idle"), speed, ",paced")
    try:
        idle, woken, rss = idle_sample(station.pid, seconds)
        return {"idle": idle, "woken": woken, "rss": rss}
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


def make_archive(path, kib):
    """A ZIP archive of one stored member of `kib` KiB of noise; returns the member's bytes."""
    data = random.Random(kib).randbytes(kib * 1024)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("DATOS.BIN", data)
    return data


def move(work, sender, receiver, pacer=None):
    """Runs `sender` and `receiver` (argument lists, the receiver in work/in) joined by socat,
    through `pacer` in each direction when given. Returns the CPU seconds of the sender, the
    receiver and the two pacers, from rusage after each ended, and the receiver's status."""
    inbox = os.path.join(work, "in")
    shutil.rmtree(inbox, ignore_errors=True)
    os.makedirs(inbox)
    me = f"{sys.executable} {os.path.abspath(__file__)}"
    quote = lambda args: " ".join(shlex.quote(a) for a in args)
    send = f"{me} --timed send.cpu {quote(sender)}"
    receive = f"(cd in && {me} --timed ../receive.cpu {quote(receiver)}; echo $? > ../status)"
    if pacer:
        receive = (f"{me} --timed pace-in.cpu {pacer} | {receive} | "
                   f"{me} --timed pace-out.cpu {pacer}")
    for name in ("send.cpu", "receive.cpu", "pace-in.cpu", "pace-out.cpu"):
        if os.path.exists(os.path.join(work, name)):
            os.remove(os.path.join(work, name))
    # -t: after one side ends (the sender, once its EOT is answered) the other is given the
    # time it needs to finish (the receiver stores and unpacks after that answer).
    subprocess.run(["socat", "-T", "60", "-t", "30", f"SYSTEM:{send}", f"SYSTEM:{receive}"], cwd=work,
                   stderr=subprocess.DEVNULL, check=False)
    cpu = {}
    for name in ("send", "receive", "pace-in", "pace-out"):
        path = os.path.join(work, f"{name}.cpu")
        cpu[name] = read_seconds(path) if os.path.exists(path) else 0.0
    with open(os.path.join(work, "status")) as f:
        status = int(f.read())
    return cpu, status


def expect_file(path, data, what):
    with open(path, "rb") as f:
        got = f.read()
    if got[:len(data)] != data:
        sys.exit(f"line_cpu: {what} did not receive what was sent")


def transfer_figures(build, work, speed, kib, marvolen_first):
    """A paced transfer of the archive: Marvolen to Marvolen, and sx to rx."""
    archive = os.path.join(work, "envio.zip")
    data = make_archive(archive, kib)
    with open(archive, "rb") as f:
        whole = f.read()
    xfer = os.path.abspath(os.path.join(build, "marvolen-xfer"))
    pacer = pace_command(build, speed)
    out = {}
    for side in (("marvolen", "peer") if marvolen_first else ("peer", "marvolen")):
        if side == "marvolen":
            cpu, status = move(work, [xfer, "send", archive], [xfer, "receive"], pacer)
            if status != 0:
                sys.exit("line_cpu: marvolen-xfer receive failed (paced)")
            expect_file(os.path.join(work, "in", "DATOS.BIN"), data, "marvolen-xfer")
        else:
            cpu, status = move(work, ["sx", "-k", "-X", archive], ["rx", "-c", "-X", "envio.zip"],
                               pacer)
            expect_file(os.path.join(work, "in", "envio.zip"), whole, "rx")
        out[side] = cpu["send"] + cpu["receive"]
        out[side + "_pacers"] = cpu["pace-in"] + cpu["pace-out"]
    return out


def receive_figures(build, work, kib, marvolen_first):
    """Unpaced receives from sx: marvolen-xfer and rx of the archive, marvolen-xfer of noise."""
    archive = os.path.join(work, "envio.zip")
    data = make_archive(archive, kib)
    with open(archive, "rb") as f:
        whole = f.read()
    noise = os.path.join(work, "ruido.bin")
    with open(noise, "wb") as f:
        f.write(random.Random(99).randbytes(len(whole)))
    xfer = os.path.abspath(os.path.join(build, "marvolen-xfer"))
    out = {}
    order = ["marvolen", "rx", "noise"] if marvolen_first else ["rx", "marvolen", "noise"]
    for side in order:
        if side == "marvolen":
            cpu, status = move(work, ["sx", "-k", "-X", archive], [xfer, "receive"])
            if status != 0:
                sys.exit("line_cpu: marvolen-xfer receive failed")
            expect_file(os.path.join(work, "in", "DATOS.BIN"), data, "marvolen-xfer")
        elif side == "rx":
            cpu, _ = move(work, ["sx", "-k", "-X", archive], ["rx", "-c", "-X", "envio.zip"])
            expect_file(os.path.join(work, "in", "envio.zip"), whole, "rx")
        else:
            cpu, status = move(work, ["sx", "-k", "-X", noise], [xfer, "receive"])
            if not os.path.exists(os.path.join(work, "in", "recibo.zip")):
                sys.exit("line_cpu: marvolen-xfer did not store the noise")
        out[side] = cpu["receive"]
    return out


def call_peer_figures(build, work, size, speed):
    """sx to rx moving `size` bytes of noise through the pacers: their CPU, the pacers'."""
    stream = os.path.join(work, "stream")
    with open(stream, "wb") as f:
        f.write(random.Random(7).randbytes(size))
    cpu, _ = move(work, ["sx", "-k", "-X", stream], ["rx", "-c", "-X", "stream"],
                  pace_command(build, speed))
    return cpu["send"] + cpu["receive"], cpu["pace-in"] + cpu["pace-out"]


def percent(cpu, seconds):
    return 100.0 * cpu / seconds


def spread(values, fmt):
    """The median, the mean and the minimum–maximum of `values`, each with `fmt`."""
    ordered = sorted(values)
    middle = len(ordered) // 2
    median = (ordered[middle] if len(ordered) % 2 else
              (ordered[middle - 1] + ordered[middle]) / 2)
    mean = sum(ordered) / len(ordered)
    return (f"{fmt.format(median)} (mean {fmt.format(mean)}, "
            f"{fmt.format(ordered[0])}–{fmt.format(ordered[-1])})")


def ratios(ours, theirs):
    """The run-by-run ratios, as spread() prints them; n/a when a peer figure is zero."""
    if any(b <= 0 for b in theirs):
        return "n/a (a peer figure below the clock's resolution)"
    return spread([a / b for a, b in zip(ours, theirs)], "{:.2f}") + " x"


def one_run(args, work, n):
    """Every chosen phase once, Marvolen's side first in odd runs."""
    first = n % 2 == 0
    r = {}
    if "idle" in args.phases:
        r.update(idle_figures(args.build, work, args.seconds, args.speed))
        r["rx_woken"], r["rx_rss"] = rx_waiting(work, args.seconds)
    if "transfer" in args.phases:
        run = os.path.join(work, "transfer")
        os.makedirs(run)
        r["transfer"] = transfer_figures(args.build, run, args.speed, args.transfer_kib, first)
    if "receive" in args.phases:
        run = os.path.join(work, "receive")
        os.makedirs(run)
        r["receive"] = receive_figures(args.build, run, args.transfer_kib, first)
    if "call" in args.phases and args.call_kib > 0:
        run = os.path.join(work, "call-peer")
        os.makedirs(run)
        peer = lambda: call_peer_figures(args.build, run, args.call_kib * 1024, args.speed)
        if not first:
            r["call_pair"], r["call_pacers"] = peer()
        r["call_cpu"], r["call_wall"], r["call_woken"], r["call_rss"] = call_figures(
            args.build, work, args.speed, args.call_kib)
        if first:
            r["call_pair"], r["call_pacers"] = peer()
    return r


def main():
    # The peers' plumbing, run by socat: a program run with its CPU time noted.
    if sys.argv[1:2] == ["--timed"]:
        return timed(sys.argv[2], sys.argv[3:])

    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--phases", default="idle,transfer,receive,call")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--speed", type=int, default=38400)
    parser.add_argument("--transfer-kib", type=int, default=64)
    parser.add_argument("--call-kib", type=int, default=64)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    args.phases = set(args.phases.split(","))
    for tool in ("sx", "rx", "socat"):
        if not shutil.which(tool):
            sys.exit(f"line_cpu: {tool} is missing (scripts/deps.sh installs it)")

    runs = []
    for n in range(max(1, args.runs)):
        with tempfile.TemporaryDirectory(prefix="marvolen-line-cpu-") as work:
            runs.append(one_run(args, work, n))

    def each(key, sub=None):
        return [r[key][sub] if sub else r[key] for r in runs]

    passed = True
    if args.phases & {"idle", "call"}:
        print(f"station: "
              f"{' '.join(os.path.basename(a) for a in station_program(args.build))}")
    print(f"each figure: median (mean, min–max) of {len(runs)} runs, the sides alternated")
    if "idle" in args.phases:
        idle_pct = [percent(r["idle"], args.seconds) for r in runs]
        passed = max(idle_pct) < 1.0
        print(f"waiting for calls, {args.seconds:g} s")
        print(f"  station CPU, % of one core           {spread(idle_pct, '{:.3f}')} %   "
              f"{'PASS' if passed else 'FAIL'} (below 1 %)")
        print(f"  station wake-ups a second            {spread(each('woken'), '{:.2f}')}"
              f"   (waiting rx {spread(each('rx_woken'), '{:.2f}')}; target at most 1)")
        print(f"  station resident memory              "
              f"{spread([k[0] / 1024 for k in each('rss')], '{:.2f}')} MB, "
              f"PSS {spread([k[1] / 1024 for k in each('rss')], '{:.2f}')} MB")
        print(f"  waiting rx resident memory           "
              f"{spread([k[0] / 1024 for k in each('rx_rss')], '{:.2f}')} MB, "
              f"PSS {spread([k[1] / 1024 for k in each('rx_rss')], '{:.2f}')} MB "
              f"(target for the station at most 5 MB)")
    if "transfer" in args.phases:
        print(f"paced transfer of a {args.transfer_kib} KiB archive at {args.speed} bit/s "
              f"(CPU s of sender + receiver; pacers apart)")
        print(f"  marvolen-xfer send -> receive        {spread(each('transfer', 'marvolen'), '{:.4f}')} s")
        print(f"  sx -k -X -> rx -c -X                 {spread(each('transfer', 'peer'), '{:.4f}')} s")
        print(f"  pacers (not counted), Marvolen / sx  "
              f"{spread(each('transfer', 'marvolen_pacers'), '{:.4f}')} s / "
              f"{spread(each('transfer', 'peer_pacers'), '{:.4f}')} s")
        print(f"  Marvolen / sx+rx                     "
              f"{ratios(each('transfer', 'marvolen'), each('transfer', 'peer'))}"
              f"   (target at most 1.0 x)")
    if "receive" in args.phases:
        print(f"unpaced receive of a {args.transfer_kib} KiB archive from sx -k -X "
              f"(CPU s of the receiver)")
        print(f"  marvolen-xfer receive                {spread(each('receive', 'marvolen'), '{:.4f}')} s")
        print(f"  rx -c -X                             {spread(each('receive', 'rx'), '{:.4f}')} s")
        print(f"  marvolen-xfer receive of noise       {spread(each('receive', 'noise'), '{:.4f}')} s"
              f"   (stored, no end found: nothing unpacked or synced)")
        print(f"  marvolen-xfer / rx                   "
              f"{ratios(each('receive', 'marvolen'), each('receive', 'rx'))}"
              f"   (target at most 1.5 x)")
        print(f"  marvolen-xfer of noise / rx          "
              f"{ratios(each('receive', 'noise'), each('receive', 'rx'))}")
    if "call" in args.phases and args.call_kib > 0:
        print(f"whole call on a line paced at {args.speed} bit/s, {args.call_kib} KiB of traffic")
        print(f"  station CPU over the call            {spread(each('call_cpu'), '{:.3f}')} s "
              f"in {spread(each('call_wall'), '{:.1f}')} s")
        print(f"  station in the call: wake-ups a second "
              f"{spread(each('call_woken'), '{:.1f}')}")
        print(f"  station after the call: resident memory "
              f"{spread([k[0] / 1024 for k in each('call_rss')], '{:.2f}')} MB")
        print(f"  sx + rx, {args.call_kib} KiB                  "
              f"{spread(each('call_pair'), '{:.3f}')} s   (their pacers, not counted: "
              f"{spread(each('call_pacers'), '{:.3f}')} s)")
        print(f"  station / sx + rx                    "
              f"{ratios(each('call_cpu'), each('call_pair'))}")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
