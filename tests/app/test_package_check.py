#!/usr/bin/env python3
"""The package check of the real server, run headless as a child process: each kind of damage
named once on stderr and in the trace, the entry then refused over FTP (150, a data connection
without a byte, 550) and HTTP (404); downloads byte-identical with the inflated copies on and
off, over curl and ftplib, whole and restarted; the copies' limit; and no file left in the
temporary folder after SIGTERM or kill -9.

Usage: test_package_check.py KELVANE KELVANE_PACK [unittest options]. Every wait is bounded.
The server's helpers come from test_kelvane_server.py, the package decoder from
tests/tools/test_kelvane_pack.py.
"""
import ftplib
import hashlib
import io
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from test_kelvane_server import (BOUND, KELVANE, PACK, Server, ServerCleanup, free_port,  # noqa: E402
                                 http_get, write_files)
from test_kelvane_pack import INFO, parse_package  # noqa: E402

PAGE = b"<html><body><p>pages</p></body></html>\r\n"


def text_like(seed, size):
    """Compressible bytes that still take some inflating: words drawn from a small vocabulary."""
    rnd = random.Random(seed)
    words = [bytes(rnd.choice(b"abcdefghijklmnop") for _ in range(rnd.randint(2, 9)))
             for _ in range(2000)]
    out = bytearray()
    while len(out) < size:
        out += rnd.choice(words) + b" "
    return bytes(out[:size])


FILES = {
    "www/index.htm": PAGE,
    "fw/image.bin": text_like(1, 3 << 20),       # compressed, 3 MiB unpacked
    "fw/small.txt": text_like(2, 60000),         # compressed
    "fw/stored.bin": random.Random(3).randbytes(200000),  # stored: deflate cannot shrink it
}
VERIFIED = re.compile(r"^Package verified: (\d+) entries, (\d+) bytes(, (\d+) damaged)?$")


def sha(data):
    return hashlib.sha256(data).hexdigest()


