#!/usr/bin/env python3
"""The packaged kelvane server run as a child process: start-up failures and exit statuses,
ports from the settings file, the status lines on stdout, FTP (ftplib, active mode) and HTTP
(http.client) on 127.0.0.1, the password from KELVANE_PASSWORD, trace and log files, signals,
the messages that name a cause (a privileged port, a missing password, a log file that does
not open), the default caption, and the descriptor limit.

Usage: test_kelvane_server.py KELVANE KELVANE_PACK [unittest options]. Every wait is bounded.
"""
import ftplib
import http.client
import io
import os
import random
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

KELVANE, PACK = (sys.argv[1], sys.argv[2]) if len(sys.argv) > 2 else ("", "")
BOUND = 30  # seconds for anything that should happen promptly

STATUS = ["Kelvane v3.01", "Copyright (C) 2026 Varnek Systems"]
RUNNING = "Kelvane is running; Ctrl+C or SIGTERM ends it."
PASSWORD_REQUIRED = ("Password required: this package is password protected and no terminal is "
                     "attached; set KELVANE_PASSWORD to the password.")
PORT_QUESTION = "ERROR: Unable to open FTP port %d! Would you like to select a different port?"
PAGE = b"<html><body><p>Version [HTTPSrvVersion]</p><img src=\"logo.gif\"></body></html>\r\n"
LOGO = b"GIF89a" + bytes(range(64))
FIRMWARE = random.Random(7).randbytes(300000)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def hold_port(port=0):
    s = socket.socket()
    s.bind(("127.0.0.1", port))
    s.listen(1)
    return s


def refused(port):
    with socket.socket() as s:
        s.settimeout(BOUND)
        return s.connect_ex(("127.0.0.1", port)) != 0


def write_files(root, files):
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


class Server:
    """One run of a package: its settings, its output lines as they come, its end."""

    def __init__(self, package, settings=None, args=(), env=None, wrapper=()):
        self.folder = os.path.dirname(package)
        config = os.path.join(self.folder, "config")
        application = os.path.splitext(os.path.basename(package))[0]
        self.settings_file = os.path.join(config, "Varnek Systems", application + ".conf")
        if settings is not None:
            os.makedirs(os.path.dirname(self.settings_file), exist_ok=True)
            self.settings_text = "[Parameters]\n" + "".join("%s=%s\n" % kv for kv in settings.items())
            with open(self.settings_file, "w") as f:
                f.write(self.settings_text)
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("ARC2", "KELVANE_PASSWORD")}
        environment.update(XDG_CONFIG_HOME=config, KELVANE_HEADLESS="1", **(env or {}))
        self.process = subprocess.Popen([*wrapper, package, *args], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=environment)
        self.out, self.err = [], []
        self.changed = threading.Condition()
        self.readers = [threading.Thread(target=self._read, args=(s, l), daemon=True)
                        for s, l in ((self.process.stdout, self.out),
                                     (self.process.stderr, self.err))]
        for r in self.readers:
            r.start()

    def _read(self, stream, lines):
        for raw in stream:
            with self.changed:
                lines.append(raw.decode("latin-1").rstrip("\n"))
                self.changed.notify_all()

    def wait_for(self, lines, predicate):
        with self.changed:
            if not self.changed.wait_for(lambda: any(map(predicate, lines)), timeout=BOUND):
                raise AssertionError("never came; stdout %r stderr %r" % (self.out, self.err))

    def wait_running(self):
        self.wait_for(self.err, lambda line: line == RUNNING)
        # The status lines reach stdout before that line reaches stderr, but each stream has
        # its own reader thread here, so stdout's may not have taken them yet.
        self.wait_for(self.out, lambda line: line.startswith("FTP server ready on port"))

    def finish(self, sig=None):
        """Sends |sig| (if any) and returns the exit status once both streams ended."""
        if sig is not None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=BOUND)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
        for r in self.readers:
            r.join(BOUND)
        self.process.stdout.close()
        self.process.stderr.close()
        return status


def http_get(port, path):
    """The status and body of a GET of |path| from 127.0.0.1:|port|."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=BOUND)
    try:
        connection.request("GET", path)
        answer = connection.getresponse()
        return answer.status, answer.read()
    finally:
        connection.close()


class ServerCleanup:
    """For test cases that start servers: each test's servers (self.servers) end with it, killed
    when still running, and the class's folder (cls.tmp) goes with the class."""

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            if server.process.returncode is None or not server.process.stdout.closed:
                server.finish(signal.SIGKILL if server.process.poll() is None else None)


