#!/usr/bin/env python3
"""bench/ftp_curl_bench.py -- whole curl downloads (login included) from kelvane beside vsftpd.

Builds kelvane, kelvane-pack and ftp_bench with the release preset, packs two entries of the same
100 MB of text-like bytes into a real server executable, `stored.bin` stored and `packed.bin`
deflated, and runs it headless on free loopback ports twice: with the default settings (the
classic mode, active data connections only) and with FtpMode=modern (passive data connections
too). vsftpd (Debian's, anonymous, read-only, a private configuration, no system service) serves
the same bytes as plain files with passive and active mode enabled. curl fetches each entry: one
client, then 20 at once. Each measurement is one curl process per client from its start to its
exit, so the greeting, the login, EPSV or PORT, RETR and the close count as a client sees them.
Prints three Markdown tables. Needs root for vsftpd and about 400 MB under TMPDIR.

Each kelvane server is measured once its package check has ended ("Package verified" on its
stderr): from then on the compressed entry goes out from its inflated copy as the stored one
does. A third modern server with UnpackCacheMB=0 ("modern, streamed", passive only) still
inflates for every download, for comparison. The third table gives each server's time from its
start to "Package verified" and its peak RSS (VmHWM) after all runs, 20 downloads at once
included.

  bench/ftp_curl_bench.py [--mode active|passive|both] [--repetitions N] [--build-dir DIR]
                          [--size-mb N] [--record]

Passive is curl's own default (EPSV, then PASV); active is `-P 127.0.0.1 --disable-eprt`, which
is how devices made for the classic server fetch. "active" measures the classic server and the
modern one in active mode; "passive" the modern server. Rates are content bytes per wall second
(MB = 10^6 bytes), the median of N runs; within each repetition every server takes its turn for
each entry and client count, so load from elsewhere falls on all alike. A second table shows, for
one client, curl's own time from its start to the first byte of the entry (connect, greeting,
login, EPSV or PORT, RETR and the data connection), how many runs took 150 ms or more for it,
and the rate from the first byte to the end.

--record measures what the transfer record costs instead, without vsftpd (and so without root):
the same executable runs twice per data connection mode, once as it always runs and once with
KELVANE_BENCH_NO_TRANSFER_RECORD set, which leaves its FTP service without a transfer observer.
The classic server serves the active downloads, the modern one the passive ones. Within each
repetition the two take turns for every entry and client count, the one that goes first
changing from one repetition to the next. The table gives the median rates, their ratio, the
median and range of the ratios of the pairs measured side by side, and the server's CPU time
(all threads) per GB sent. Each server's standard error is checked afterwards: one Transfer line
per download with the record, none without.
"""
import argparse
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftp_bench import VSFTPD, free_port, start_vsftpd  # noqa: E402  ftp_bench.py's vsftpd

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CURL = shutil.which("curl") or "/usr/bin/curl"
BOUND = 120  # seconds for any one step
MB = 1e6
ENTRIES = (("stored", "stored.bin"), ("compressed", "packed.bin"))
CLIENTS = (1, 20)
ACTIVE_OPTIONS = ["-P", "127.0.0.1", "--disable-eprt"]
# A first byte this late on loopback is a client waiting on a timer, not the server's work.
STALL_S = 0.15
VERIFIED = re.compile(rb"^Package verified: .*$", re.M)
# Turns the transfer record off in the server (app/app_texts.h); for this benchmark only.
NO_RECORD_VARIABLE = "KELVANE_BENCH_NO_TRANSFER_RECORD"
TRANSFER_LINE = "Transfer: "
TICKS = os.sysconf("SC_CLK_TCK")


def run(command, **kwargs):
    return subprocess.run(command, check=True, timeout=BOUND * 5, **kwargs)


def build(build_dir):
    run(["cmake", "--preset", "release", "-B", build_dir], cwd=ROOT, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build_dir, "--target", "kelvane", "kelvane-pack", "ftp_bench",
         "-j", "2"], cwd=ROOT, stdout=subprocess.DEVNULL)
    return tuple(os.path.join(build_dir, "bin", name)
                 for name in ("kelvane", "kelvane-pack", "ftp_bench"))


def wait_for_greeting(port):
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                if s.recv(100).startswith(b"220"):
                    return
        except OSError:
            pass
        time.sleep(0.05)  # polling a listener that is starting, bounded
    raise RuntimeError("nothing greets on port %d" % port)


