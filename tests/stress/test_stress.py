#!/usr/bin/env python3
"""Stress of the packaged server over loopback: connect storms, silent and trickling clients,
exhausted descriptors and a data connection that never reads. Each case is bounded in rounds and
time and ends by showing that a normal client is still served.

Usage: test_stress.py KELVANE KELVANE_PACK [unittest options, e.g. StressTest.test_storm].
"""
import ftplib
import http.client
import os
import random
import shutil
import socket
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app"))
from test_kelvane_server import Server, free_port, write_files  # noqa: E402

KELVANE, PACK = (sys.argv[1], sys.argv[2]) if len(sys.argv) > 2 else ("", "")
LOGIN_GRACE = 60       # seconds the server gives a client to log in
STALL_LIMIT = 35       # seconds within which a data connection that takes nothing must fail
HEAD_LIMIT = 10        # seconds the HTTP service gives a client for its request head
IMAGE = random.Random(11).randbytes(48 * 1000 * 1000)  # more than loopback's socket buffers hold
VERSION = b"9.9.1\r\n"
PAGE = b"<html><body>stress</body></html>\r\n"


def process_counts(pid):
    """Open descriptors and threads of |pid|."""
    descriptors = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as f:
        threads = next(int(line.split()[1]) for line in f if line.startswith("Threads:"))
    return descriptors, threads


def wait_until(predicate, bound, step=0.05):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)  # polling the server's state from outside, bounded
    return predicate()


def fetch_version(port):
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", port, timeout=30)
    ftp.login()
    ftp.set_pasv(False)
    chunks = []
    ftp.retrbinary("RETR version.txt", chunks.append)
    ftp.quit()
    return b"".join(chunks)


class StressTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kelvane_stress_")
        site = os.path.join(cls.work, "site")
        write_files(site, {"image.bin": IMAGE, "www/index.htm": PAGE})
        cls.package = os.path.join(cls.work, "stress-server")
        os.spawnv(os.P_WAIT, PACK, [PACK, "build", KELVANE, site, "-o", cls.package, "--store",
                                    "--version", VERSION.decode().strip()])
        assert os.path.exists(cls.package), "kelvane-pack build failed"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def start(self, prefix=()):
        """Runs a copy of the package on free ports, under |prefix| (a command such as prlimit)
        when given, until the test ends."""
        self.ftp_port, self.http_port = free_port(), free_port()
        folder = tempfile.mkdtemp(dir=self.work)
        package = os.path.join(folder, "stress-server")
        os.link(self.package, package)
        settings = {"FTPPort": self.ftp_port, "HTTPPort": self.http_port}
        if prefix:
            settings_file = os.path.join(folder, "config", "Varnek Systems", "stress-server.conf")
            os.makedirs(os.path.dirname(settings_file))
            with open(settings_file, "w") as f:
                f.write("[Parameters]\n" + "".join("%s=%s\n" % kv for kv in settings.items()))
            # The wrapper execs the server in place, so the process is the server itself.
            wrapper = os.path.join(folder, "wrapped")
            with open(wrapper, "w") as f:
                f.write("#!/bin/sh\nexec %s %s \"$@\"\n" % (" ".join(prefix), package))
            os.chmod(wrapper, 0o755)
            server = Server(wrapper)
        else:
            server = Server(package, settings)
        self.addCleanup(server.finish, 15)
        server.wait_running()
        return server

    def test_storm_leaves_nothing_behind(self):
        server = self.start()
        self.assertEqual(fetch_version(self.ftp_port), VERSION)
        pid = server.process.pid
        baseline = process_counts(pid)

        def connect_once(results):
            try:
                with socket.create_connection(("127.0.0.1", self.ftp_port), timeout=30) as s:
                    s.sendall(b"QUIT\r\n")
                    results.append(s.recv(200)[:3])
            except OSError as e:
                results.append(repr(e))

        results = []
        for _ in range(10):  # 10 waves of 20 at once: 200 connects
            wave = [threading.Thread(target=connect_once, args=(results,)) for _ in range(20)]
            for t in wave:
                t.start()
            for t in wave:
                t.join(60)
        self.assertEqual(len(results), 200)
        self.assertTrue(all(r in (b"220", b"Too") for r in results), results)
        self.assertTrue(wait_until(lambda: process_counts(pid) <= baseline, 30),
                        "descriptors and threads %r, before %r" % (process_counts(pid), baseline))
        self.assertEqual(fetch_version(self.ftp_port), VERSION)

    def test_silent_clients_are_closed_within_the_login_grace(self):
        self.start()
        silent = []
        for _ in range(20):
            s = socket.create_connection(("127.0.0.1", self.ftp_port), timeout=LOGIN_GRACE + 15)
            self.addCleanup(s.close)
            self.assertTrue(s.recv(200).startswith(b"220"))
            silent.append(s)
        started = time.monotonic()
        for s in silent:
            while True:
                try:
                    if not s.recv(200):
                        break
                except ConnectionResetError:
                    break
        self.assertLess(time.monotonic() - started, LOGIN_GRACE + 5)
        self.assertEqual(fetch_version(self.ftp_port), VERSION)

    def test_accept_errors_under_a_low_descriptor_limit(self):
        server = self.start(prefix=("prlimit", "--nofile=64:64"))
        self.assertEqual(server.process.poll(), None)
        held = []
        try:
            for _ in range(80):
                try:
                    held.append(socket.create_connection(("127.0.0.1", self.ftp_port), timeout=5))
                except OSError:
                    pass
            # Some of them are queued unaccepted while the server has no descriptor left.
            time.sleep(0.5)  # let the listener meet the exhausted table, not a synchronisation
        finally:
            for s in held:
                s.close()
        # Once the descriptors are free again the service is back.
        self.assertTrue(wait_until(lambda: self._serves(), 30))

    def _serves(self):
        try:
            return fetch_version(self.ftp_port) == VERSION
        except (OSError, ftplib.Error, EOFError):
            return False

    def test_trickling_http_clients_do_not_hold_the_service(self):
        self.start()
        request = b"GET /www/index.htm HTTP/1.0\r\n\r\n"
        trickling = []
        for _ in range(10):
            s = socket.create_connection(("127.0.0.1", self.http_port), timeout=HEAD_LIMIT + 10)
            self.addCleanup(s.close)
            trickling.append(s)
        stop = threading.Event()

        def trickle():
            for i in range(len(request) - 2):  # never the last line end
                for s in trickling:
                    try:
                        s.send(request[i:i + 1])
                    except OSError:
                        pass
                if stop.wait(0.4):
                    return

        feeder = threading.Thread(target=trickle)
        feeder.start()
        try:
            for _ in range(3):
                started = time.monotonic()
                connection = http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=10)
                connection.request("GET", "/www/index.htm")
                answer = connection.getresponse()
                body = answer.read()
                connection.close()
                self.assertEqual((answer.status, body), (200, PAGE))
                self.assertLess(time.monotonic() - started, 2.0)
                stop.wait(1.0)
        finally:
            stop.set()
            feeder.join(30)
        # The trickling clients themselves are cut once the head limit has passed.
        for s in trickling:
            try:
                s.settimeout(HEAD_LIMIT + 10)
                while s.recv(4096):
                    pass
            except (ConnectionResetError, socket.timeout) as e:
                self.assertNotIsInstance(e, socket.timeout)

    def test_a_data_connection_that_takes_nothing_fails_the_transfer(self):
        self.start()
        control = socket.create_connection(("127.0.0.1", self.ftp_port), timeout=STALL_LIMIT + 30)
        self.addCleanup(control.close)
        reader = control.makefile("rb")

        def reply():
            line = reader.readline()
            while line[3:4] == b"-" or line[:1] == b" ":
                line = reader.readline()
            return line

        self.assertTrue(reply().startswith(b"220"))
        control.sendall(b"USER anonymous\r\n")
        reply()
        control.sendall(b"PASS x\r\n")
        reply()
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        control.sendall(b"PORT 127,0,0,1,%d,%d\r\n" % (port >> 8, port & 255))
        self.assertTrue(reply().startswith(b"250"))  # this server answers PORT with 250
        control.sendall(b"RETR image.bin\r\n")
        data, _ = listener.accept()  # and never read from it
        self.addCleanup(data.close)
        self.assertTrue(reply().startswith(b"150"))
        started = time.monotonic()
        outcome = reply()
        self.assertTrue(outcome.startswith(b"550"), outcome)
        self.assertLess(time.monotonic() - started, STALL_LIMIT)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
