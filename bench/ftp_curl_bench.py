#!/usr/bin/env python3
"""bench/ftp_curl_bench.py -- whole curl downloads (login included) from kelvane beside vsftpd.

Builds kelvane and kelvane-pack with the release preset, packs a 100 MB stored entry into a real
server executable, runs it headless on a free loopback port, serves the same bytes as a plain
file with vsftpd (Debian's, anonymous, read-only, active mode, a private configuration, no system
service), and times curl fetching the file: one client, then 20 at once. Each measurement is one
curl process per client from its start to its exit, so the greeting, the login, PORT, RETR and the
close count as a device would see them. Prints a Markdown table. Needs root for vsftpd and about
250 MB under TMPDIR.

  bench/ftp_curl_bench.py [--repetitions N] [--build-dir DIR] [--size-mb N]

Rates are content bytes per wall second (MB = 10^6 bytes), the median of N runs; the servers take
turns within each repetition, so load from elsewhere falls on both alike. "login ms" is the median
of curl's own time to the first byte of the transfer minus its connect time, for one client.
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftp_bench import free_port, start_vsftpd  # noqa: E402  the same vsftpd as ftp_bench.py

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CURL = shutil.which("curl") or "/usr/bin/curl"
BOUND = 120  # seconds for any one step
MB = 1e6


def run(command, **kwargs):
    return subprocess.run(command, check=True, timeout=BOUND * 5, **kwargs)


def build(build_dir):
    run(["cmake", "--preset", "release", "-B", build_dir], cwd=ROOT, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build_dir, "--target", "kelvane", "kelvane-pack", "-j", "2"],
        cwd=ROOT, stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bin", "kelvane"), os.path.join(build_dir, "bin", "kelvane-pack")


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


def write_content(path, size):
    # Incompressible bytes, so that the stored entry and the plain file are the same size and
    # nothing downstream can take a short cut.
    chunk = os.urandom(1 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(chunk[:min(left, len(chunk))])
            left -= len(chunk)


def start_kelvane(kelvane, pack, work):
    site = os.path.join(work, "site")
    os.makedirs(site)
    os.link(os.path.join(work, "files", "image.bin"), os.path.join(site, "image.bin"))
    server = os.path.join(work, "fw-bench")
    run([pack, "build", kelvane, site, "-o", server, "--store"], stdout=subprocess.DEVNULL)
    port = free_port()
    config = os.path.join(work, "config", "Varnek Systems")
    os.makedirs(config)
    with open(os.path.join(config, "fw-bench.conf"), "w") as f:
        f.write("[Parameters]\nFTPPort=%d\n" % port)
    env = dict(os.environ, KELVANE_HEADLESS="1", XDG_CONFIG_HOME=os.path.join(work, "config"))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    process = subprocess.Popen([server], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_greeting(port)
    return process, port


def curl_fetch(port, clients, size):
    """Wall rate of |clients| curl downloads at once, and the first one's login time in ms."""
    command = [CURL, "-s", "-S", "-P", "127.0.0.1", "--disable-eprt", "--max-time", str(BOUND),
               "-o", "/dev/null", "-w", "%{size_download} %{time_connect} %{time_starttransfer}\n",
               "ftp://127.0.0.1:%d/image.bin" % port]
    start = time.monotonic()
    processes = [subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True) for _ in range(clients)]
    total = 0
    login_ms = None
    for p in processes:
        out, err = p.communicate(timeout=BOUND)
        if p.returncode != 0:
            raise RuntimeError("curl on port %d: exit %d: %s" % (port, p.returncode, err))
        got, connect, first_byte = out.split()
        if int(got) != size:
            raise RuntimeError("curl on port %d got %s of %d bytes" % (port, got, size))
        total += int(got)
        if login_ms is None:
            login_ms = (float(first_byte) - float(connect)) * 1000
    return total / (time.monotonic() - start) / MB, login_ms


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=BOUND)
    except subprocess.TimeoutExpired:
        process.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--size-mb", type=int, default=100)
    args = parser.parse_args()
    size = args.size_mb * 1000 * 1000

    kelvane, pack = build(args.build_dir)
    work = tempfile.mkdtemp(prefix="kelvane_curl_bench_")
    os.chmod(work, 0o755)  # vsftpd's anonymous user must reach files/
    servers = []
    rows = []
    try:
        os.makedirs(os.path.join(work, "files"))
        write_content(os.path.join(work, "files", "image.bin"), size)
        os.chmod(os.path.join(work, "files"), 0o755)
        os.chmod(os.path.join(work, "files", "image.bin"), 0o644)
        server, kelvane_port = start_kelvane(kelvane, pack, work)
        servers.append(server)
        vsftpd, vsftpd_port = start_vsftpd(work)
        servers.append(vsftpd)
        for clients in (1, 20):
            k_rates, v_rates, k_login, v_login = [], [], [], []
            for _ in range(args.repetitions):
                rate, login = curl_fetch(kelvane_port, clients, size)
                k_rates.append(rate)
                k_login.append(login)
                rate, login = curl_fetch(vsftpd_port, clients, size)
                v_rates.append(rate)
                v_login.append(login)
            rows.append((clients, statistics.median(k_rates), statistics.median(v_rates),
                         statistics.median(k_login), statistics.median(v_login)))
    finally:
        for process in servers:
            stop(process)
        shutil.rmtree(work, ignore_errors=True)

    print("| clients | kelvane MB/s | vsftpd MB/s | kelvane / vsftpd | kelvane login ms "
          "| vsftpd login ms |")
    print("|---:|---:|---:|---:|---:|---:|")
    for clients, k_rate, v_rate, k_login, v_login in rows:
        print("| %d | %.0f | %.0f | %.2f | %.1f | %.1f |"
              % (clients, k_rate, v_rate, k_rate / v_rate, k_login, v_login))
    return 0


if __name__ == "__main__":
    sys.exit(main())