def write_content(bench, work, size):
    """files/stored.bin and files/packed.bin for vsftpd: one file of text-like bytes (deflate
    packs it about 3:1) under both names."""
    files = os.path.join(work, "files")
    os.makedirs(files)
    os.chmod(files, 0o755)
    content = os.path.join(files, "stored.bin")
    run([bench, "text", str(size), content])
    os.chmod(content, 0o644)
    os.link(content, os.path.join(files, "packed.bin"))


def pack_server(kelvane, pack, work, entries=ENTRIES, name="fw-bench"):
    """The server executable with stored.bin stored and packed.bin deflated (those of them that
    |entries| names)."""
    site = os.path.join(work, "site-" + name)
    os.makedirs(site)
    for _, entry in entries:
        os.link(os.path.join(work, "files", entry), os.path.join(site, entry))
    server = os.path.join(work, name)
    run([pack, "build", kelvane, site, "-o", server, "--store-pattern", "stored.bin"],
        stdout=subprocess.DEVNULL)
    listing = run([pack, "list", server], capture_output=True, text=True).stdout
    print(listing.strip(), file=sys.stderr)
    return server


def start_kelvane(server, work, name, settings, record=True):
    """|server| under the name |name| (a hard link), with its own settings file: [Parameters]
    |settings| and a free FTP port; without its transfer record unless |record|. Its standard
    error goes to |work|/|name|.err. Returns the process, its port, the seconds from its start
    to "Package verified" and that line, once the line has come."""
    executable = os.path.join(work, name)
    os.link(server, executable)
    port = free_port()
    config = os.path.join(work, "config", "Varnek Systems")
    os.makedirs(config, exist_ok=True)
    with open(os.path.join(config, name + ".conf"), "w") as f:
        f.write("[Parameters]\nFTPPort=%d\n%s" % (port, "".join(s + "\n" for s in settings)))
    env = dict(os.environ, KELVANE_HEADLESS="1", XDG_CONFIG_HOME=os.path.join(work, "config"))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop(NO_RECORD_VARIABLE, None)
    if not record:
        env[NO_RECORD_VARIABLE] = "1"
    err_path = os.path.join(work, name + ".err")
    err = open(err_path, "wb")
    started = time.monotonic()
    process = subprocess.Popen([executable], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=err)
    err.close()
    wait_for_greeting(port)
    deadline = started + BOUND
    while time.monotonic() < deadline:
        with open(err_path, "rb") as f:
            found = VERIFIED.search(f.read())
        if found:
            return process, port, time.monotonic() - started, found.group().decode()
        time.sleep(0.005)  # polling the server's stderr for its line, bounded
    raise RuntimeError("%s never said Package verified" % name)


def peak_rss_mb(process):
    """The process's peak resident set (VmHWM) so far, in MB."""
    with open("/proc/%d/status" % process.pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024 / MB
    return float("nan")


def curl_fetch(port, path, options, clients, size):
    """Wall rate of |clients| curl downloads at once, and each curl's own (seconds to the first
    byte of the entry, seconds to its end)."""
    command = [CURL, "-s", "-S"] + options + [
        "--max-time", str(BOUND), "-o", "/dev/null",
        "-w", "%{size_download} %{time_starttransfer} %{time_total}\n",
        "ftp://127.0.0.1:%d/%s" % (port, path)]
    start = time.monotonic()
    processes = [subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True) for _ in range(clients)]
    total = 0
    times = []
    for p in processes:
        out, err = p.communicate(timeout=BOUND)
        if p.returncode != 0:
            raise RuntimeError("curl %s on port %d: exit %d: %s"
                               % (" ".join(options), port, p.returncode, err))
        got, first_byte, end = out.split()
        if int(got) != size:
            raise RuntimeError("curl on port %d got %s of %d bytes" % (port, got, size))
        total += int(got)
        times.append((float(first_byte), float(end)))
    return total / (time.monotonic() - start) / MB, times


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime, all threads


