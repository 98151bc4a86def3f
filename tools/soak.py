#!/usr/bin/env python3
"""Soak run of the camera: camera-host.exe under Wine pulls samples for a long time while the
sender misbehaves on a schedule, and the host process is sampled throughout. Prints one
summary: pictures delivered and their rate, the share of test pictures, processor time,
memory growth after minute 5, handles and threads at minute 5 and at the end, log bytes per
hour. Start it through tools/soak.sh (private network namespace, optional display).

Figures sampled:
- camera-host.exe's Linux process (/proc): processor time (user + system), resident memory,
  tasks (every Windows thread is one), open file descriptors;
- the same process as Wine counts it, printed by camera-host itself (--stats-every):
  handles (its entries in the system handle table; Wine's GetProcessHandleCount answers 0),
  threads (Toolhelp snapshot), pagefile usage;
- the wineserver of the soak's prefix: processor time;
- source.log (+ source.old.log) sizes.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TICKS = os.sysconf("SC_CLK_TCK")
MINUTE_5 = 300.0


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Runs the camera under Wine for a given time against the sender and samples "
                    "the camera host's processor time, memory, handles and threads.")
    parser.add_argument("--seconds", type=float, default=0, help="length of the run")
    parser.add_argument("--minutes", type=float, default=0, help="length of the run (default 3)")
    parser.add_argument("--mode", default="cpu",
                        help='contents of decode_mode.txt: "cpu", "gpu", "gpu direct" (default cpu)')
    parser.add_argument("--format", type=int, default=0,
                        help="camera catalogue index (camera-host --list; default 0, NV12 640x360 30/1)")
    parser.add_argument("--no-sender", action="store_true", help="run without a sender")
    parser.add_argument("--size", default="640x360", help="sender picture size (default 640x360)")
    parser.add_argument("--fps", default="30", help="sender frame rate (default 30)")
    parser.add_argument("--scenario", default="",
                        help="sender scenario for every connection, e.g. 'frames=600' (a close every "
                             "600 frames); see tools/sender/README.md")
    parser.add_argument("--phase", action="append", default=[], metavar="SECONDS:QUERY",
                        help="schedule, cycled: for SECONDS the sender's next connections get scenario "
                             "QUERY (set through its control port); QUERY 'off' stops its listening. "
                             "Repeat for several phases, e.g. --phase 120:frames=600 --phase 10:off "
                             "--phase 60:name=garbage&frames=300")
    parser.add_argument("--sample", type=float, default=10, help="seconds between samples (default 10)")
    parser.add_argument("--tree", default=os.path.join(ROOT, "build", "windows"),
                        help="built Windows tree (default build/windows)")
    parser.add_argument("--dll", default="", help="library to register (default TREE/bin/VelmoraSource.dll)")
    parser.add_argument("--prefix", default=os.path.join(ROOT, "build", "soak", "wineprefix"),
                        help="Wine prefix of the soak runs (created once; default build/soak/wineprefix)")
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "soak", "output"),
                        help="folder for samples.tsv, summary.txt and the logs (default build/soak/output)")
    args = parser.parse_args(argv)
    args.duration = args.seconds or (args.minutes or 3) * 60
    if args.duration <= 0 or args.sample <= 0:
        parser.error("the run and the sample interval must be longer than 0")
    args.phases = []
    for phase in args.phase:
        seconds, _, query = phase.partition(":")
        try:
            args.phases.append((float(seconds), query))
        except ValueError:
            parser.error("bad --phase %r (SECONDS:QUERY)" % phase)
    if args.phases and args.no_sender:
        parser.error("--phase needs the sender")
    # Wine takes only absolute prefixes; the others are made absolute alike for the logs.
    for name in ("tree", "prefix", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    args.dll = os.path.abspath(args.dll or os.path.join(args.tree, "bin", "VelmoraSource.dll"))
    return args


# ---------------------------------------------------------------------------- Wine

def wine_environment(prefix):
    environment = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree=;mshtml=")
    return environment


def wine_binary():
    return "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else shutil.which("wine")


def start_wine_session(prefix, environment):
    """Creates the prefix once and starts its wineserver afresh, so the session picks up the
    display of this run (or none). Returns the wineserver process."""
    subprocess.run(["wineserver", "-k"], env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=environment)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["wineboot", "--init"], env=environment, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=environment)
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=environment, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([wine_binary(), "cmd.exe", "/c", "exit"], env=environment, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return server


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---------------------------------------------------------------------------- sampling

def process_figures(pid):
    """(processor seconds, resident kB, tasks, open descriptors) of a Linux process, or None."""
    try:
        with open("/proc/%d/stat" % pid) as file:
            fields = file.read().rpartition(")")[2].split()
        status = {}
        with open("/proc/%d/status" % pid) as file:
            for line in file:
                key, _, value = line.partition(":")
                status[key] = value.split()
        descriptors = len(os.listdir("/proc/%d/fd" % pid))
    except (OSError, IndexError):
        return None
    # Fields after the name: state is index 0, so utime and stime (14 and 15) are 11 and 12.
    return ((int(fields[11]) + int(fields[12])) / TICKS, int(status["VmRSS"][0]), int(status["Threads"][0]),
            descriptors)


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


STATS = re.compile(r"stats t=([\d.]+) delivered=(\d+) test=(\d+) handles=(-?\d+) threads=(\d+) "
                   r"pagefile_kb=(\d+) working_set_kb=(\d+)")


def read_host_stats(path):
    """camera-host's own lines: (t, delivered, test, handles, threads, pagefile kB)."""
    stats = []
    try:
        with open(path, errors="replace") as file:
            for line in file:
                match = STATS.search(line)
                if match:
                    stats.append((float(match[1]),) + tuple(int(match[k]) for k in range(2, 7)))
    except OSError:
        pass
    return stats


