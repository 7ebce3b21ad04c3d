#!/usr/bin/env python3
"""Real FTP clients in their default settings against the modern mode: curl (EPSV, --ftp-pasv,
-C - after an interrupted download), Python's ftplib (PASV, retrbinary with rest=, abort),
lftp (mirror of a tree, mirror -c after the first mirror was killed half-way), wget (-r, -c)
and busybox ftpget. Every file that arrives is checked by its SHA-256.

ftp_test_server (path in KELVANE_FTP_TEST_SERVER) writes the package: the unit tests' fixture
and the folder "tree" (nested folders, names with a space, a 50 MB stored and a 50 MB
compressed entry), and serves it in the modern mode on 127.0.0.1 at a free port. A client
that is not installed fails its tests (scripts/install-deps.sh installs them all). Only the
runs that are to be interrupted are slowed down (a rate limit), so that they can be killed
half-way; every client otherwise runs as installed. Every wait is bounded.
"""
import ftplib
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_ftp_clients import SERVER, ServerProcess  # noqa: E402

BOUND = 120  # seconds for one client run (two 50 MB entries under the sanitizers)
BIG_STORED = "tree/firmware/big stored.bin"
BIG_COMPRESSED = "tree/firmware/big-compressed.bin"
SUBFOLDER_FILE = "tree/firmware/v2/deep/part one.bin"
SLOW_RATE = "10M"  # bytes per second of a run that is to be interrupted


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def tree_digests(root):
    """Every file below |root|: its path relative to |root| ('/'-separated) and its SHA-256."""
    digests = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                digests[os.path.relpath(path, root).replace(os.sep, "/")] = sha256(f.read())
    return digests


def file_digest(path):
    with open(path, "rb") as f:
        return sha256(f.read())


def quoted(path):
    return path.replace(" ", "%20")


