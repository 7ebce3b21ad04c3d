#!/usr/bin/env python3
"""kelvane.exe under Wine with its Win32 window, on an Xvfb display: a packaged copy
started without KELVANE_HEADLESS opens its main window (found and read from outside by
window_probe.exe), serves an ftplib download in active mode over 127.0.0.1, and ends with
status 0 when the window is closed by its close box or by Exit. The log view's lines cannot be
read from another process; they are checked in the log file, which gets every line the view
gets.

Wine's desktop process draws on the display of the program that started it and stays while
programs use it, so the window shows only on the display the prefix's desktop runs on.
KELVANE_WINE_DISPLAY names that display when the run's prefix was prepared on one
(scripts/test-windows.sh does so); without it the test starts an Xvfb server of its own and
prepares a prefix of its own on it (scripts/wine-prefix.sh beside WINE_RUN), stopped after.

Usage: test_windows_gui.py WINE_RUN KELVANE_EXE KELVANE_PACK_EXE WINDOW_PROBE_EXE
       [unittest options]. Every wait is bounded.
"""
import ftplib
import functools
import io
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import windows_support
from windows_support import BOUND, free_port, refused, windows_path, write_files

WINE_RUN, KELVANE, PACK, PROBE = sys.argv[1:5] if len(sys.argv) > 4 else ("", "", "", "")
wine = functools.partial(windows_support.wine, WINE_RUN)
windowed = functools.partial(windows_support.wine_windowed, WINE_RUN)

# The main window's controls and their texts.
LOG_VIEW, READ_ME, ABOUT, EXIT, STATUS_LINE = 1000, 1004, 3, 1002, 1007
CONTROL_TEXTS = {LOG_VIEW: "Custom1", READ_ME: "ReadMe (html)...", ABOUT: "&About...",
                 EXIT: "E&xit"}
STATUS_LINES = [b"Kelvane v3.01", b"Copyright (C) 2026 Varnek Systems"]
LOG_FILE_FAILED_PREFIX = "Unable to open log file "
PAGE = b"<html><body><p>Version [HTTPSrvVersion]</p></body></html>\r\n"
FIRMWARE = random.Random(17).randbytes(300000)
PREFIX_BOUND = 120  # seconds to make a Wine prefix


class WindowsGuiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvane-windows-gui-")
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        # What every Wine program here runs with beyond the test's own environment.
        display = os.environ.get("KELVANE_WINE_DISPLAY")
        if display:
            cls.overrides = {"DISPLAY": display}
        else:
            virtual = windows_support.VirtualDisplay()
            cls.addClassCleanup(virtual.close)
            cls.overrides = {"DISPLAY": virtual.name,
                             "WINEPREFIX": os.path.join(cls.tmp, "prefix")}
        cls.env = dict(os.environ, **cls.overrides)
        if not display:
            prepare = os.path.join(os.path.dirname(WINE_RUN), "wine-prefix.sh")
            cls.addClassCleanup(subprocess.run, [prepare, "stop"], stdin=subprocess.DEVNULL,
                                env=cls.env, timeout=BOUND)
            subprocess.run([prepare], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=cls.env, timeout=PREFIX_BOUND,
                           check=True)
        # Without a window manager Wine must draw and place the windows itself.
        wine("reg", "add", windows_support.X11_DRIVER_KEY, "/v", "Managed", "/t", "REG_SZ",
             "/d", "N", "/f", env=cls.env)
        # A caption of this run's own, so that the probe finds no other run's window.
        cls.version = "GUI test %d" % random.randrange(10**9)
        folder = os.path.join(cls.tmp, "src")
        write_files(folder, {"www/index.htm": PAGE, "fw/image.bin": FIRMWARE})
        cls.package = os.path.join(cls.tmp, "kw-gui.exe")
        wine(PACK, "build", windows_path(KELVANE), windows_path(folder),
             "-o", windows_path(cls.package), "--version", cls.version,
             "--store-pattern", "*.bin", env=cls.env)

    def setUp(self):
        self.server = None
        self.key = None

    def tearDown(self):
        if self.server is not None and not self.server.finished():
            # SIGTERM, which the time-out of wine-run.sh passes on, ends the Wine process.
            self.server.finish(signal.SIGTERM)
        if self.key is not None:
            wine("reg", "delete", self.key, "/f", check=False, env=self.env)

    def start(self, log_file):
        """A run of a copy of the package under a name of its own (so that its registry key is
        its own too), with free ports and |log_file| as LogFile."""
        folder = tempfile.mkdtemp(dir=self.tmp)
        application = "kwgui%d" % random.randrange(10**9)
        executable = os.path.join(folder, application + ".exe")
        shutil.copy2(self.package, executable)
        self.ftp, self.http = free_port(), free_port()
        self.key = windows_support.set_parameters(
            WINE_RUN, application, dwords={"FTPPort": self.ftp, "HTTPPort": self.http},
            texts={"LogFile": windows_path(log_file)}, env=self.env)
        self.server = windows_support.WindowedServer(WINE_RUN, executable, env=self.overrides)

    def probe(self, *args):
        """window_probe.exe's output for |args|, run on this test's display; the probe waits
        up to BOUND seconds for the window, its run is given a little longer."""
        result = windowed(PROBE, *args, "--caption", self.version, "--wait", str(BOUND),
                          env=self.env, timeout=BOUND + 30)
        if result.returncode != 0:
            shown = windowed(PROBE, "list", env=self.env).stdout.decode("latin-1")
            self.server.finish(signal.SIGTERM)
            self.fail("probe %s: %r; windows %s; kelvane said %r %r" % (
                args, result.stderr, shown, self.server.out, self.server.err))
        return result.stdout.decode("latin-1")

    def window(self):
        """The main window as the probe reads it: its caption and its controls by id."""
        shown = json.loads(self.probe("show"))
        return shown["caption"], {c["id"]: c for c in shown["controls"]}

    def ftp_get(self, path):
        with ftplib.FTP() as client:
            client.connect("127.0.0.1", self.ftp, timeout=BOUND)
            client.login()
            client.set_pasv(False)
            data = io.BytesIO()
            client.retrbinary("RETR " + path, data.write)
            return data.getvalue()

    def finish(self):
        """The exit status once the window was closed; the FTP port is closed by then."""
        status = self.server.finish()
        self.assertTrue(refused(self.ftp), "the FTP port is still open")
        return status

    def test_window_serves_a_download_and_the_close_box_ends_it(self):
        log_folder = tempfile.mkdtemp(dir=self.tmp)
        self.start(os.path.join(log_folder, "activity.log"))

        caption, controls = self.window()
        self.assertEqual(self.version + "\r\n", caption)  # the version entry, line end and all
        for ident, text in CONTROL_TEXTS.items():
            with self.subTest(control=ident):
                self.assertIn(ident, controls)
                self.assertTrue(controls[ident]["visible"])
                self.assertEqual(text, controls[ident]["text"])
        self.assertEqual("CUH_Control", controls[LOG_VIEW]["class"])
        self.assertFalse(controls[STATUS_LINE]["visible"], controls[STATUS_LINE])

        self.assertEqual(FIRMWARE, self.ftp_get("fw/image.bin"))
        # The window still shows after serving, with nothing in its status line.
        _, controls = self.window()
        self.assertFalse(controls[STATUS_LINE]["visible"], controls[STATUS_LINE])

        self.probe("close")
        self.assertEqual(0, self.finish())

        # The log file gets each line the log view gets, and reaches the disk at the end.
        # Beside it, the transfer file of the same day (.csv).
        logs = [name for name in os.listdir(log_folder) if name.endswith(".log")]
        self.assertEqual(1, len(logs), os.listdir(log_folder))
        with open(os.path.join(log_folder, logs[0]), "rb") as f:
            lines = f.read().split(b"\r\n")
        self.assertEqual([b""] + STATUS_LINES + [b"FTP server ready on port %d." % self.ftp],
                         lines[:4])
        self.assertTrue(any(b"RETR fw/image.bin" in line for line in lines), lines)

    def test_exit_ends_it_and_the_status_line_says_why_the_log_file_failed(self):
        unopenable = os.path.join(self.tmp, "no such folder", "activity.log")
        self.start(unopenable)
        _, controls = self.window()
        status = controls[STATUS_LINE]
        self.assertTrue(status["visible"], status)
        self.assertTrue(status["text"].startswith(LOG_FILE_FAILED_PREFIX), status)
        self.assertIn("no such folder", status["text"])

        self.assertEqual(FIRMWARE, self.ftp_get("fw/image.bin"))
        self.probe("close", "--exit-button")
        self.assertEqual(0, self.finish())
        self.assertFalse(os.path.exists(os.path.dirname(unopenable)))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[5:])
