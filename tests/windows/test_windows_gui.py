#!/usr/bin/env python3
"""kelvane.exe under Wine with its Win32 window, on an Xvfb display: a packaged copy
started without KELVANE_HEADLESS opens its main window (found and read from outside by
window_probe.exe), serves an ftplib download in active mode over 127.0.0.1, and ends with
status 0 when the window is closed by its close box or by Exit. The log view's lines cannot be
read from another process; they are checked in the log file, which gets every line the view
gets. The log view's scroll bars are driven and read by the probe (messages, real clicks on
the bar and real keys); the transfer panel is read as its row count and its totals line, and
the address line as its text.

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
import threading
import time
import unittest

import windows_support
from windows_support import BOUND, free_port, refused, windows_path, write_files

WINE_RUN, KELVANE, PACK, PROBE = sys.argv[1:5] if len(sys.argv) > 4 else ("", "", "", "")
wine = functools.partial(windows_support.wine, WINE_RUN)
windowed = functools.partial(windows_support.wine_windowed, WINE_RUN)

# The main window's controls and their texts.
LOG_VIEW, READ_ME, ABOUT, EXIT, STATUS_LINE = 1000, 1004, 3, 1002, 1007
ADDRESS_LINE, PACKAGE_CHECK, TRANSFERS, TOTALS = 1008, 1009, 1013, 1014
ADDRESS_PREFIX = "Devices can reach this PC at ftp://"
VERIFIED_PREFIX = "Package verified: "
TOTALS_FORMAT = "In progress: %d    Complete: %d    Failed: %d"
# WM_VSCROLL codes, virtual keys, and the lines a wheel notch moves in a fresh prefix.
SB_LINEUP, SB_LINEDOWN, SB_PAGEUP, SB_PAGEDOWN = 0, 1, 2, 3
VK_PRIOR, VK_NEXT, VK_END, VK_HOME, VK_UP, VK_DOWN = 0x21, 0x22, 0x23, 0x24, 0x26, 0x28
WHEEL_LINES = 3
CONTROL_TEXTS = {LOG_VIEW: "Custom1", READ_ME: "ReadMe (html)...", ABOUT: "&About...",
                 EXIT: "E&xit"}
STATUS_LINES = [b"Kelvane v3.01", b"Copyright (C) 2026 Varnek Systems"]
LOG_FILE_FAILED_PREFIX = "Unable to open log file "
PAGE = b"<html><body><p>Version [HTTPSrvVersion]</p></body></html>\r\n"
FIRMWARE = random.Random(17).randbytes(300000)
# Larger than the socket buffers on both ends hold, so that a client that stops reading holds
# the download in progress.
LARGE = random.Random(18).randbytes(16 * 1024 * 1024)
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
        write_files(folder, {"www/index.htm": PAGE, "fw/image.bin": FIRMWARE,
                             "fw/large.bin": LARGE})
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

    def wait_window(self, predicate):
        """The window's controls once |predicate| holds for them (bounded)."""
        deadline = time.monotonic() + BOUND
        while True:
            _, controls = self.window()
            if predicate(controls):
                return controls
            if time.monotonic() > deadline:
                self.fail("the window never showed that: %r" % controls)
            time.sleep(0.2)

    def scroll(self, *actions):
        """The log view's bars before and after each action, as the probe prints them."""
        return [json.loads(line) for line in self.probe("scroll", *actions).splitlines()]

    def settled_bars(self, log, sessions):
        """The log view's bars once |sessions| FTP sessions have ended (their last line is in
        the log file) and the view has every line of the file (bounded)."""
        deadline = time.monotonic() + BOUND
        while True:
            with open(log, "rb") as f:
                lines = f.read().split(b"\r\n")[1:]  # the file starts with a line break
            bars = self.scroll()[0]
            if lines.count(b"Disconnect!") == sessions and \
                    bars["vertical"]["max"] == len(lines) - 1:
                return bars["vertical"], len(lines)
            if time.monotonic() > deadline:
                self.fail("the log view never had the file's %d lines: %r" % (len(lines), bars))
            time.sleep(0.2)

    def noops(self, count):
        with ftplib.FTP() as client:
            client.connect("127.0.0.1", self.ftp, timeout=BOUND)
            client.login()
            for _ in range(count):
                client.voidcmd("NOOP")

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

    def test_the_panel_shows_a_download_and_the_log_scrolls_back(self):
        log_folder = tempfile.mkdtemp(dir=self.tmp)
        self.start(os.path.join(log_folder, "activity.log"))
        _, controls = self.window()
        address = controls[ADDRESS_LINE]["text"]
        self.assertTrue(address.startswith(ADDRESS_PREFIX), address)
        self.assertIn(":%d/" % self.ftp, address)
        self.assertEqual(0, controls[TRANSFERS]["items"])
        self.assertEqual(TOTALS_FORMAT % (0, 0, 0), controls[TOTALS]["text"])
        # The package check's area shows once the check has a line for it: here its summary,
        # which may come before or after the window first shows.
        check = self.wait_window(lambda c: c[PACKAGE_CHECK]["visible"])[PACKAGE_CHECK]
        self.assertTrue(check["text"].startswith(VERIFIED_PREFIX), check)
        self.assertNotIn("damaged", check["text"])

        # A download held after its first block until the panel has shown it in progress.
        seen = threading.Event()
        received = io.BytesIO()

        def hold(block):
            received.write(block)
            seen.wait(BOUND)

        def download():
            with ftplib.FTP() as client:
                client.connect("127.0.0.1", self.ftp, timeout=BOUND)
                client.login()
                client.set_pasv(False)
                client.retrbinary("RETR fw/large.bin", hold)

        downloader = threading.Thread(target=download)
        downloader.start()
        try:
            self.wait_window(lambda c: c[TOTALS]["text"] == TOTALS_FORMAT % (1, 0, 0)
                             and c[TRANSFERS]["items"] == 1)
        finally:
            seen.set()
            downloader.join(BOUND)
        self.assertEqual(LARGE, received.getvalue())
        self.wait_window(lambda c: c[TOTALS]["text"] == TOTALS_FORMAT % (0, 1, 0)
                         and c[TRANSFERS]["items"] == 1)

        # Many more lines than fit: the bar reaches every one of them (the log file has them
        # all). Two sessions so far: the download's and this one.
        self.noops(40)
        log = os.path.join(log_folder, [n for n in os.listdir(log_folder) if n.endswith(".log")][0])
        settled, line_count = self.settled_bars(log, 2)
        self.assertGreater(line_count, 80)
        bars = self.scroll(
            "vscroll=%d" % SB_LINEUP, "vscroll=%d" % SB_PAGEUP, "vscroll=%d" % SB_PAGEDOWN,
            "vscroll=%d" % SB_LINEDOWN, "wheel=120", "wheel=-120", "key=%d" % VK_HOME,
            "key=%d" % VK_DOWN, "key=%d" % VK_NEXT, "key=%d" % VK_END, "key=%d" % VK_UP,
            "key=%d" % VK_PRIOR, "thumb=0", "vscroll=%d" % SB_LINEUP)
        vertical = [b["vertical"] for b in bars]
        page, maximum = vertical[0]["page"], vertical[0]["max"]
        self.assertGreater(page, 3)
        self.assertEqual(settled, vertical[0])
        newest = maximum - page + 1
        positions = [v["pos"] for v in vertical]
        self.assertEqual([newest, newest - 1, newest - 1 - page, newest - 1, newest,
                          newest - WHEEL_LINES, newest, 0, 1, 1 + page, newest, newest - 1,
                          newest - 1 - page, 0, 0], positions)
        self.assertTrue(all(v["page"] == page and v["max"] == maximum for v in vertical))

        # The bar itself, clicked: the up arrow shows older lines, the trough a page of them;
        # then the keyboard, with the focus given by a click in the lines.
        bars = self.scroll("key=%d" % VK_END, "click=up", "click=above", "click=down",
                           "click=below", "click=log", "press=%d" % VK_UP,
                           "press=%d" % VK_PRIOR, "press=%d" % VK_END)
        self.assertEqual([0, newest, newest - 1, newest - 1 - page, newest - page, newest,
                          newest, newest - 1, newest - 1 - page, newest],
                         [b["vertical"]["pos"] for b in bars])

        # Scrolled up, new lines leave the view where it is; at the newest line it follows.
        self.scroll("key=%d" % VK_PRIOR)
        self.noops(5)
        after, _ = self.settled_bars(log, 3)
        self.assertEqual(newest - page, after["pos"])
        self.assertGreater(after["max"], maximum)
        self.scroll("key=%d" % VK_END)
        self.noops(5)
        last, _ = self.settled_bars(log, 4)
        self.assertGreater(last["max"], after["max"])
        self.assertEqual(last["max"] - page + 1, last["pos"])

        self.probe("close")
        self.assertEqual(0, self.finish())

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