def compare_record(kelvane, pack, bench, modes, repetitions, size):
    """The --record measurement: prints its table; 0, or raises."""
    work = tempfile.mkdtemp(prefix="kelvane_record_bench_")
    processes = []
    servers = []  # (data connection, record, name, process, port, curl options)
    runs = {}  # (mode, record, path, clients) -> [(wall rate, server CPU s per GB)]
    fetches = {}  # name -> downloads made
    try:
        write_content(bench, work, size)
        server = pack_server(kelvane, pack, work)
        for mode in modes:
            label, settings = ("modern", ["FtpMode=modern"]) if mode == "passive" else (
                "classic", [])
            options = [] if mode == "passive" else ACTIVE_OPTIONS
            for record in (True, False):
                name = "fw-%s-%s" % (label, "on" if record else "off")
                process, port, _, _ = start_kelvane(server, work, name, settings, record)
                processes.append(process)
                servers.append((mode, record, name, process, port, options))
                fetches[name] = 0
        for repetition in range(repetitions):
            for _, path in ENTRIES:
                for clients in CLIENTS:
                    for mode in modes:
                        pair = [s for s in servers if s[0] == mode]
                        if repetition % 2 == 1:
                            pair.reverse()
                        for _, record, name, process, port, options in pair:
                            before = cpu_seconds(process.pid)
                            rate, _ = curl_fetch(port, path, options, clients, size)
                            cpu = cpu_seconds(process.pid) - before
                            fetches[name] += clients
                            runs.setdefault((mode, record, path, clients), []).append(
                                (rate, cpu / (clients * size / 1e9)))
        for process in processes:
            stop(process)
        processes = []
        for _, record, name, _, _, _ in servers:
            with open(os.path.join(work, name + ".err")) as f:
                lines = sum(1 for line in f if line.startswith(TRANSFER_LINE))
            expected = fetches[name] if record else 0
            if lines != expected:
                raise RuntimeError("%s wrote %d Transfer lines for %d downloads"
                                   % (name, lines, fetches[name]))
    finally:
        for process in processes:
            stop(process)
        shutil.rmtree(work, ignore_errors=True)

    print("| entry | clients | data connection | record on MB/s | record off MB/s | on / off "
          "| on / off of each pair: median (range) | server CPU s/GB on | off |")
    print("|---|---:|---|---:|---:|---:|---|---:|---:|")
    for entry, path in ENTRIES:
        for clients in CLIENTS:
            for mode in modes:
                on = runs[(mode, True, path, clients)]
                off = runs[(mode, False, path, clients)]
                on_rate = statistics.median(r for r, _ in on)
                off_rate = statistics.median(r for r, _ in off)
                pairs = [a[0] / b[0] for a, b in zip(on, off)]
                print("| %s | %d | %s | %s | %s | %.3f | %.3f (%.2f-%.2f) | %.3f | %.3f |" % (
                    entry, clients, mode, format(round(on_rate), ","),
                    format(round(off_rate), ","), on_rate / off_rate,
                    statistics.median(pairs), min(pairs), max(pairs),
                    statistics.median(c for _, c in on), statistics.median(c for _, c in off)))
    return 0


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=BOUND)
    except subprocess.TimeoutExpired:
        process.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=("active", "passive", "both"), default="both")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("--record", action="store_true",
                        help="the transfer record on against off, without vsftpd")
    args = parser.parse_args()
    size = args.size_mb * 1000 * 1000
    modes = ("passive", "active") if args.mode == "both" else (args.mode,)
    if args.record:
        kelvane, pack, bench = build(args.build_dir)
        return compare_record(kelvane, pack, bench, modes, args.repetitions, size)
    if not os.access(VSFTPD, os.X_OK):
        # Not in scripts/install-deps.sh: Debian's package starts a system FTP service.
        print("vsftpd is missing: apt-get install -y vsftpd", file=sys.stderr)
        return 2

    kelvane, pack, bench = build(args.build_dir)
    work = tempfile.mkdtemp(prefix="kelvane_curl_bench_")
    os.chmod(work, 0o755)  # vsftpd's anonymous user must reach files/
    processes = []
    # (label, data connection, port, curl options) of each server's turn.
    kelvanes, vsftpds = [], []
    started = []  # (label, process, seconds to "Package verified", the line)
    runs = {}  # (label, mode, entry, clients) -> [(wall rate, [(first byte s, end s)])]
    try:
        write_content(bench, work, size)
        server = pack_server(kelvane, pack, work)
        # The check of the compressed entry alone, before anything else loads the machine.
        packed_only = pack_server(kelvane, pack, work, ENTRIES[1:], "fw-packed-only")
        process, _, verified, line = start_kelvane(packed_only, work, "fw-check", [])
        started.append(("compressed entry only", process, verified, line))
        peak_check = peak_rss_mb(process)
        stop(process)
        vsftpd, vsftpd_port = start_vsftpd(work, passive=True)
        processes.append(vsftpd)
        if "active" in modes:
            process, port, verified, line = start_kelvane(server, work, "fw-classic", [])
            processes.append(process)
            started.append(("classic", process, verified, line))
            kelvanes.append(("classic", "active", port, ACTIVE_OPTIONS))
        process, port, verified, line = start_kelvane(server, work, "fw-modern",
                                                      ["FtpMode=modern"])
        processes.append(process)
        started.append(("modern", process, verified, line))
        for mode in modes:
            options = [] if mode == "passive" else ACTIVE_OPTIONS
            kelvanes.append(("modern", mode, port, options))
            vsftpds.append(("vsftpd", mode, vsftpd_port, options))
        if "passive" in modes:
            process, port, verified, line = start_kelvane(
                server, work, "fw-streamed", ["FtpMode=modern", "UnpackCacheMB=0"])
            processes.append(process)
            started.append(("modern, streamed", process, verified, line))
            kelvanes.append(("modern, streamed", "passive", port, []))
        for _ in range(args.repetitions):
            for _, path in ENTRIES:
                for clients in CLIENTS:
                    for label, mode, port, options in kelvanes + vsftpds:
                        runs.setdefault((label, mode, path, clients), []).append(
                            curl_fetch(port, path, options, clients, size))
        peaks = {label: peak_rss_mb(process) for label, process, _, _ in started[1:]}
        peaks[started[0][0]] = peak_check
    finally:
        for process in processes:
            stop(process)
        shutil.rmtree(work, ignore_errors=True)

    def rate(label, mode, path, clients):
        return statistics.median(r for r, _ in runs[(label, mode, path, clients)])

    def one_client(label, mode, path):
        """Median ms to the first byte, runs that waited STALL_S or more for it, and the median
        rate from the first byte to the end, of the one-client runs."""
        times = [t[0] for _, t in runs[(label, mode, path, 1)]]
        return (statistics.median(first for first, _ in times) * 1000,
                sum(1 for first, _ in times if first >= STALL_S),
                statistics.median(size / (end - first) / MB for first, end in times))

    def number(value):
        return format(round(value), ",")

    print("| entry | clients | data connection | kelvane mode | kelvane MB/s | vsftpd MB/s "
          "| kelvane / vsftpd | of kelvane classic active |")
    print("|---|---:|---|---|---:|---:|---:|---:|")
    for entry, path in ENTRIES:
        for clients in CLIENTS:
            for label, mode, _, _ in kelvanes:
                k_rate = rate(label, mode, path, clients)
                v_rate = rate("vsftpd", mode, path, clients)
                of_active = ""
                if "active" in modes and (label, mode) != ("classic", "active"):
                    of_active = "%.2f" % (k_rate / rate("classic", "active", path, clients))
                print("| %s | %d | %s | %s | %s | %s | %.2f | %s |" % (
                    entry, clients, mode, label, number(k_rate), number(v_rate),
                    k_rate / v_rate, of_active))

    print("\nOne client, %d runs each: curl's time to the first byte (median), the runs in which "
          "it took %d ms or more, and the rate from the first byte to the end (median).\n"
          % (args.repetitions, STALL_S * 1000))
    print("| entry | data connection | server | first byte ms | runs >= %d ms | MB/s after the "
          "first byte |" % (STALL_S * 1000))
    print("|---|---|---|---:|---:|---:|")
    for entry, path in ENTRIES:
        for label, mode, _, _ in kelvanes + vsftpds:
            first_ms, stalled, after = one_client(label, mode, path)
            server = "kelvane " + label if label != "vsftpd" else label
            print("| %s | %s | %s | %.1f | %d | %s |" % (entry, mode, server, first_ms, stalled,
                                                        number(after)))

    print("\nEach kelvane server: the time from its start to \"Package verified\" (the check "
          "of both %d MB entries, the compressed one inflated into its copy), and its peak RSS "
          "after all runs.\n" % args.size_mb)
    print("| server | to \"Package verified\" s | peak RSS MB | summary line |")
    print("|---|---:|---:|---|")
    for label, _, verified, line in started:
        print("| kelvane %s | %.2f | %.1f | %s |" % (label, verified, peaks[label], line))
    return 0


if __name__ == "__main__":
    sys.exit(main())