class PackageCheckTest(ServerCleanup, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="kelvane-check-test-")
        source = os.path.join(cls.tmp, "src")
        write_files(source, FILES)
        cls.package = os.path.join(cls.tmp, "kv-check.bin")
        subprocess.run([PACK, "build", KELVANE, source, "-o", cls.package, "--version", "3.34"],
                       check=True, stdout=subprocess.DEVNULL, timeout=BOUND)
        with open(cls.package, "rb") as f:
            data = f.read()
        _, records = parse_package(data)
        # name ('/' separated) -> (record offset, name length, info tuple)
        cls.records = {name.decode().replace("\\", "/").lstrip("/"): (pos, len(name), info)
                       for pos, name, info in records}
        cls.entry_count = len(records)
        cls.entry_bytes = sum(info[4] for _, _, info in records)
        assert cls.records["fw/image.bin"][2][3] & 0x800, "image.bin should be compressed"
        assert not cls.records["fw/stored.bin"][2][3] & 0x800, "stored.bin should be stored"

    def start(self, settings=None, damage=None, args=()):
        """A run of a fresh copy of the package with a temporary folder of its own; |damage|
        may change the copy's bytes through its open file first."""
        folder = tempfile.mkdtemp(dir=self.tmp)
        package = os.path.join(folder, os.path.basename(self.package))
        shutil.copy2(self.package, package)
        if damage:
            with open(package, "r+b") as f:
                damage(f)
        self.scratch = os.path.join(folder, "tmp")
        os.mkdir(self.scratch)
        self.ftp, self.http = free_port(), free_port()
        server = Server(package, {"FTPPort": self.ftp, "HTTPPort": self.http, **(settings or {})},
                        args=args, env={"TMPDIR": self.scratch})
        self.servers.append(server)
        server.wait_running()
        return server

    def verified(self, server):
        """Waits for the summary; returns the stderr lines of the check."""
        server.wait_for(server.err, VERIFIED.match)
        return [l for l in server.err if l.startswith(("Damaged entry: ", "Package verified: ",
                                                        "SHA256SUMS "))]

    def flip(self, name, at_end=False, at=1000):
        """A damage that changes one byte of |name|'s stored data."""
        info = self.records[name][2]
        where = info[6] + (info[5] - 1 if at_end else at)

        def damage(f):
            f.seek(where)
            byte = f.read(1)[0]
            f.seek(where)
            f.write(bytes([byte ^ 0x01]))
        return damage

    def shift(self, name):
        """A damage that moves |name|'s data offset on by one byte in its record."""
        pos, length, info = self.records[name]

        def damage(f):
            fields = list(info)
            fields[6] += 1
            f.seek(pos + 2 + length)
            f.write(INFO.pack(*fields))
        return damage

    def scratch_sizes(self, server):
        """Sizes of the files the server holds open in its temporary folder."""
        sizes = []
        fds = "/proc/%d/fd" % server.process.pid
        for fd in os.listdir(fds):
            try:
                target = os.readlink(os.path.join(fds, fd))
                if target.startswith(self.scratch + "/"):
                    sizes.append(os.stat(os.path.join(fds, fd)).st_size)
            except OSError:
                pass
        return sizes

    def raw_retr(self, path, passive=False, rest=None):
        """RETR seen from the wire: the 150 reply, the data bytes, the final reply."""
        with ftplib.FTP() as client:
            client.connect("127.0.0.1", self.ftp, timeout=BOUND)
            client.login()
            client.set_pasv(passive)
            connection = client.transfercmd("RETR " + path, rest)  # demands a 1xx reply
            received = bytearray()
            with connection:
                while chunk := connection.recv(65536):
                    received += chunk
            try:
                final = client.voidresp()
            except ftplib.error_perm as failed:
                final = str(failed)
            return bytes(received), final

    def curl(self, url, *options):
        result = subprocess.run(["curl", "-sS", "--max-time", str(BOUND), *options, url],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=BOUND + 5)
        self.assertEqual(0, result.returncode, result.stderr)
        return result.stdout

    def test_each_damage_is_named_once_and_its_entry_refused_without_a_byte(self):
        cases = [
            ("stored entry, a flipped byte", "fw/stored.bin", self.flip("fw/stored.bin"),
             r"SHA-256 differs from SHA256SUMS line \d+"),
            ("compressed entry, its Adler-32", "fw/image.bin",
             self.flip("fw/image.bin", at_end=True), r"Adler-32 mismatch"),
            ("compressed entry, its data offset shifted", "fw/small.txt",
             self.shift("fw/small.txt"), r"damaged compressed data: incorrect header check"),
        ]
        for label, name, damage, reason in cases:
            with self.subTest(label):
                server = self.start({"FtpMode": "modern"}, damage=damage, args=["-log"])
                lines = self.verified(server)
                self.assertEqual(2, len(lines), lines)
                self.assertRegex(lines[0], r"^Damaged entry: %s \(%s\)$" % (re.escape(name),
                                                                           reason))
                self.assertEqual("Package verified: %d entries, %d bytes, 1 damaged"
                                 % (self.entry_count, self.entry_bytes), lines[1])

                for passive, rest in ((False, None), (True, None), (True, 10)):
                    data, final = self.raw_retr(name, passive, rest)
                    self.assertEqual((b"", "550 RETR failed"), (data, final), (passive, rest))
                self.assertEqual(404, http_get(self.http, "/" + name)[0])
                # The sound entries beside it are served whole.
                for other in ("fw/stored.bin", "fw/image.bin", "fw/small.txt"):
                    if other != name:
                        self.assertEqual(sha(FILES[other]), sha(self.raw_retr(other)[0]), other)
                server.wait_for(server.err, lambda l: l.startswith("Transfer: ")
                                and l.endswith(" damaged entry"))
                self.assertEqual(0, server.finish(signal.SIGTERM))

                # The trace has the check's two lines and nothing per sound entry.
                with open(server.folder + "/kv-check.bin.log", "rb") as f:
                    traced = [l for l in f.read().decode("latin-1").split("\r\n")
                              if "package_check.cpp(" in l]
                self.assertEqual(lines, [l.split("): ", 1)[1] for l in traced])

    def test_downloads_are_the_same_with_the_copies_on_and_off(self):
        digests = {}
        for megabytes in (0, 1024):
            with self.subTest(UnpackCacheMB=megabytes):
                server = self.start({"FtpMode": "modern", "UnpackCacheMB": megabytes})
                lines = self.verified(server)
                self.assertEqual(["Package verified: %d entries, %d bytes"
                                  % (self.entry_count, self.entry_bytes)], lines)
                sizes = self.scratch_sizes(server)
                if megabytes == 0:
                    self.assertEqual([], sizes)
                else:
                    # One file holds every compressed entry's content.
                    self.assertEqual(1, len(sizes), sizes)
                    self.assertGreaterEqual(sizes[0], len(FILES["fw/image.bin"]) +
                                            len(FILES["fw/small.txt"]))
                # Nothing has a name in the folder.
                self.assertEqual([], os.listdir(self.scratch))

                got = {}
                ftp = "ftp://127.0.0.1:%d/" % self.ftp
                for name in ("fw/image.bin", "fw/small.txt", "fw/stored.bin"):
                    got[name, "passive"] = sha(self.curl(ftp + name))
                    got[name, "active"] = sha(self.curl(ftp + name, "-P", "127.0.0.1"))
                    got[name, "rest"] = sha(self.curl(ftp + name, "-C", "12345"))
                    data = io.BytesIO()
                    with ftplib.FTP() as client:
                        client.connect("127.0.0.1", self.ftp, timeout=BOUND)
                        client.login()
                        client.retrbinary("RETR " + name, data.write, rest=len(FILES[name]) - 1)
                    got[name, "last byte"] = data.getvalue()
                    got[name, "http"] = sha(self.curl("http://127.0.0.1:%d/%s" % (self.http, name)))
                for (name, way), value in got.items():
                    content = FILES[name]
                    expected = {"rest": sha(content[12345:]), "last byte": content[-1:]}.get(
                        way, sha(content))
                    self.assertEqual(expected, value, (name, way))
                digests[megabytes] = got
                self.assertEqual(0, server.finish(signal.SIGTERM))
        self.assertEqual(digests[0], digests[1024])

    def test_an_entry_larger_than_the_limit_is_streamed(self):
        server = self.start({"FtpMode": "modern", "UnpackCacheMB": 1})
        self.verified(server)
        sizes = self.scratch_sizes(server)
        self.assertEqual(1, len(sizes), sizes)
        # The small entry (and the pages and the list) fit; the 3 MiB image does not.
        self.assertGreaterEqual(sizes[0], len(FILES["fw/small.txt"]))
        self.assertLessEqual(sizes[0], 1 << 20)
        ftp = "ftp://127.0.0.1:%d/" % self.ftp
        self.assertEqual(sha(FILES["fw/image.bin"]), sha(self.curl(ftp + "fw/image.bin")))
        self.assertEqual(sha(FILES["fw/small.txt"][100:]),
                         sha(self.curl(ftp + "fw/small.txt", "-C", "100")))
        self.assertEqual(0, server.finish(signal.SIGTERM))

    def test_no_file_is_left_in_the_temporary_folder_however_the_server_ends(self):
        for how in (signal.SIGTERM, signal.SIGKILL):
            with self.subTest(signal=how):
                server = self.start()
                self.verified(server)
                self.assertEqual(1, len(self.scratch_sizes(server)))
                status = server.finish(how)
                self.assertEqual(0 if how == signal.SIGTERM else -signal.SIGKILL, status)
                self.assertEqual([], os.listdir(self.scratch))
        # Ended while the check may still be under way: the check stops, the exit is clean.
        server = self.start()
        self.assertEqual(0, server.finish(signal.SIGTERM))
        self.assertEqual([], os.listdir(self.scratch))


if __name__ == "__main__":
    if not (KELVANE and PACK):
        sys.exit("usage: test_package_check.py KELVANE KELVANE_PACK [unittest options]")
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
