#!/usr/bin/env python3
"""--version and --help of kelvane and kelvane-pack: their output and status, and that they
start nothing (no window, no package opened, no trace file, no status lines), while a command
line that merely resembles them still starts the server, "-log" detected as before.

Usage: test_info_options.py KELVANE KELVANE_PACK VERSION [unittest options]. Every wait is
bounded.
"""
import ftplib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_kelvane_server as server_test  # noqa: E402  (the server harness, same arguments)

KELVANE, PACK, VERSION = sys.argv[1:4] if len(sys.argv) > 3 else ("", "", "")
BOUND = server_test.BOUND
KEYS = ["FTPPort", "HTTPPort", "LogFile", "IdleTimeout", "HttpHeadTimeout", "HttpMinBodyRate"]


class InfoOptionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvane-info-test-")
        folder = os.path.join(cls.tmp, "src")
        server_test.write_files(folder, {"fw/image.bin": b"firmware\r\n" * 100})
        cls.package = os.path.join(cls.tmp, "fw-server.bin")
        subprocess.run([PACK, "build", KELVANE, folder, "-o", cls.package, "--version", "3.34"],
                       check=True, stdout=subprocess.DEVNULL, timeout=BOUND)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def copy(self, source):
        folder = tempfile.mkdtemp(dir=self.tmp)
        target = os.path.join(folder, os.path.basename(source))
        shutil.copy2(source, target)
        return target

    def run_program(self, program, *args, display=None):
        """Runs |program| to its end. With |display| set (and no KELVANE_HEADLESS), a program
        that went on to open its window would fail on the display that does not exist."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("ARC2", "KELVANE_PASSWORD", "KELVANE_HEADLESS", "WAYLAND_DISPLAY")}
        env["XDG_CONFIG_HOME"] = os.path.join(os.path.dirname(program), "config")
        if display is None:
            env["KELVANE_HEADLESS"] = "1"
        else:
            env["DISPLAY"] = display
        return subprocess.run([program, *args], stdin=subprocess.DEVNULL, capture_output=True,
                              env=env, timeout=BOUND)

    def test_version_and_help_print_and_start_nothing(self):
        cases = [  # (name, program, arguments, with a display, the text printed)
            ("bare --version", KELVANE, ["--version"], None, "version"),
            ("bare --version, window", KELVANE, ["--version"], ":97", "version"),
            ("packaged -log --version", self.package, ["-log", "--version"], None, "version"),
            ("packaged --version -logging", self.package, ["--version", "-logging"], ":97",
             "version"),
            ("bare --help", KELVANE, ["--help"], None, "help"),
            ("packaged --help -log", self.package, ["--help", "-log"], ":97", "help"),
            ("the first one wins", self.package, ["x", "--help", "--version"], None, "help"),
        ]
        for name, source, args, display, printed in cases:
            with self.subTest(name):
                program = self.copy(source)
                result = self.run_program(program, *args, display=display)
                out = result.stdout.decode()
                self.assertEqual((0, b""), (result.returncode, result.stderr), out)
                if printed == "version":
                    self.assertEqual("kelvane %s\n" % VERSION, out)
                else:
                    self.assertTrue(out.startswith("Usage: %s " % os.path.basename(program)),
                                    out)
                    settings = "Varnek Systems/%s.conf" % os.path.splitext(
                        os.path.basename(program))[0]
                    for part in [*KEYS, "KELVANE_HEADLESS=1", settings]:
                        self.assertIn(part, out)
                    statuses = out.split("Exit status:\n")[1].splitlines()
                    self.assertEqual(["0", "1", "2", "3", "4"], [s.split()[0] for s in statuses])
                # No trace file, no settings folder, nothing but the program in its folder.
                self.assertEqual([os.path.basename(program)],
                                 os.listdir(os.path.dirname(program)))

    def test_look_alike_arguments_start_the_server_and_log_still_counts(self):
        # "--version-log" is no --version, and "-log" in it asks for the trace file.
        program = self.copy(self.package)
        ftp_port, http_port = server_test.free_port(), server_test.free_port()
        server = server_test.Server(program, {"FTPPort": ftp_port, "HTTPPort": http_port},
                                    args=["--version-log", "--HELP"])
        try:
            server.wait_running()
            with ftplib.FTP() as client:
                client.connect("127.0.0.1", ftp_port, timeout=BOUND)
                client.login()
                client.set_pasv(False)
                lines = []
                client.retrlines("RETR version.txt", lines.append)
                self.assertEqual(["3.34"], lines)
        finally:
            status = server.finish(signal.SIGTERM)
        self.assertEqual(0, status)
        self.assertEqual(server_test.STATUS, server.out[:2])  # complete once the streams end
        self.assertTrue(os.path.exists(program + ".log"))

    def test_pack_version_before_a_command_and_build_version_after_it(self):
        result = subprocess.run([PACK, "--version"], capture_output=True, timeout=BOUND)
        self.assertEqual((0, "kelvane-pack %s\n" % VERSION),
                         (result.returncode, result.stdout.decode()))
        folder = tempfile.mkdtemp(dir=self.tmp)
        output = os.path.join(folder, "out")
        subprocess.run([PACK, "build", KELVANE, os.path.join(self.tmp, "src"), "-o", output,
                        "--version", "7.1"], check=True, capture_output=True, timeout=BOUND)
        extracted = os.path.join(folder, "x")
        subprocess.run([PACK, "extract", output, extracted], check=True, capture_output=True,
                       timeout=BOUND)
        with open(os.path.join(extracted, "version.txt"), "rb") as f:
            self.assertEqual(b"7.1\r\n", f.read())


if __name__ == "__main__":
    if not (KELVANE and PACK and VERSION):
        sys.exit("usage: test_info_options.py KELVANE KELVANE_PACK VERSION [unittest options]")
    unittest.main(argv=[sys.argv[0], *sys.argv[4:]])
