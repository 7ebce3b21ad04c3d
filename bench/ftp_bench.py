#!/usr/bin/env python3
"""bench/ftp_bench.py -- RETR over loopback from the FTP service beside vsftpd.

Builds ftp_bench with the release preset, writes a package with a 100 MiB stored and a 100 MiB
compressed entry (and the same bytes as plain files), serves the package with FtpDaemon and the
files with vsftpd (Debian's, anonymous, read-only, active mode, on a free loopback port, from a
private configuration; no system service), and times one client and 20 clients at once fetching
each entry. Prints a Markdown table. Needs root for vsftpd and about 550 MB under TMPDIR.

  bench/ftp_bench.py [--repetitions N] [--build-dir DIR]

Rates are content bytes per wall second (MB = 10^6 bytes), the median of N runs; "kelvane CPU"
is the service's CPU time (all threads) over the wall time of the run.
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VSFTPD = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
CURL = shutil.which("curl")
BOUND = 120  # seconds for any one step
MB = 1e6
TICKS = os.sysconf("SC_CLK_TCK")


def run(command, **kwargs):
    return subprocess.run(command, check=True, timeout=BOUND * 5, **kwargs)


def build(build_dir):
    run(["cmake", "--preset", "release", "-B", build_dir], cwd=ROOT, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build_dir, "--target", "ftp_bench", "-j", "2"], cwd=ROOT,
        stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bin", "ftp_bench")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port):
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.recv(100)
                return
        except OSError:
            time.sleep(0.05)  # polling a listener that is starting, bounded
    raise RuntimeError("nothing listens on port %d" % port)


def start_kelvane(bench, package):
    process = subprocess.Popen([bench, "serve", package], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    if not line.startswith("PORT "):
        raise RuntimeError("ftp_bench serve said %r" % line)
    return process, int(line.split()[1])


def start_vsftpd(work, passive=False):
    """vsftpd on a free 127.0.0.1 port; active mode only unless |passive| (then both, with
    passive ports wherever the kernel offers one)."""
    port = free_port()
    empty = os.path.join(work, "empty")
    os.makedirs(empty, exist_ok=True)
    config = os.path.join(work, "vsftpd.conf")
    with open(config, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
            "listen_port=%d" % port, "background=NO",
            "anonymous_enable=YES", "local_enable=NO", "write_enable=NO",
            "anon_root=%s" % os.path.join(work, "files"), "no_anon_password=YES",
            "pasv_enable=%s" % ("YES" if passive else "NO"), "port_enable=YES", "connect_from_port_20=NO",
            "max_clients=100", "max_per_ip=100", "xferlog_enable=NO",
            "dirmessage_enable=NO", "seccomp_sandbox=NO", "use_sendfile=YES",
            "secure_chroot_dir=%s" % empty, "ftp_username=ftp",
            "vsftpd_log_file=%s" % os.path.join(work, "vsftpd.log"), ""]))
    os.chmod(config, 0o600)
    process = subprocess.Popen([VSFTPD, config], stdin=subprocess.DEVNULL)
    wait_for_port(port)
    return process, port


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime, all threads


def own_fetch(bench, port, path, clients, server_pid=None):
    before = cpu_seconds(server_pid) if server_pid else None
    result = subprocess.run([bench, "fetch", str(port), path, str(clients)],
                            capture_output=True, text=True, timeout=BOUND * 5)
    out = result.stdout
    values = dict(item.split("=") for item in out.split())
    seconds = float(values["seconds"])
    if int(values["ok"]) != clients:
        raise RuntimeError("port %d: %s of %d clients got the whole entry\n%s"
                           % (port, values["ok"], clients, result.stderr))
    cores = (cpu_seconds(server_pid) - before) / seconds if server_pid else None
    return int(values["bytes"]) / seconds / MB, cores


def curl_fetch(port, path, clients):
    command = [CURL, "-s", "-S", "-P", "127.0.0.1", "--disable-eprt", "--max-time", str(BOUND),
               "-o", "/dev/null", "-w", "%{size_download}\n",
               "ftp://127.0.0.1:%d/%s" % (port, path)]
    start = time.monotonic()
    processes = [subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True) for _ in range(clients)]
    total = 0
    for p in processes:
        out, err = p.communicate(timeout=BOUND)
        if p.returncode != 0:
            return None, "curl exit code %d" % p.returncode
        total += int(out.strip())
    return total / (time.monotonic() - start) / MB, None


def inflate_rates(bench, work):
    out = run([bench, "inflate", work], capture_output=True, text=True).stdout
    values = dict(item.split("=") for item in out.split())
    return float(values["wall_mb_s"]), float(values["cpu_mb_s"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "ftp-release"))
    args = parser.parse_args()

    bench = build(args.build_dir)
    work = tempfile.mkdtemp(prefix="kelvane_ftp_bench_")
    os.chmod(work, 0o755)  # vsftpd's anonymous user must reach files/
    servers = []
    try:
        print(run([bench, "prepare", work], capture_output=True, text=True).stdout.strip())
        inflate = [inflate_rates(bench, work)]
        kelvane, kelvane_port = start_kelvane(bench, os.path.join(work, "bench.pkg"))
        servers.append(kelvane)
        vsftpd, vsftpd_port = start_vsftpd(work)
        servers.append(vsftpd)

        rows = []
        for entry in ("stored.bin", "packed.bin"):
            for clients in (1, 20):
                kelvane_rates, cores, vsftpd_rates, curl_rates = [], [], [], []
                # The servers take turns, so that load from elsewhere falls on both alike.
                for _ in range(args.repetitions):
                    rate, used = own_fetch(bench, kelvane_port, entry, clients, kelvane.pid)
                    kelvane_rates.append(rate)
                    cores.append(used)
                    vsftpd_rates.append(own_fetch(bench, vsftpd_port, entry, clients)[0])
                    if CURL:
                        curl_rate, _ = curl_fetch(vsftpd_port, entry, clients)
                        if curl_rate:
                            curl_rates.append(curl_rate)
                rows.append((entry, clients, statistics.median(kelvane_rates),
                             statistics.median(cores), statistics.median(vsftpd_rates),
                             statistics.median(curl_rates) if curl_rates else None))
        inflate.append(inflate_rates(bench, work))
        kelvane_curl = curl_fetch(kelvane_port, "stored.bin", 1) if CURL else (None, "no curl")
    finally:
        for process in servers:
            if process.stdin:
                process.stdin.close()
            else:
                process.terminate()
            try:
                process.wait(timeout=BOUND)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(work, ignore_errors=True)

    inflate_wall = max(wall for wall, _ in inflate)
    inflate_cpu = max(cpu for _, cpu in inflate)
    print("\nzlib inflate of the compressed entry from memory, one stream: %.0f MB per wall "
          "second, %.0f MB per CPU second (the better of before and after the runs)\n"
          % (inflate_wall, inflate_cpu))
    print("| entry | clients | kelvane MB/s | vsftpd MB/s | kelvane / vsftpd "
          "| kelvane CPU (cores) | kelvane MB per CPU s | that / zlib inflate "
          "| vsftpd with curl MB/s |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for entry, clients, k_rate, k_cores, v_rate, curl_rate in rows:
        per_cpu = k_rate / k_cores if k_cores else 0
        print("| %s | %d | %.0f | %.0f | %.2f | %.2f | %.0f | %s | %s |" % (
            entry, clients, k_rate, v_rate, k_rate / v_rate, k_cores, per_cpu,
            "%.2f" % (per_cpu / inflate_cpu) if entry == "packed.bin" else "",
            "%.0f" % curl_rate if curl_rate else "-"))
    rate, error = kelvane_curl
    print("\ncurl against kelvane: %s" % ("%.0f MB/s" % rate if rate else "failed: %s" % error))
    return 0


if __name__ == "__main__":
    sys.exit(main())
