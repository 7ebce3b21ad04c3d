#!/usr/bin/env python3
"""Real FTP clients against the FTP service: Python's ftplib in active mode, curl, lftp and wget.

ftp_test_server (path in KELVANE_FTP_TEST_SERVER) writes the unit tests' fixture package and
serves it on 127.0.0.1 at a free port, printing every log line. Every wait is bounded.
"""
import ftplib
import io
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

SERVER = os.environ.get("KELVANE_FTP_TEST_SERVER", "")
CURL = shutil.which("curl")
LFTP = shutil.which("lftp")
WGET = shutil.which("wget")
# Spellings and paths of the root's password.txt, which the service must treat as absent.
HIDDEN_PASSWORD = ("password.txt", "/PASSWORD.TXT", "pub/../password.txt", "\\password.txt")
ROOT_NAMES = ["pub", "version.txt", "bad", "long"]
BOUND = 30  # seconds for anything that should happen promptly

def needs_curl_conversation(test):
    return unittest.skipUnless(CURL, "curl is not installed")(test)


class ServerProcess:
    """The test server: its port and the log lines it printed so far."""

    def __init__(self, package, *options):
        self.process = subprocess.Popen(
            [SERVER, *options, package], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.log = []
        self.log_lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        first = self.lines.get(timeout=BOUND)
        if not first.startswith("PORT "):
            raise RuntimeError("server said %r" % first)
        self.port = int(first.split()[1])

    def _read(self):
        for line in self.process.stdout:
            line = line.rstrip("\n")
            if line.startswith("LOG "):
                with self.log_lock:
                    self.log.append(line[4:])
            else:
                self.lines.put(line)

    def log_lines(self):
        with self.log_lock:
            return list(self.log)

    def wait_for_log(self, predicate, bound=BOUND):
        deadline = time.monotonic() + bound
        while time.monotonic() < deadline:
            if any(predicate(line) for line in self.log_lines()):
                return True
            time.sleep(0.02)  # polling a condition, bounded; not a synchronisation by sleeping
        return False

    def stop(self):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=BOUND)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