@unittest.skipUnless(SERVER, "KELVANE_FTP_TEST_SERVER is not set")
class ModernClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="kelvane_modern_")
        subprocess.run([SERVER, "--write-tree", cls.dir], check=True, timeout=BOUND)
        cls.expected_root = os.path.join(cls.dir, "expected-tree")
        cls.expected = tree_digests(cls.expected_root)
        cls.sizes = {name: os.path.getsize(os.path.join(cls.expected_root, name))
                     for name in cls.expected}
        cls.server = ServerProcess(os.path.join(cls.dir, "tree.pkg"), "--modern")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.dir)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def client(self, name):
        """The installed client |name|; its absence fails the test."""
        path = shutil.which(name)
        if not path:
            self.fail("%s is not installed (scripts/install-deps.sh installs it)" % name)
        return path

    def url(self, path):
        return "ftp://127.0.0.1:%d/%s" % (self.server.port, quoted(path))

    def run_client(self, command):
        result = subprocess.run(command, capture_output=True, timeout=BOUND + 10)
        self.assertEqual(0, result.returncode, result.stderr.decode("latin-1"))
        return result

    def logged(self, text):
        """Whether a log line contains |text| (waiting a little for the server to print it)."""
        return self.server.wait_for_log(lambda line: text in line, bound=10)

    def assert_tree(self, local_root, expected_prefix="tree/"):
        got = tree_digests(local_root)
        expected = {name[len(expected_prefix):]: digest for name, digest in self.expected.items()
                    if name.startswith(expected_prefix)}
        self.assertEqual(expected, got)

    def interrupt(self, command, path, full_size):
        """Runs |command| until |path| holds part of its |full_size| bytes, then kills it."""
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + BOUND
            size = 0
            while time.monotonic() < deadline and process.poll() is None:
                size = os.path.getsize(path) if os.path.exists(path) else 0
                if full_size // 10 < size < full_size * 9 // 10:
                    break
                time.sleep(0.02)  # polling a file's growth, bounded; not a synchronisation
            self.assertIsNone(process.poll(), "the client ended before it could be interrupted")
            self.assertLess(size, full_size * 9 // 10)
        finally:
            if process.poll() is None:
                process.kill()
            process.wait(timeout=BOUND)
        size = os.path.getsize(path)
        self.assertGreater(size, 0)
        self.assertLess(size, full_size)
        return size

    # ---- curl ----

    def curl(self, *arguments):
        return [self.client("curl"), "-sS", "--max-time", str(BOUND), *arguments]

    def test_curl_default_takes_epsv(self):
        for path in (BIG_STORED, BIG_COMPRESSED, SUBFOLDER_FILE):
            with self.subTest(path=path):
                result = self.run_client(self.curl(self.url(path)))
                self.assertEqual(self.expected[path], sha256(result.stdout))
        self.assertTrue(self.logged("issued command 37 ' EPSV ' "))

    def test_curl_ftp_pasv(self):
        for options in (["--ftp-pasv"], ["--ftp-pasv", "--disable-epsv"]):
            with self.subTest(options=options):
                result = self.run_client(self.curl(*options, self.url(BIG_COMPRESSED)))
                self.assertEqual(self.expected[BIG_COMPRESSED], sha256(result.stdout))
        self.assertTrue(self.logged("issued command 10 ' PASV ' "))

    def test_curl_resumes_an_interrupted_download(self):
        for path in (BIG_STORED, BIG_COMPRESSED):
            with self.subTest(path=path):
                out = os.path.join(self.work, os.path.basename(path))
                part = self.interrupt(self.curl("--limit-rate", SLOW_RATE, "-o", out,
                                                self.url(path)), out, self.sizes[path])
                self.run_client(self.curl("-C", "-", "-o", out, self.url(path)))
                self.assertEqual(self.expected[path], file_digest(out))
                self.assertTrue(self.logged("issued command 19 ' REST %d ' " % part))

    # ---- ftplib ----

    def ftplib_session(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.server.port, timeout=BOUND)
        ftp.login()
        return ftp

    def test_ftplib_default_passive_and_rest(self):
        ftp = self.ftplib_session()
        try:
            for path in (BIG_STORED, BIG_COMPRESSED, SUBFOLDER_FILE):
                whole = io.BytesIO()
                ftp.retrbinary("RETR " + path, whole.write)
                self.assertEqual(self.expected[path], sha256(whole.getvalue()))
                for rest in (0, self.sizes[path] // 3, self.sizes[path]):
                    with self.subTest(path=path, rest=rest):
                        tail = io.BytesIO()
                        ftp.retrbinary("RETR " + path, tail.write, rest=rest)
                        self.assertEqual(sha256(whole.getvalue()[rest:]),
                                         sha256(tail.getvalue()))
            with self.assertRaises(ftplib.error_perm) as caught:
                ftp.retrbinary("RETR " + SUBFOLDER_FILE, lambda data: None,
                               rest=self.sizes[SUBFOLDER_FILE] + 1)
            self.assertTrue(str(caught.exception).startswith("554 "), str(caught.exception))
            self.assertEqual(self.sizes[BIG_STORED], ftp.size(BIG_STORED))
        finally:
            ftp.quit()
        self.assertTrue(self.logged("issued command 10 ' PASV ' "))

    def test_ftplib_aborts_a_transfer_and_carries_on(self):
        ftp = self.ftplib_session()
        try:
            ftp.voidcmd("TYPE I")
            connection = ftp.transfercmd("RETR " + BIG_COMPRESSED)
            self.assertGreater(len(connection.recv(65536)), 0)
            # ftplib sends ABOR's last byte as urgent data.
            self.assertEqual("426 Transfer aborted", ftp.abort())
            connection.close()
            self.assertEqual("226 ABOR command successful", ftp.voidresp())
            small = io.BytesIO()
            ftp.retrbinary("RETR " + SUBFOLDER_FILE, small.write)
            self.assertEqual(self.expected[SUBFOLDER_FILE], sha256(small.getvalue()))
        finally:
            ftp.quit()

    # ---- lftp ----

    def lftp(self, commands):
        return [self.client("lftp"), "-c", "open -p %d 127.0.0.1; %s" % (self.server.port,
                                                                       commands)]

    def test_lftp_mirrors_the_tree(self):
        local = os.path.join(self.work, "mirror")
        self.run_client(self.lftp("mirror tree '%s'" % local))
        self.assert_tree(local)

    def test_lftp_mirror_continues_after_it_was_killed(self):
        local = os.path.join(self.work, "mirror")
        # The mirror fetches the folder's entries in listing order: the stored one first.
        first = os.path.join(local, "firmware", "big stored.bin")
        part = self.interrupt(self.lftp("set net:limit-rate %s; mirror tree '%s'" % (
            SLOW_RATE, local)), first, self.sizes[BIG_STORED])
        self.run_client(self.lftp("mirror -c tree '%s'" % local))
        self.assert_tree(local)
        self.assertTrue(self.logged("issued command 19 ' REST %d ' " % part))

    # ---- wget ----

    def wget(self, *arguments):
        return [self.client("wget"), "-q", "-T", str(BOUND), "-t", "1", *arguments]

    def test_wget_fetches_the_tree_recursively(self):
        local = os.path.join(self.work, "wget")
        self.run_client(self.wget("-r", "-nH", "-P", local, self.url("tree/")))
        self.assert_tree(os.path.join(local, "tree"))

    def test_wget_continues_an_interrupted_download(self):
        out = os.path.join(self.work, os.path.basename(BIG_COMPRESSED))
        part = self.interrupt(self.wget("--limit-rate=%s" % SLOW_RATE, "-P", self.work,
                                        self.url(BIG_COMPRESSED)),
                              out, self.sizes[BIG_COMPRESSED])
        self.run_client(self.wget("-c", "-P", self.work, self.url(BIG_COMPRESSED)))
        self.assertEqual(self.expected[BIG_COMPRESSED], file_digest(out))
        self.assertTrue(self.logged("issued command 19 ' REST %d ' " % part))

    # ---- busybox ----

    def test_busybox_ftpget_fetches_a_file_in_a_subfolder(self):
        busybox = self.client("busybox")
        applets = subprocess.run([busybox, "--list"], capture_output=True, text=True,
                                 timeout=BOUND).stdout.split()
        if "ftpget" not in applets:
            self.fail("this busybox has no ftpget")
        out = os.path.join(self.work, "part one.bin")
        self.run_client([busybox, "ftpget", "-P", str(self.server.port), "127.0.0.1", out,
                         SUBFOLDER_FILE])
        self.assertEqual(self.expected[SUBFOLDER_FILE], file_digest(out))


if __name__ == "__main__":
    unittest.main()