def at(series, when):
    """The entry of a time series (time first) closest to `when`."""
    return min(series, key=lambda entry: abs(entry[0] - when)) if series else None


# ---------------------------------------------------------------------------- sender

def control(path):
    try:
        with urllib.request.urlopen("http://127.0.0.1:8091" + path, timeout=600) as reply:
            return reply.read().decode(errors="replace").strip()
    except OSError as error:
        return "control %s failed: %s" % (path, error)


def run_schedule(phases, stop, events):
    """Applies the phases in turn, cycling, until `stop` is set."""
    while not stop.is_set():
        for seconds, query in phases:
            if query == "off":
                reply = control("/listen?on=0")
            else:
                control("/listen?on=1")
                reply = control("/scenario?" + query)
            events.append("%s: %s" % (time.strftime("%H:%M:%S"), reply.splitlines()[0] if reply else query))
            if stop.wait(seconds):
                return


# ---------------------------------------------------------------------------- the run

def main(argv):
    args = parse_arguments(argv)
    host_exe = os.path.join(args.tree, "bin", "camera-host.exe")
    for path in (host_exe, args.dll):
        if not os.path.exists(path):
            sys.exit("soak: %s does not exist (build the Windows tree first)" % path)
    os.makedirs(args.out, exist_ok=True)
    for name in ("samples.tsv", "summary.txt", "camera-host.txt", "sender.log", "source.log"):
        if os.path.exists(os.path.join(args.out, name)):
            os.unlink(os.path.join(args.out, name))

    environment = wine_environment(args.prefix)
    server = start_wine_session(args.prefix, environment)
    data = os.path.join(args.prefix, "drive_c", "ProgramData", "Velmora")
    shutil.rmtree(data, ignore_errors=True)
    os.makedirs(data)
    with open(os.path.join(data, "decode_mode.txt"), "w") as file:
        file.write(args.mode)
    logs = [os.path.join(data, "source.log"), os.path.join(data, "source.old.log")]

    sender = None
    schedule_stop = threading.Event()
    events = []
    host = None
    try:
        if not args.no_sender:
            command = [sys.executable, os.path.join(ROOT, "tools", "sender", "sender.py"), "--size", args.size,
                       "--fps", args.fps, "--cache", os.path.join(ROOT, "build", "sender", "cache")]
            if args.scenario:
                command += ["--scenario", args.scenario]
            sender = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                      stdout=open(os.path.join(args.out, "sender.log"), "w"),
                                      stderr=subprocess.STDOUT)
            deadline = time.monotonic() + 600  # a first run encodes the loop
            while not control("/status").startswith("listening") and time.monotonic() < deadline:
                if sender.poll() is not None:
                    sys.exit("soak: the sender stopped; see %s" % os.path.join(args.out, "sender.log"))
                time.sleep(0.5)

        # The host pulls a little longer than the run, so the last sample still sees it streaming.
        host_output = os.path.join(args.out, "camera-host.txt")
        host = subprocess.Popen(
            [wine_binary(), host_exe, "--register", windows_path(args.dll), "--format", str(args.format),
             "--seconds", str(args.duration + 2 * args.sample + 5), "--pictures", "0",
             "--stats-every", str(args.sample), "--out", windows_path(os.path.join(args.out, "pictures"))],
            env=environment, stdin=subprocess.DEVNULL, stdout=open(host_output, "w"), stderr=subprocess.STDOUT)

        # Time 0 is the stream's start: camera-host's first stats line.
        deadline = time.monotonic() + 180
        while not read_host_stats(host_output):
            if host.poll() is not None or time.monotonic() > deadline:
                sys.exit("soak: camera-host did not start streaming; see %s" % host_output)
            time.sleep(0.1)
        origin = time.monotonic()
        if args.phases:
            threading.Thread(target=run_schedule, args=(args.phases, schedule_stop, events), daemon=True).start()

        samples = []  # (t, host cpu s, rss kB, tasks, fds, wineserver cpu s, log bytes)
        with open(os.path.join(args.out, "samples.tsv"), "w") as table:
            table.write("seconds\thost_cpu_s\trss_kb\ttasks\tfds\twineserver_cpu_s\tlog_bytes\n")
            k = 0
            while True:
                due = origin + k * args.sample
                if k * args.sample > args.duration:
                    due = origin + args.duration
                time.sleep(max(0.0, due - time.monotonic()))
                figures = process_figures(host.pid)
                if figures is None:
                    break
                server_figures = process_figures(server.pid)
                sample = (time.monotonic() - origin,) + figures + (
                    server_figures[0] if server_figures else 0.0, sum(file_size(path) for path in logs))
                samples.append(sample)
                table.write("%.1f\t%.2f\t%d\t%d\t%d\t%.2f\t%d\n" % sample)
                table.flush()
                if sample[0] >= args.duration - 0.5:
                    break
                k += 1
        schedule_stop.set()
        host.wait(timeout=args.sample * 2 + 120)
    finally:
        schedule_stop.set()
        if host and host.poll() is None:
            host.kill()
        if sender:
            sender.terminate()
            sender.wait(timeout=30)
        shutil.copy(logs[0], os.path.join(args.out, "source.log")) if os.path.exists(logs[0]) else None
        subprocess.run(["wineserver", "-k"], env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        server.wait(timeout=30)

    summary = summarise(args, samples, read_host_stats(host_output), events, host_output)
    with open(os.path.join(args.out, "summary.txt"), "w") as file:
        file.write(summary)
    print(summary, end="")
    print("samples, logs and summary: %s" % args.out)
    return 0


def summarise(args, samples, stats, events, host_output):
    lines = []
    add = lines.append
    if not samples:
        return "no samples: camera-host ended at once; see %s\n" % host_output
    first, last = samples[0], samples[-1]
    span = last[0] - first[0]
    # Minute 5, or the middle of a shorter run.
    reference_time = MINUTE_5 if args.duration >= 2 * MINUTE_5 else args.duration / 2
    reference = at(samples, reference_time)
    host_first, host_reference, host_last = at(stats, 0), at(stats, reference_time), at(stats, last[0])
    format_line = ""
    with open(host_output, errors="replace") as file:
        for line in file:
            if line.startswith("stream ") and "SetCurrentMediaType" in line:
                format_line = line.split("(", 1)[1].split(")", 1)[0]
    add("Velmora soak run")
    add("run: %.0f s of streaming, decode mode \"%s\", format %d (%s), display %s" % (
        span, args.mode, args.format, format_line or "?", os.environ.get("DISPLAY") or "none"))
    if last[0] < args.duration - 1:
        add("camera-host ENDED EARLY, at %.0f s of %.0f: see %s" % (last[0], args.duration, host_output))
    if args.no_sender:
        add("sender: none")
    else:
        add("sender: %s at %s fps, scenario %s%s" % (
            args.size, args.fps, args.scenario or "normal",
            "; schedule " + ", ".join("%gs %s" % phase for phase in args.phases) if args.phases else ""))
    if host_first and host_last:
        delivered = host_last[1] - host_first[1]
        tests = host_last[2] - host_first[2]
        window = host_last[0] - host_first[0]
        add("pictures delivered: %d, %.2f per second; test pictures: %d (%.2f %%)" % (
            delivered, delivered / window if window > 0 else 0, tests, 100.0 * tests / delivered if delivered else 0))
    cpu = last[1] - first[1]
    add("processor time, camera-host.exe: %.1f s = %.1f %% of one core (wineserver: %.1f s = %.1f %%)" % (
        cpu, 100 * cpu / span if span else 0, last[5] - first[5], 100 * (last[5] - first[5]) / span if span else 0))
    last_minute = at(samples, last[0] - 60)
    if last[0] - last_minute[0] > 0:
        add("  last minute: %.1f %% of one core" % (100 * (last[1] - last_minute[1]) / (last[0] - last_minute[0])))
    label = "minute 5" if reference_time == MINUTE_5 else "%.0f s (mid-run; run shorter than 10 min)" % reference_time
    add("memory (Linux RSS): start %.1f MB, %s %.1f MB, end %.1f MB; growth after %s: %+.2f MB" % (
        first[2] / 1024, label, reference[2] / 1024, last[2] / 1024, label.split(" (")[0],
        (last[2] - reference[2]) / 1024))
    # Picture buffers come and go, so single samples swing by megabytes; a leak raises the
    # floor: the lowest sample of the last minute against the lowest of the minute after.
    window = max(60.0, 3 * args.sample)
    floor_after = [sample[2] for sample in samples if reference[0] <= sample[0] <= reference[0] + window]
    floor_end = [sample[2] for sample in samples if sample[0] >= last[0] - window]
    add("  floor growth (lowest of the last %.0f s against lowest of the %.0f s after %s): %+.2f MB" % (
        window, window, label.split(" (")[0], (min(floor_end) - min(floor_after)) / 1024))
    if host_reference and host_last:
        add("  Wine's pagefile usage: %s %.1f MB, end %.1f MB; growth %+.2f MB" % (
            label.split(" (")[0], host_reference[5] / 1024, host_last[5] / 1024,
            (host_last[5] - host_reference[5]) / 1024))
        add("handles (Wine's handle table, SystemHandleInformation): %s %d, end %d" % (
            label.split(" (")[0], host_reference[3], host_last[3]))
        add("threads (Wine's, Toolhelp): %s %d, end %d; Linux tasks: %d, end %d" % (
            label.split(" (")[0], host_reference[4], host_last[4], reference[3], last[3]))
    add("open Linux file descriptors: %s %d, end %d" % (label.split(" (")[0], reference[4], last[4]))
    log_bytes = last[6] - first[6]
    add("log: %d bytes in %.0f s = %.0f bytes per hour" % (log_bytes, span, log_bytes * 3600 / span if span else 0))
    if events:
        add("schedule changes: %d (first: %s)" % (len(events), events[0]))
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main(sys.argv[1:]))