@unittest.skipUnless(SERVER, "KELVANE_FTP_TEST_SERVER is not set")
class FtpClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kelvane_ftp_")
        subprocess.run([SERVER, "--write-fixture", cls.dir], check=True, timeout=BOUND)
        cls.expected = {}
        for name in ("Image", "version.txt", "stored.bin", "password.txt"):
            with open(os.path.join(cls.dir, "expected", name), "rb") as f:
                cls.expected[name] = f.read()
        cls.server = ServerProcess(os.path.join(cls.dir, "fixture.pkg"))

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    # ---- ftplib, active mode ----

    def connect(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=BOUND)
        ftp.set_pasv(False)
        return ftp

    def test_ftplib_logs_in_navigates_lists_and_downloads(self):
        ftp = self.connect()
        try:
            self.assertEqual("220 Connected to Varnek FTP server", ftp.getwelcome())
            response = ftp.login("anonymous", "device@example.com")
            self.assertTrue(response.startswith("220-logon successful"), response)
            self.assertEqual("/", ftp.pwd())
            self.assertEqual(ROOT_NAMES, ftp.nlst())
            listing = []
            ftp.retrlines("LIST", listing.append)
            self.assertEqual(4, len(listing))
            self.assertTrue(listing[0].startswith("dr-xr-xr--   1 owner    group"), listing[0])
            self.assertTrue(listing[1].endswith(" Oct  1  2008 version.txt"), listing[1])

            ftp.cwd("pub/Dorvex/Updates")
            self.assertEqual("/pub/Dorvex/Updates", ftp.pwd())
            image = io.BytesIO()
            ftp.retrbinary("RETR Image", image.write)
            self.assertEqual(self.expected["Image"], image.getvalue())
            note = io.BytesIO()
            ftp.retrbinary("RETR /version.txt", note.write)
            self.assertEqual(b"3.34\r\n", note.getvalue())
            ftp.cwd("..")
            self.assertEqual("/pub/Dorvex", ftp.pwd())
        finally:
            ftp.quit()

    def test_ftplib_sees_failures_as_errors(self):
        ftp = self.connect()
        try:
            ftp.login()
            cases = [("RETR bad/damaged.bin", "550 RETR failed"),
                     ("RETR bad/short.bin", "550 RETR failed"),
                     ("RETR pub", "550 RETR failed"),
                     ("RETR nothing", "550 RETR failed")]
            for command, reply in cases:
                with self.subTest(command=command):
                    with self.assertRaises(ftplib.error_perm) as caught:
                        ftp.retrbinary(command, lambda data: None)
                    self.assertEqual(reply, str(caught.exception))
            with self.assertRaises(ftplib.error_perm):
                ftp.cwd("nowhere")
            with self.assertRaises(ftplib.error_perm):
                ftp.storbinary("STOR x", io.BytesIO(b"data"))
            # The conversation goes on after every failure.
            self.assertEqual("/", ftp.pwd())
        finally:
            ftp.quit()

    def test_ftplib_never_sees_the_password_entry(self):
        ftp = self.connect()
        try:
            ftp.login()
            self.assertEqual(ROOT_NAMES, ftp.nlst())
            listing = []
            ftp.retrlines("LIST", listing.append)
            self.assertEqual([], [line for line in listing if "password" in line.lower()])
            for name in HIDDEN_PASSWORD:
                with self.subTest(name=name):
                    with self.assertRaises(ftplib.error_perm) as caught:
                        ftp.retrbinary("RETR " + name, lambda data: None)
                    self.assertEqual("550 RETR failed", str(caught.exception))
            # A password.txt below the root is an ordinary file.
            ordinary = io.BytesIO()
            ftp.retrbinary("RETR pub/password.txt", ordinary.write)
            self.assertEqual(self.expected["password.txt"], ordinary.getvalue())
        finally:
            ftp.quit()

    def test_twenty_ftplib_clients_at_once(self):
        # The clients log in one after another (the transport's short listen backlog stalls
        # clients that connect at the same instant), then all download at once.
        clients = []
        try:
            for _ in range(20):
                ftp = self.connect()
                ftp.login()
                clients.append(ftp)

            def fetch(ftp):
                image = io.BytesIO()
                ftp.retrbinary("RETR pub/Dorvex/Updates/Image", image.write)
                return image.getvalue()
            with ThreadPoolExecutor(max_workers=20) as pool:
                results = list(pool.map(fetch, clients))
            for index, content in enumerate(results):
                with self.subTest(client=index):
                    self.assertTrue(content == self.expected["Image"])
        finally:
            for ftp in clients:
                ftp.quit()

    # ---- curl, active mode ----

    def curl(self, path, *options):
        command = [CURL, "-s", "-S", "--max-time", str(BOUND), "-P", "127.0.0.1"]
        command += list(options)
        command.append("ftp://127.0.0.1:%d/%s" % (self.server.port, path))
        return subprocess.run(command, capture_output=True, timeout=BOUND + 10)

    @needs_curl_conversation
    def test_curl_downloads_with_each_cwd_method(self):
        for method in ("multicwd", "nocwd", "singlecwd"):
            for path, name in (("pub/Dorvex/Updates/Image", "Image"),
                               ("version.txt", "version.txt"),
                               ("pub/stored.bin", "stored.bin")):
                with self.subTest(method=method, path=path):
                    result = self.curl(path, "--disable-eprt", "--ftp-method", method)
                    self.assertEqual(0, result.returncode, result.stderr)
                    self.assertEqual(self.expected[name], result.stdout)

    @needs_curl_conversation
    def test_curl_falls_back_to_port_after_eprt_is_refused(self):
        result = self.curl("version.txt")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(b"3.34\r\n", result.stdout)
        self.assertTrue(self.server.wait_for_log(
            lambda line: line.startswith("127.0.0.1 issued command 0 ' EPRT |1|127.0.0.1|")))
        self.assertTrue(self.server.wait_for_log(
            lambda line: line.startswith("anonymous command 0 ' EPRT |1|127.0.0.1|")
            and line.endswith(" ' has failed ")))
        self.assertTrue(self.server.wait_for_log(
            lambda line: line.startswith("127.0.0.1 issued command 9 ' PORT 127,0,0,1,")))

    @needs_curl_conversation
    def test_curl_lists_a_directory(self):
        result = self.curl("pub/", "--disable-eprt")
        self.assertEqual(0, result.returncode, result.stderr)
        # curl turns the CR LF of an ASCII listing into the local line end.
        lines = result.stdout.decode("ascii").splitlines()
        pub_names = ["Dorvex", "empty.txt", "stored.bin", "password.txt"]
        self.assertEqual(pub_names, [l[59:] for l in lines])
        self.assertTrue(all(l.startswith("dr-xr-xr--   1 owner    group") for l in lines[:1]))
        names = self.curl("pub/", "--disable-eprt", "--list-only")
        self.assertEqual(pub_names, names.stdout.decode("ascii").splitlines())
        root = self.curl("", "--disable-eprt", "--list-only")
        self.assertEqual(ROOT_NAMES, root.stdout.decode("ascii").splitlines())

    @needs_curl_conversation
    def test_curl_cannot_fetch_the_password_entry(self):
        for path in ("password.txt", "PASSWORD.TXT", "pub/../password.txt"):
            with self.subTest(path=path):
                result = self.curl(path, "--disable-eprt")
                self.assertNotEqual(0, result.returncode)
                self.assertEqual(b"", result.stdout)
        result = self.curl("pub/password.txt", "--disable-eprt")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(self.expected["password.txt"], result.stdout)

    @unittest.skipUnless(CURL, "curl is not installed")
    def test_curl_never_reports_a_broken_download_as_complete(self):
        for path in ("bad/damaged.bin", "bad/liar.txt", "nothing"):
            with self.subTest(path=path):
                result = self.curl(path, "--disable-eprt")
                self.assertNotEqual(0, result.returncode)

    @needs_curl_conversation
    def test_twenty_curl_clients_at_once(self):
        def fetch(_):
            return self.curl("pub/Dorvex/Updates/Image", "--disable-eprt")
        with ThreadPoolExecutor(max_workers=20) as pool:
            results = list(pool.map(fetch, range(20)))
        for index, result in enumerate(results):
            with self.subTest(client=index):
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertTrue(result.stdout == self.expected["Image"])

    # ---- lftp and wget, active mode ----

    def lftp(self, commands):
        script = ("set ftp:passive-mode off; set net:max-retries 1; set net:timeout %d; "
                  "open -p %d 127.0.0.1; %s" % (BOUND, self.server.port, commands))
        return subprocess.run([LFTP, "-c", script], capture_output=True, timeout=BOUND + 10)

    @unittest.skipUnless(LFTP, "lftp is not installed")
    def test_lftp_lists_and_fetches_without_the_password_entry(self):
        listed = self.lftp("nlist; cls -1 pub")
        self.assertEqual(0, listed.returncode, listed.stderr)
        self.assertEqual(ROOT_NAMES + ["pub/Dorvex/", "pub/empty.txt", "pub/password.txt",
                                       "pub/stored.bin"],
                         listed.stdout.decode("ascii").splitlines())
        ordinary = self.lftp("cat pub/password.txt")
        self.assertEqual(0, ordinary.returncode, ordinary.stderr)
        self.assertEqual(self.expected["password.txt"], ordinary.stdout)
        for name in HIDDEN_PASSWORD[:3]:
            with self.subTest(name=name):
                hidden = self.lftp("cat " + name)
                self.assertNotEqual(0, hidden.returncode)
                self.assertEqual(b"", hidden.stdout)
                self.assertIn(b"550 RETR failed", hidden.stderr)

    @unittest.skipUnless(WGET, "wget is not installed")
    def test_wget_downloads_and_cannot_fetch_the_password_entry(self):
        def wget(path):
            url = "ftp://127.0.0.1:%d/%s" % (self.server.port, path)
            return subprocess.run([WGET, "--no-passive-ftp", "-q", "-T", str(BOUND), "-t", "1",
                                   "-O", "-", url], capture_output=True, timeout=BOUND + 10)
        image = wget("pub/Dorvex/Updates/Image")
        self.assertEqual(0, image.returncode, image.stderr)
        self.assertTrue(image.stdout == self.expected["Image"])
        ordinary = wget("pub/password.txt")
        self.assertEqual(self.expected["password.txt"], ordinary.stdout)
        hidden = wget("password.txt")
        self.assertNotEqual(0, hidden.returncode)
        self.assertEqual(b"", hidden.stdout)


if __name__ == "__main__":
    unittest.main()