class ServerTest(ServerCleanup, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvane-server-test-")
        sources = {
            "site": {"www/index.htm": PAGE, "www/logo.gif": LOGO, "fw/image.bin": FIRMWARE},
            "plain": {"fw/image.bin": FIRMWARE},
            "crlf": {"password.txt": b"Secret\r\n", "fw/image.bin": FIRMWARE},
            "unversioned": {"fw/image.bin": FIRMWARE},
        }
        cls.packages = {}
        for name, files in sources.items():
            folder = os.path.join(cls.tmp, "src-" + name)
            write_files(folder, files)
            out = os.path.join(cls.tmp, "kv-%s.bin" % name)
            extra = ["--password", "Secret"] if name == "plain" else []
            if name != "unversioned":
                extra += ["--version", "3.34"]
            subprocess.run([PACK, "build", KELVANE, folder, "-o", out, *extra],
                           check=True, stdout=subprocess.DEVNULL, timeout=BOUND)
            cls.packages[name] = out

    def start(self, kind, settings=None, damage=None, **kwargs):
        """A run of a fresh copy of the package |kind| (or the bare server) in its own folder;
        |damage| may change the copy's bytes through its open file first."""
        folder = tempfile.mkdtemp(dir=self.tmp)
        source = KELVANE if kind == "bare" else self.packages[kind]
        package = os.path.join(folder, os.path.basename(source))
        shutil.copy2(source, package)
        if damage:
            with open(package, "r+b") as f:
                damage(f)
        server = Server(package, settings, **kwargs)
        self.servers.append(server)
        return server

    def ports(self, **extra):
        self.ftp, self.http = free_port(), free_port()
        return {"FTPPort": self.ftp, "HTTPPort": self.http, **extra}

    def ftp_get(self, port, path):
        with ftplib.FTP() as client:
            client.connect("127.0.0.1", port, timeout=BOUND)
            client.login()
            client.set_pasv(False)
            data = io.BytesIO()
            client.retrbinary("RETR " + path, data.write)
            return data.getvalue()

    def test_archive_that_cannot_be_opened_ends_with_message_and_status(self):
        def flip_last_byte(f):
            f.seek(-1, os.SEEK_END)
            last = f.read(1)[0]
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last ^ 0xFF]))

        def cut_seven_bytes(f):
            f.truncate(f.seek(0, os.SEEK_END) - 7)

        for kind, damage in (("bare", None), ("site", flip_last_byte), ("site", cut_seven_bytes)):
            with self.subTest(kind=kind, damage=damage and damage.__name__):
                server = self.start(kind, self.ports(), damage=damage)
                self.assertEqual(2, server.finish())
                self.assertEqual(["Unable to open archive!"], server.err)
                self.assertEqual([], server.out)

    def test_serves_ftp_and_http_on_the_configured_ports(self):
        log_base = os.path.join(tempfile.mkdtemp(dir=self.tmp), "activity.log")
        dates = {time.strftime("%d%m%Y")}
        server = self.start("site", self.ports(LogFile=log_base))
        server.wait_running()
        self.assertEqual(STATUS + ["FTP server ready on port %d." % self.ftp], server.out[:3])
        self.assertIn("Caption: 3.34", server.err)
        self.assertIn("Read-me: http://localhost:%d/www/index.htm" % self.http, server.err)

        self.assertEqual(b"3.34\r\n", self.ftp_get(self.ftp, "version.txt"))
        self.assertEqual(FIRMWARE, self.ftp_get(self.ftp, "/fw/image.bin"))
        status, body = http_get(self.http, "/www/index.htm")
        self.assertEqual(200, status)
        self.assertEqual(PAGE.replace(b"[HTTPSrvVersion]", b"[?HTTPSrvVersion?]"), body)
        self.assertEqual((200, LOGO), http_get(self.http, "/www/logo.gif"))

        server.wait_for(server.out, lambda line: line == "Disconnect!")
        self.assertEqual(0, server.finish(signal.SIGTERM))
        self.assertIn("127.0.0.1", server.out)
        self.assertTrue(any("RETR /fw/image.bin" in line for line in server.out))
        self.assertFalse(any(line.startswith(("Caption", "Read-me", "Kelvane")) for line in server.out[3:]))

        # The log file carries the day's date and every line, CR LF before each.
        dates.add(time.strftime("%d%m%Y"))
        logs = [log_base.replace(".log", "%s.log" % d) for d in dates]
        logs = [name for name in logs if os.path.exists(name)]
        self.assertEqual(1, len(logs), os.listdir(os.path.dirname(log_base)))
        with open(logs[0], "rb") as f:
            self.assertEqual("".join("\r\n" + line for line in server.out), f.read().decode("latin-1"))

    def test_headless_prints_the_addresses_each_transfer_and_the_totals(self):
        server = self.start("site", self.ports())
        server.wait_running()
        addresses = [line for line in server.err if line.startswith("Address: ")]
        ftp_lines = [a for a in addresses if a.startswith("Address: ftp://")]
        http_lines = [a for a in addresses if a.startswith("Address: http://")]
        self.assertTrue(ftp_lines, server.err)
        self.assertEqual(len(ftp_lines), len(http_lines), addresses)
        for line in ftp_lines:
            self.assertRegex(line, r"^Address: ftp://\d+\.\d+\.\d+\.\d+:%d/$" % self.ftp)
        for line in http_lines:
            self.assertRegex(
                line, r"^Address: http://\d+\.\d+\.\d+\.\d+:%d/www/index\.htm$" % self.http)
        # Printed at start: before the notice that the server runs.
        self.assertLess(server.err.index(addresses[-1]), server.err.index(RUNNING))

        self.assertEqual(FIRMWARE, self.ftp_get(self.ftp, "/fw/image.bin"))
        server.wait_for(server.err, lambda line: line.startswith("Transfer: "))
        self.assertEqual(0, server.finish(signal.SIGTERM))
        transfers = [line for line in server.err if line.startswith("Transfer: ")]
        self.assertEqual(1, len(transfers), server.err)
        self.assertRegex(transfers[0],
                         r'^Transfer: 127\.0\.0\.1 "\\?fw\\image\.bin" 300000/300000 bytes in '
                         r"\d+\.\d\d s \(\d+\.\d MB/s\) complete$")
        self.assertEqual("Transfers: 1 complete, 0 failed", server.err[-1])
        self.assertFalse(any(line.startswith(("Transfer", "Address")) for line in server.out))

    def test_ftp_mode_setting_switches_to_the_modern_mode(self):
        # Classic without the setting (and for a value it does not know), modern when asked.
        for mode, modern in ((None, False), ("bogus", False), ("modern", True)):
            with self.subTest(mode=mode):
                extra = {} if mode is None else {"FtpMode": mode}
                server = self.start("site", self.ports(**extra))
                server.wait_running()
                with ftplib.FTP() as client:
                    client.connect("127.0.0.1", self.ftp, timeout=BOUND)
                    welcome = client.login()
                    self.assertEqual(modern, welcome.startswith("230-logon successful"), welcome)
                    if modern:
                        data = io.BytesIO()
                        client.retrbinary("RETR fw/image.bin", data.write)  # passive: PASV
                        self.assertEqual(FIRMWARE, data.getvalue())
                    else:
                        with self.assertRaises(ftplib.error_perm) as caught:
                            client.sendcmd("PASV")
                        self.assertEqual("502 Command not implemented", str(caught.exception))
                self.assertEqual(0, server.finish(signal.SIGTERM))

    def test_ports_use_the_low_16_bits_and_http_moves_past_a_taken_port(self):
        # A taken port with a free one after it, below the ephemeral range: ports that other tests
        # running at the same time get from the system (bind to port 0) never land there.
        rng = random.Random()
        for _ in range(50):
            try:
                taken = hold_port(rng.randrange(20000, 32000))
            except OSError:
                continue
            http_port = taken.getsockname()[1]
            if not refused(http_port) and refused(http_port + 1):
                break
            taken.close()
        self.addCleanup(taken.close)
        ftp_port = free_port()
        server = self.start("site", {"FTPPort": ftp_port + 65536, "HTTPPort": http_port - 131072})
        server.wait_running()
        self.assertEqual("FTP server ready on port %d." % ftp_port, server.out[2])
        self.assertIn("Read-me: http://localhost:%d/www/index.htm" % (http_port + 1), server.err)
        self.assertEqual(200, http_get(http_port + 1, "/www/logo.gif")[0])
        self.assertEqual(b"3.34\r\n", self.ftp_get(ftp_port, "version.txt"))
        self.assertEqual(0, server.finish(signal.SIGINT))

    def test_no_http_port_for_a_package_without_pages(self):
        server = self.start("crlf", self.ports(), env={"KELVANE_PASSWORD": "secret"})
        server.wait_running()
        self.assertFalse(any(line.startswith("Read-me") for line in server.err))
        self.assertTrue(refused(self.http))
        self.assertEqual(0, server.finish(signal.SIGTERM))

    def test_password_from_the_environment(self):
        cases = [  # package, KELVANE_PASSWORD, serves, stderr lines of the refusal
            ("plain", "sEcReT", True, None),
            ("plain", "Secret ", False, ["Invalid password!"]),
            ("plain", None, False, [PASSWORD_REQUIRED]),
            ("crlf", "SECRET", True, None),   # the entry's line end is no part of it
            ("crlf", "Secret\r\n", False, ["Invalid password!"]),
        ]
        for kind, password, serves, refusal in cases:
            with self.subTest(kind=kind, password=password):
                env = {} if password is None else {"KELVANE_PASSWORD": password}
                server = self.start(kind, self.ports(), env=env)
                if serves:
                    server.wait_running()
                    self.assertEqual(b"3.34\r\n", self.ftp_get(self.ftp, "version.txt"))
                    self.assertEqual(0, server.finish(signal.SIGTERM))
                else:
                    self.assertEqual(3, server.finish())
                    self.assertEqual(refusal, server.err)
                    self.assertEqual([], server.out)
                    self.assertTrue(refused(self.ftp))

    def test_taken_ftp_port_ends_with_the_question_answered_no(self):
        taken = hold_port()
        self.addCleanup(taken.close)
        port = taken.getsockname()[1]
        server = self.start("site", {"FTPPort": port, "HTTPPort": free_port()})
        self.assertEqual(4, server.finish())
        self.assertEqual([PORT_QUESTION % port], server.err)
        self.assertEqual([], server.out)
        with open(server.settings_file) as f:
            self.assertEqual(server.settings_text, f.read())  # nothing stored

    def test_trace_files_from_log_option_and_arc2(self):
        cases = [  # arguments, ARC2 set, .log file expected, ARC2 file expected
            (["--no-logging-please"], False, True, False),
            (["-LOG"], False, False, False),
            (["-log"], True, False, True),
        ]
        for args, arc2, log_expected, arc2_expected in cases:
            with self.subTest(args=args, arc2=arc2):
                env = {}
                folder = tempfile.mkdtemp(dir=self.tmp)
                arc2_file = os.path.join(folder, "arc2-trace.txt")
                if arc2:
                    env["ARC2"] = arc2_file
                server = self.start("site", self.ports(), env=env, args=args)
                server.wait_running()
                self.assertEqual(200, http_get(self.http, "/www/index.htm")[0])
                self.assertEqual(0, server.finish(signal.SIGTERM))
                log_file = server.process.args[0] + ".log"
                self.assertEqual(log_expected, os.path.exists(log_file))
                self.assertEqual(arc2_expected, os.path.exists(arc2_file))
                for path in [p for p, e in ((log_file, log_expected), (arc2_file, arc2_expected)) if e]:
                    with open(path, "rb") as f:
                        trace = f.read()
                    self.assertIn(b"\r\nStart HTTP Server. Root path=''\r\n", trace)
                    self.assertIn(b"OpenFile", trace)

    def test_privileged_ftp_port_without_the_capability_names_setcap(self):
        # Run without CAP_NET_BIND_SERVICE (setpriv drops it from the bounding set, so root's
        # effective set lacks it too), the refused low port says why and how to allow it.
        setpriv = shutil.which("setpriv")
        with open("/proc/sys/net/ipv4/ip_unprivileged_port_start") as f:
            unprivileged_start = int(f.read())
        if os.geteuid() != 0 or setpriv is None or unprivileged_start < 2:
            self.skipTest("needs root, setpriv and privileged low ports")
        port = None
        for candidate in range(min(unprivileged_start, 1024) - 1, 0, -1):
            try:
                hold_port(candidate).close()  # free now, and low enough to need the capability
                port = candidate
                break
            except OSError:
                continue
        self.assertIsNotNone(port)
        server = self.start("site", {"FTPPort": port, "HTTPPort": free_port()},
                            wrapper=[setpriv, "--bounding-set=-net_bind_service", "--"])
        self.assertEqual(4, server.finish())
        package = os.path.realpath(server.process.args[-1])
        self.assertEqual(2, len(server.err), server.err)
        self.assertEqual(PORT_QUESTION % port, server.err[0])
        self.assertTrue(server.err[1].startswith("Port %d " % port), server.err[1])
        self.assertTrue(server.err[1].endswith("setcap cap_net_bind_service=+ep " + package),
                        server.err[1])
        self.assertEqual([], server.out)

    def test_package_without_version_shows_the_default_caption(self):
        server = self.start("unversioned", self.ports())
        server.wait_running()
        self.assertIn("Caption: FTP Server v2.0", server.err)
        self.assertEqual(0, server.finish(signal.SIGTERM))

    def test_log_file_names_and_a_log_file_that_does_not_open(self):
        # A dot in a folder name: the date goes into the file name only.
        folder = os.path.join(tempfile.mkdtemp(dir=self.tmp), "app-1.2")
        os.makedirs(folder)
        days = {time.strftime("%d%m%Y")}
        server = self.start("site", self.ports(LogFile=os.path.join(folder, "ftp.log")))
        server.wait_running()
        self.assertEqual(b"3.34\r\n", self.ftp_get(self.ftp, "version.txt"))
        server.wait_for(server.out, lambda line: line == "Disconnect!")
        self.assertEqual(0, server.finish(signal.SIGTERM))
        days.add(time.strftime("%d%m%Y"))
        # The transfer file beside the log file: same stamp, a header, a row per download.
        self.assertIn(sorted(os.listdir(folder)),
                      [["ftp%s.csv" % d, "ftp%s.log" % d] for d in days])
        self.assertFalse(any(line.startswith("Unable to open log file") for line in server.err))
        csv_name = next(name for name in os.listdir(folder) if name.endswith(".csv"))
        with open(os.path.join(folder, csv_name), "rb") as f:
            rows = f.read().split(b"\r\n")
        self.assertEqual(b"start,client,user,path,bytes,total,seconds,result", rows[0])
        self.assertEqual(b"", rows[-1])
        self.assertEqual(3, len(rows), rows)
        fields = rows[1].decode().split(",")
        self.assertRegex(fields[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(["127.0.0.1", "anonymous", "version.txt", "6", "6"], fields[1:6])
        self.assertRegex(fields[6], r"^\d+\.\d\d$")
        self.assertEqual("complete", fields[7])

        # A missing folder: one line on stderr however many lines are logged; serving goes on.
        missing = os.path.join(tempfile.mkdtemp(dir=self.tmp), "gone.d", "ftp.log")
        server = self.start("site", self.ports(LogFile=missing))
        server.wait_running()
        for _ in range(2):
            self.assertEqual(b"3.34\r\n", self.ftp_get(self.ftp, "version.txt"))
        server.wait_for(server.out, lambda line: line == "Disconnect!")
        self.assertEqual(0, server.finish(signal.SIGTERM))
        # The log file's failure once, and the transfer file's once for its day.
        failures = [line for line in server.err if line.startswith("Unable to open log file")]
        self.assertEqual(2, len(failures), server.err)
        self.assertEqual(1, len([line for line in failures if ".csv" in line]), failures)
        self.assertIn(os.path.dirname(missing) + os.sep + "ftp", failures[0])
        self.assertIn("No such file or directory", failures[0])
        self.assertEqual(STATUS, server.out[:2])
        self.assertFalse(os.path.exists(os.path.dirname(missing)))

    def test_soft_descriptor_limit_is_raised_to_the_hard_limit(self):
        # prlimit lowers the soft limit and then becomes the server (same process).
        prlimit = shutil.which("prlimit")
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if prlimit is None or hard == resource.RLIM_INFINITY or hard <= 256:
            self.skipTest("needs prlimit and a finite hard limit above 256")
        server = self.start("site", self.ports(),
                            wrapper=[prlimit, "--nofile=256:%d" % hard, "--"])
        server.wait_running()
        with open("/proc/%d/limits" % server.process.pid) as f:
            row = next(line for line in f if line.startswith("Max open files"))
        self.assertEqual([str(hard), str(hard)], row.split()[3:5], row)
        self.assertEqual(0, server.finish(signal.SIGTERM))


if __name__ == "__main__":
    if not (KELVANE and PACK):
        sys.exit("usage: test_kelvane_server.py KELVANE KELVANE_PACK [unittest options]")
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
