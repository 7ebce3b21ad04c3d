#!/usr/bin/env python3
"""kelvane.exe under Wine, headless, driven over 127.0.0.1 by clients nobody here wrote:
a package built onto kelvane.exe by kelvane-pack.exe, settings in the registry (written with
`wine reg add`), FTP in active mode (ftplib, curl -P) and in the modern mode (curl, ftplib,
lftp in their default settings), HTTP (http.client), the password from
KELVANE_PASSWORD, the dated log file and the trace file with CR LF line ends, Ctrl+C.

Usage: test_windows_server.py WINE_RUN KELVANE_EXE KELVANE_PACK_EXE [unittest options].
WINE_RUN runs one Windows program (scripts/wine-run.sh). Every wait is bounded.
"""
import ftplib
import functools
import hashlib
import http.client
import io
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

import windows_support
from windows_support import BOUND, free_port, refused, windows_path, write_files

WINE_RUN, KELVANE, PACK = sys.argv[1:4] if len(sys.argv) > 3 else ("", "", "")
wine = functools.partial(windows_support.wine, WINE_RUN)

STATUS = ["Kelvane v3.01", "Copyright (C) 2026 Varnek Systems"]
RUNNING_PREFIX = "Kelvane is running"
PAGE = b"<html><body><p>Version [HTTPSrvVersion]</p></body></html>\r\n"
FIRMWARE = random.Random(11).randbytes(400000)
NOTE = b"Firmware 3.34 for the demo device.\r\n" * 40


class Server(windows_support.Server):
    """A headless run: ready once it says it is running."""

    def __init__(self, executable, args=(), env=None):
        super().__init__(WINE_RUN, executable, args, env)

    def wait_running(self):
        self.wait_for(self.err, lambda line: line.startswith(RUNNING_PREFIX))
        # The status lines reach stdout before that line reaches stderr, but each stream has
        # its own reader thread here, so stdout's may not have taken them yet.
        self.wait_for(self.out, lambda line: line.startswith("FTP server ready on port"))


class WindowsServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvane-windows-test-")
        sources = {
            "site": {"www/index.htm": PAGE, "fw/image.bin": FIRMWARE, "fw/note.txt": NOTE},
            "locked": {"password.txt": b"Secret", "fw/image.bin": FIRMWARE},
        }
        cls.packages = {}
        for name, files in sources.items():
            folder = os.path.join(cls.tmp, "src-" + name)
            write_files(folder, files)
            out = os.path.join(cls.tmp, "kw-%s.exe" % name)
            wine(PACK, "build", windows_path(KELVANE), windows_path(folder),
                 "-o", windows_path(out), "--version", "3.34", "--store-pattern", "*.bin")
            cls.packages[name] = out

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.servers = []
        self.keys = []

    def tearDown(self):
        for server in self.servers:
            if server.process.poll() is None or not server.process.stdout.closed:
                server.finish(signal.SIGKILL if server.process.poll() is None else None)
        for key in self.keys:
            wine("reg", "delete", key, "/f", check=False)

    def start(self, kind, dwords=None, texts=None, args=(), env=None):
        """A run of a copy of the package |kind| (or the bare server) under a name of its own,
        so that its registry key is its own too; |dwords| and |texts| go into the key first."""
        folder = tempfile.mkdtemp(dir=self.tmp)
        source = KELVANE if kind == "bare" else self.packages[kind]
        application = "kw%d" % random.randrange(10**9)
        executable = os.path.join(folder, application + ".exe")
        shutil.copy2(source, executable)
        self.keys.append(windows_support.set_parameters(WINE_RUN, application, dwords, texts))
        server = Server(executable, args, env)
        self.servers.append(server)
        return server, executable

    def ports(self):
        self.ftp, self.http = free_port(), free_port()
        return {"FTPPort": self.ftp, "HTTPPort": self.http}

    def ftp_session(self):
        client = ftplib.FTP()
        client.connect("127.0.0.1", self.ftp, timeout=BOUND)
        client.login()
        client.set_pasv(False)
        return client

    def ftp_get(self, path):
        with self.ftp_session() as client:
            data = io.BytesIO()
            client.retrbinary("RETR " + path, data.write)
            return data.getvalue()

    def test_bare_server_says_it_cannot_open_its_archive(self):
        server, _ = self.start("bare")
        self.assertEqual(2, server.finish())
        self.assertIn("Unable to open archive!", server.err)

    def test_serves_ftp_and_http_and_ends_on_ctrl_c(self):
        server, _ = self.start("site", dwords=self.ports())
        server.wait_running()
        self.assertEqual(STATUS + ["FTP server ready on port %d." % self.ftp], server.out[:3])

        # Active mode with ftplib: a listing, a stored entry and a compressed one.
        with self.ftp_session() as client:
            client.cwd("fw")
            self.assertEqual(["image.bin", "note.txt"], sorted(client.nlst()))
        self.assertEqual(FIRMWARE, self.ftp_get("fw/image.bin"))
        self.assertEqual(NOTE, self.ftp_get("fw/note.txt"))

        # curl in active mode, its data listener on the loopback address.
        fetched = subprocess.run(
            ["curl", "-sS", "--max-time", str(BOUND), "-P", "127.0.0.1",
             "ftp://127.0.0.1:%d/fw/image.bin" % self.ftp],
            capture_output=True, timeout=BOUND + 10, check=True)
        self.assertEqual(FIRMWARE, fetched.stdout)

        # The pages: the start page with its include expanded, a missing page.
        connection = http.client.HTTPConnection("127.0.0.1", self.http, timeout=BOUND)
        try:
            connection.request("GET", "/www/index.htm")
            answer = connection.getresponse()
            body = answer.read()
            self.assertEqual(200, answer.status)
            self.assertIn(b"Version", body)
            self.assertNotIn(b"[HTTPSrvVersion]", body)
        finally:
            connection.close()

        self.assertEqual(0, server.finish(signal.SIGINT))
        self.assertTrue(refused(self.ftp), "the FTP port is still open")

    def test_modern_mode_serves_curl_ftplib_and_lftp_in_their_default_settings(self):
        """FtpMode "modern" from the registry: passive transfers and resumes, each checked by
        its SHA-256 (fw/image.bin is stored, fw/note.txt compressed)."""
        server, _ = self.start("site", dwords=self.ports(), texts={"FtpMode": "modern"})
        server.wait_running()
        digest = lambda data: hashlib.sha256(data).hexdigest()
        expected = {"fw/image.bin": FIRMWARE, "fw/note.txt": NOTE}
        url = "ftp://127.0.0.1:%d/" % self.ftp
        work = tempfile.mkdtemp(dir=self.tmp)

        # curl: EPSV, then PASV, then the rest of a download begun before (-C -).
        for path, content in expected.items():
            for options in ([], ["--disable-epsv"]):
                with self.subTest(client="curl", path=path, options=options):
                    fetched = subprocess.run(["curl", "-sS", "--max-time", str(BOUND), *options,
                                              url + path], capture_output=True,
                                             timeout=BOUND + 10, check=True)
                    self.assertEqual(digest(content), digest(fetched.stdout))
            with self.subTest(client="curl -C -", path=path):
                out = os.path.join(work, os.path.basename(path))
                with open(out, "wb") as f:
                    f.write(content[:len(content) // 2])
                subprocess.run(["curl", "-sS", "--max-time", str(BOUND), "-C", "-", "-o", out,
                                url + path], capture_output=True, timeout=BOUND + 10, check=True)
                with open(out, "rb") as f:
                    self.assertEqual(digest(content), digest(f.read()))

        # ftplib in its default passive mode, whole and from an offset.
        with ftplib.FTP() as client:
            client.connect("127.0.0.1", self.ftp, timeout=BOUND)
            self.assertTrue(client.login().startswith("230-logon successful"))
            for path, content in expected.items():
                for rest in (None, len(content) // 3):
                    with self.subTest(client="ftplib", path=path, rest=rest):
                        data = io.BytesIO()
                        client.retrbinary("RETR " + path, data.write, rest=rest)
                        self.assertEqual(digest(content[rest or 0:]), digest(data.getvalue()))

        # lftp: a mirror of the folder, then mirror -c over a file cut short.
        local = os.path.join(work, "mirror")
        lftp = lambda commands: subprocess.run(
            ["lftp", "-c", "open -p %d 127.0.0.1; %s" % (self.ftp, commands)],
            capture_output=True, timeout=BOUND + 10, check=True)
        lftp("mirror fw '%s'" % local)
        with open(os.path.join(local, "image.bin"), "r+b") as f:
            f.truncate(len(FIRMWARE) // 2)
        lftp("mirror -c fw '%s'" % local)
        for path, content in expected.items():
            with self.subTest(client="lftp", path=path):
                with open(os.path.join(local, os.path.basename(path)), "rb") as f:
                    self.assertEqual(digest(content), digest(f.read()))
        self.assertEqual(0, server.finish(signal.SIGINT))
        self.assertTrue(any(" issued command 19 ' REST %d ' " % (len(FIRMWARE) // 2) in line
                            for line in server.out), "lftp did not resume")

    def test_clients_download_at_once(self):
        server, _ = self.start("site", dwords=self.ports())
        server.wait_running()
        results = [None] * 4
        threads = [threading.Thread(target=lambda i=i: results.__setitem__(
            i, self.ftp_get("fw/image.bin" if i % 2 else "fw/note.txt"))) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(BOUND)
        self.assertEqual([NOTE, FIRMWARE, NOTE, FIRMWARE], results)
        self.assertEqual(0, server.finish(signal.SIGINT))

    def test_password_from_the_environment(self):
        cases = [("secret", True), ("wrong", False)]
        for typed, accepted in cases:
            with self.subTest(typed=typed):
                server, _ = self.start("locked", dwords=self.ports(),
                                       env={"KELVANE_PASSWORD": typed})
                if accepted:
                    server.wait_running()
                    self.assertEqual(FIRMWARE, self.ftp_get("fw/image.bin"))
                    self.assertEqual(0, server.finish(signal.SIGINT))
                else:
                    self.assertEqual(3, server.finish())
                    self.assertIn("Invalid password!", server.err)
                    self.assertTrue(refused(self.ftp))

    def test_log_file_and_trace_file_have_crlf_line_ends(self):
        folder = tempfile.mkdtemp(dir=self.tmp)
        log_base = os.path.join(folder, "activity.log")
        server, executable = self.start("site", dwords=self.ports(),
                                        texts={"LogFile": windows_path(log_base)},
                                        args=["-log"])
        server.wait_running()
        self.ftp_get("fw/note.txt")
        self.assertEqual(0, server.finish(signal.SIGINT))

        logs = [n for n in os.listdir(folder) if n.startswith("activity") and n.endswith(".log")]
        self.assertEqual(1, len(logs), os.listdir(folder))
        stamp = logs[0][len("activity"):-len(".log")]
        self.assertRegex(stamp, r"^\d{8}$")
        with open(os.path.join(folder, logs[0]), "rb") as f:
            log = f.read()
        self.assertTrue(log.startswith(b"\r\nKelvane v3.01\r\n"), log[:60])
        self.assertIn(b"RETR fw/note.txt", log)
        self.assertNotIn(b"\r\r", log)
        self.assertEqual(log.count(b"\n"), log.count(b"\r\n"))

        with open(executable + ".log", "rb") as f:
            trace = f.read()
        self.assertGreater(len(trace), 0)
        self.assertNotIn(b"\r\r", trace)
        self.assertEqual(trace.count(b"\n"), trace.count(b"\r\n"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
