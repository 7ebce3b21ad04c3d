#!/usr/bin/env python3
"""Integration tests of kelvane-pack: the real tool on folders and packages in temporary
folders, built onto the real kelvane server. The package layout is decoded and crafted here
independently of the C++ code, so a fault in the shared format helpers shows up as a
disagreement."""

import hashlib
import os
import pty
import random
import select
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

PACK = os.environ.get("KELVANE_PACK", "")
SERVER = os.environ.get("KELVANE", "")

TRAILER = struct.Struct("<IIII")
INFO = struct.Struct("<QQQIIII")  # creation, access, write, attributes, unpacked, stored, offset
COMPRESSED, STORED = 0x820, 0x20


def expected_attributes(content):
    """What the writer must choose without --store: deflate only when it shrinks the content."""
    return COMPRESSED if len(zlib.compress(content)) < len(content) else STORED


def parse_package(data):
    """Returns (directory offset, [(record offset, name, info tuple)]) of package bytes."""
    magic, directory, count, check = TRAILER.unpack_from(data, len(data) - 16)
    assert magic == 201 and check == zlib.adler32(data[-16:-4]), "bad trailer"
    records, pos = [], directory
    for _ in range(count):
        (length,) = struct.unpack_from("<H", data, pos)
        name = data[pos + 2:pos + 2 + length]
        records.append((pos, name, INFO.unpack_from(data, pos + 2 + length)))
        pos += 2 + length + INFO.size
    assert pos == len(data) - 16, "records do not end at the trailer"
    return directory, records


def craft_package(image, entries, file_time=132000000000000000):
    """Package bytes from (name bytes, content, compressed) triples, in that record order."""
    out, records = bytearray(image), b""
    for name, content, compressed in entries:
        data = zlib.compress(content) if compressed else content
        info = INFO.pack(file_time, file_time, file_time, 0x820 if compressed else 0x20,
                         len(content), len(data), len(out))
        records += struct.pack("<H", len(name)) + name + info
        out += data
    head = struct.pack("<III", 201, len(out), len(entries))
    return bytes(out + records + head + struct.pack("<I", zlib.adler32(head)))


def checksum_list(files):
    """The SHA256SUMS the writer must add for {name: content} (either separator): a line per
    entry but the password entry, in record order (byte order of the '\\' names)."""
    names = sorted(name.replace("/", "\\").encode() for name in files)
    lines = b""
    for name in names:
        if name.lower() == b"password.txt":
            continue
        content = files.get(name.decode(), files.get(name.decode().replace("\\", "/")))
        lines += hashlib.sha256(content).hexdigest().encode() + b"  " + name.replace(b"\\", b"/")
        lines += b"\n"
    return lines


def with_sums(files):
    """files plus the SHA256SUMS entry the writer adds for them."""
    return dict(files, SHA256SUMS=checksum_list(files))


def package_contents(data):
    """{name: content} of package bytes, each entry inflated or taken as stored."""
    contents = {}
    for _, name, info in parse_package(data)[1]:
        stored = data[info[6]:info[6] + info[5]]
        contents[name.decode()] = zlib.decompress(stored) if info[3] == COMPRESSED else stored
    return contents


def tree_files(root):
    """{relative path: bytes} of every file under root."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


class KelvanePackTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kelvane-pack-it-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        rng = random.Random(1234)
        self.exe = SERVER
        with open(SERVER, "rb") as f:
            self.image = f.read()
        self.folder = os.path.join(self.tmp, "site")
        self.files = {
            "index.html": b"<html>hello</html>\n",
            "empty": b"",
            "with space/read me.txt": b"lines\r\n" * 5000,
            # Deflate keeps the random part in stored blocks, where a flipped byte shows only in
            # the Adler-32, and shrinks the zeros: the entry stays compressed.
            "data/deep/nested/random.bin": rng.randbytes(1_000_000) + bytes(100_000),
            "data/deep/z.txt": b"z",
        }
        for rel, content in self.files.items():
            self.write(os.path.join("site", rel), content)

    def write(self, rel, content):
        path = os.path.join(self.tmp, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def read(self, rel):
        with open(os.path.join(self.tmp, rel), "rb") as f:
            return f.read()

    def run_pack(self, *args):
        return subprocess.run([PACK, *args], capture_output=True, text=True, timeout=120)

    def build(self, *extra, exe=None, folder=None, out="site.pkg"):
        result = self.run_pack("build", exe or self.exe, folder or self.folder,
                               "-o", os.path.join(self.tmp, out), *extra)
        return result, os.path.join(self.tmp, out)

    def assert_built(self, *extra, **kwargs):
        result, path = self.build(*extra, **kwargs)
        self.assertEqual(0, result.returncode, result.stderr)
        return path

    def test_round_trip(self):
        package = self.assert_built()
        self.assertTrue(os.stat(package).st_mode & stat.S_IXUSR)
        data = self.read("site.pkg")
        self.assertEqual(self.image, data[:len(self.image)])
        directory, records = parse_package(data)
        # The checksum list comes last, after the entries it covers.
        names = sorted(rel.replace("/", "\\").encode() for rel in self.files) + [b"SHA256SUMS"]
        self.assertEqual(names, [name for _, name, _ in records])
        expected = with_sums(self.files)
        newest = max(os.stat(os.path.join(self.folder, rel)).st_mtime_ns for rel in self.files)
        offset = len(self.image)
        for _, name, info in records:
            with self.subTest(name=name):
                content = expected[name.decode().replace("\\", "/")]
                self.assertEqual(expected_attributes(content), info[3])
                self.assertEqual(offset, info[6])
                stored = data[offset:offset + info[5]]
                if info[3] == COMPRESSED:
                    self.assertEqual(b"\x78\x9c", stored[:2])
                    self.assertEqual(content, zlib.decompress(stored))
                else:
                    self.assertEqual(content, stored)
                self.assertEqual(len(content), info[4])
                mtime = newest if name == b"SHA256SUMS" else os.stat(
                    os.path.join(self.folder, name.decode().replace("\\", "/"))).st_mtime_ns
                self.assertEqual(mtime // 100 + 116444736000000000, info[2])
                offset += info[5]
        self.assertEqual(offset, directory)

        listing = self.run_pack("list", package)
        self.assertEqual(0, listing.returncode, listing.stderr)
        for name in names:
            self.assertIn(name.decode(), listing.stdout)
        self.assertIn("%d entries" % len(names), listing.stdout)

        verify = self.run_pack("verify", package)
        self.assertEqual(0, verify.returncode, verify.stderr)

        out = os.path.join(self.tmp, "out")
        extract = self.run_pack("extract", package, out)
        self.assertEqual(0, extract.returncode, extract.stderr)
        self.assertEqual(expected, tree_files(out))
        for rel in self.files:
            self.assertEqual(os.stat(os.path.join(self.folder, rel)).st_mtime_ns // 100,
                             os.stat(os.path.join(out, rel)).st_mtime_ns // 100)

        strip = self.run_pack("strip", package, "-o", os.path.join(self.tmp, "bare"))
        self.assertEqual(0, strip.returncode, strip.stderr)
        self.assertEqual(self.image, self.read("bare"))
        self.assertTrue(os.stat(os.path.join(self.tmp, "bare")).st_mode & stat.S_IXUSR)

    def test_building_over_a_package_replaces_it(self):
        first = self.read(os.path.basename(self.assert_built(out="first.pkg")))
        second = self.read(os.path.basename(
            self.assert_built(exe=os.path.join(self.tmp, "first.pkg"), out="second.pkg")))
        # Reading the files may move their access times between the builds.
        def without_access_times(data):
            data = bytearray(data)
            for pos, name, _ in parse_package(bytes(data))[1]:
                data[pos + 2 + len(name) + 8:pos + 2 + len(name) + 16] = bytes(8)
            return bytes(data)
        self.assertEqual(without_access_times(first), without_access_times(second))

    def test_store_and_version(self):
        data = self.read(os.path.basename(self.assert_built("--store", "--version", "3.34")))
        _, records = parse_package(data)
        for _, name, info in records:
            with self.subTest(name=name):
                self.assertEqual(STORED, info[3])
                self.assertEqual(info[4], info[5])
                if name == b"version.txt":  # too short for deflate to shrink
                    self.assertEqual(b"3.34\r\n", data[info[6]:info[6] + info[5]])
        self.assertIn(b"version.txt", [name for _, name, _ in records])

    def test_progress_bar_only_on_a_terminal(self):
        self.write("site/big.bin", bytes(17 * 1024 * 1024))
        result, package = self.build()
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("", result.stderr)

        master, slave = pty.openpty()
        with subprocess.Popen([PACK, "extract", package, os.path.join(self.tmp, "out")],
                              stdout=subprocess.DEVNULL,
                              stderr=slave) as proc:
            os.close(slave)
            seen = b""
            while select.select([master], [], [], 60)[0]:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # the terminal's other side is closed
                    break
                if not chunk:
                    break
                seen += chunk
            os.close(master)
            self.assertEqual(0, proc.wait(timeout=60))
        self.assertIn(b"extract [", seen)
        self.assertIn(b"100%", seen)

    def test_refusals_leave_no_output(self):
        long_dir = "d" * 100
        cases = [
            # (label, files to add to the folder, extra arguments, executable, refused)
            ("259-byte name", {long_dir + "/" + "f" * 158: b"x"}, [], None, False),
            ("260-byte name", {long_dir + "/" + "f" * 159: b"x"}, [], None, True),
            ("names equal without case", {"Index.HTML": b"x"}, [], None, True),
            ("file and directory prefix", {"EMPTY/inner": b"x"}, [], None, True),
            ("directory spelled twice", {"DATA/other": b"x"}, [], None, True),
            ("version.txt in the folder", {"Version.txt": b"1"}, ["--version", "1"], None, True),
            ("SHA256SUMS in the folder", {"sha256sums": b"1"}, [], None, True),
            ("SHA256SUMS in the folder, no checksums", {"SHA256SUMS": b"1"}, ["--no-checksums"],
             None, False),
            ("SHA256SUMS in a subfolder", {"sub/SHA256SUMS": b"1"}, [], None, False),
            ("missing executable", {}, [], "missing", True),
            ("executable is a folder", {}, [], "site", True),
            ("missing folder", {}, [], None, True),
        ]
        if os.geteuid() != 0:  # root reads files without read permission
            cases.append(("unreadable file", {"secret": None}, [], None, True))
        for label, files, extra, exe, refused in cases:
            with self.subTest(label):
                folder = os.path.join(self.tmp, "case")
                shutil.rmtree(folder, ignore_errors=True)
                shutil.copytree(self.folder, folder)
                for rel, content in files.items():
                    path = self.write(os.path.join("case", rel), content or b"secret")
                    if content is None:
                        os.chmod(path, 0)
                if label == "missing folder":
                    folder = os.path.join(self.tmp, "nothing-here")
                result, out = self.build(*extra, folder=folder, out="case.pkg",
                                         exe=exe and os.path.join(self.tmp, exe))
                if refused:
                    self.assertEqual(1, result.returncode, result.stderr)
                    self.assertIn("error", result.stderr)
                    self.assertFalse(os.path.exists(out))
                    self.assertEqual([], [n for n in os.listdir(self.tmp) if "case.pkg" in n])
                else:
                    self.assertEqual(0, result.returncode, result.stderr)
                    os.remove(out)

    def test_verify_names_the_broken_entry(self):
        data = self.read(os.path.basename(self.assert_built()))
        directory, records = parse_package(data)
        pos, name, info = [r for r in records if r[1].endswith(b"random.bin")][0]
        damaged = bytearray(data)

        def with_info(**changes):
            fields = dict(zip(("unpacked", "stored", "offset"), info[4:7]), **changes)
            copy = bytearray(data)
            copy[pos + 2 + len(name):pos + 2 + len(name) + INFO.size] = INFO.pack(
                *info[:4], fields["unpacked"], fields["stored"], fields["offset"])
            return bytes(copy)

        damaged[info[6] + info[5] // 2] ^= 0x01
        cases = [
            # (label, package bytes, what stderr says)
            ("flipped data byte", bytes(damaged), "incorrect data check"),
            ("stored size short by one", with_info(stored=info[5] - 1), "ends early"),
            ("stored size long by one", with_info(stored=info[5] + 1), "before the stored size"),
            ("unpacked size off by one", with_info(unpacked=info[4] + 1), "record says"),
            ("data one byte into the directory", with_info(offset=directory - info[5] + 1),
             "past the directory"),
            ("truncated file", data[:-100], "trailer"),
            ("trailer check wrong", data[:-1] + bytes([data[-1] ^ 1]), "trailer"),
        ]
        for label, content, message in cases:
            with self.subTest(label):
                path = self.write("broken.pkg", content)
                result = self.run_pack("verify", path)
                self.assertEqual(1, result.returncode, result.stdout)
                self.assertIn("BROKEN", result.stdout)
                self.assertIn(message, result.stderr)
                if "trailer" not in message:
                    self.assertIn("data\\deep\\nested\\random.bin", result.stderr)
                    self.assertEqual(1, result.stderr.count("entry '"), result.stderr)

        # Extraction finds the damage through the reader's stream (only the Adler-32 tells) and
        # leaves the other entries intact.
        path = self.write("broken.pkg", bytes(damaged))
        result = self.run_pack("extract", path, os.path.join(self.tmp, "out"))
        self.assertEqual(1, result.returncode)
        self.assertIn("random.bin", result.stderr)
        self.assertIn("damaged", result.stderr)
        expected = {k: v for k, v in with_sums(self.files).items() if not k.endswith("random.bin")}
        self.assertEqual(expected, tree_files(os.path.join(self.tmp, "out")))

    def test_checksum_list_passes_sha256sum_after_extraction(self):
        # Names sha256sum escapes (LF, CR) and one it does not (a space, a non-ASCII byte).
        odd = {"line\nbreak.txt": b"lf", "carriage\rreturn": b"cr", "caf\xc3\xa9 x": b"e"}
        for rel, content in odd.items():
            self.write(os.path.join("site", rel), content)
        package = self.assert_built("--password", "secret", "--version", "2.0")
        data = self.read("site.pkg")
        sums = package_contents(data)["SHA256SUMS"]
        self.assertNotIn(b"password.txt", sums)
        self.assertIn(b"\\" + hashlib.sha256(b"lf").hexdigest().encode() + b"  line\\nbreak.txt\n",
                      sums)
        self.assertIn(b"\\" + hashlib.sha256(b"cr").hexdigest().encode() +
                      b"  carriage\\rreturn\n", sums)
        self.assertEqual(len(self.files) + len(odd) + 1, sums.count(b"\n"))  # version.txt too
        out = os.path.join(self.tmp, "out")
        self.assertEqual(0, self.run_pack("extract", package, out).returncode)
        check = subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=out,
                               capture_output=True, timeout=60)
        self.assertEqual(0, check.returncode, check.stdout + check.stderr)
        self.assertEqual(len(self.files) + len(odd) + 1, check.stdout.count(b": OK\n"))
        # The real tool's own list of the extracted folder matches ours line for line (its
        # order differs: it is given the names in our order here).
        names = [l.split(b"  ", 1)[1] for l in sums.splitlines()]
        ours = sorted(sums.splitlines())
        real = subprocess.run(["sha256sum", "--"] + [
            name.replace(b"\\n", b"\n").replace(b"\\r", b"\r") for name in names], cwd=out,
            capture_output=True, timeout=60).stdout
        self.assertEqual(ours, sorted(real.splitlines()))

        verify = self.run_pack("verify", package)
        self.assertEqual(0, verify.returncode, verify.stdout + verify.stderr)
        self.assertIn("'password.txt' not checked", verify.stdout)
        self.assertEqual(1, verify.stdout.count("not checked:"), verify.stdout)

    def test_verify_checks_every_entry_against_the_list(self):
        self.assert_built()
        data = self.read("site.pkg")
        _, records = parse_package(data)
        attributes = {name: info[3] for _, name, info in records}
        self.assertEqual(STORED, attributes[b"data\\deep\\z.txt"])
        self.assertEqual(COMPRESSED, attributes[b"data\\deep\\nested\\random.bin"])
        contents = package_contents(data)

        def crafted(changes=None, sums=None, flip=None, store=()):
            """The package again (written here), with entry contents changed, another list,
            entries stored that were compressed, or one stored byte flipped."""
            entries = []
            for _, name, info in records:
                content = contents[name.decode()]
                if name == b"SHA256SUMS" and sums is not None:
                    content = sums
                content = (changes or {}).get(name, content)
                entries.append((name, content, info[3] == COMPRESSED and name not in store))
            package = bytearray(craft_package(b"", entries))
            if flip:
                for _, name, info in parse_package(bytes(package))[1]:
                    if name == flip:
                        package[info[6] + info[5] // 2] ^= 0x01
            return bytes(package)

        list_ = contents["SHA256SUMS"]
        z_line = [l for l in list_.splitlines(True) if l.endswith(b"  data/deep/z.txt\n")][0]
        cases = [
            # (label, package bytes, exit status, texts stderr holds, texts stdout holds)
            ("as built", crafted(), 0, [], ["OK", "checked against SHA256SUMS"]),
            ("flipped byte in a stored entry", crafted(flip=b"data\\deep\\z.txt"), 1,
             ["'data\\deep\\z.txt'", "differs from", "SHA256SUMS gives on line 2"],
             ["BROKEN"]),
            ("flipped byte in a compressed entry",
             crafted(flip=b"data\\deep\\nested\\random.bin"), 1,
             ["random.bin", "incorrect data check"], ["BROKEN"]),
            ("compressed entry with other sound content",
             crafted(changes={b"index.html": b"<html>HELLO</html>\n"}), 1,
             ["'index.html'", "differs from"], ["BROKEN"]),
            ("stored list with a flipped digit",
             crafted(sums=list_.replace(z_line, z_line[:9] + bytes([z_line[9] ^ 1]) + z_line[10:]),
                     store=[b"SHA256SUMS"]), 1,
             ["'data\\deep\\z.txt'", "differs from"], ["BROKEN"]),
            ("line missing", crafted(sums=list_.replace(z_line, b"")), 1,
             ["'data\\deep\\z.txt'", "holds no line for it"], ["BROKEN"]),
            ("extra line", crafted(sums=list_ + b"0" * 64 + b"  ghost.txt\n"), 1,
             ["line 6 names 'ghost.txt', which is not in the package"], ["BROKEN"]),
            ("line twice", crafted(sums=list_ + z_line), 1, ["twice (lines 2 and 6)"],
             ["BROKEN"]),
            ("malformed line", crafted(sums=list_ + b"not a checksum\n"), 1,
             ["SHA256SUMS line 6 is not"], ["BROKEN"]),
            ("upper-case digits, CR LF line ends, binary marks",
             crafted(sums=b"".join(l[:64].upper() + b" *" + l[66:-1] + b"\r\n"
                                   for l in list_.splitlines(True))), 0, [], ["OK"]),
        ]
        for label, package, status, errors, outputs in cases:
            with self.subTest(label):
                path = self.write("case.pkg", package)
                result = self.run_pack("verify", path)
                self.assertEqual(status, result.returncode, result.stdout + result.stderr)
                for text in errors:
                    self.assertIn(text, result.stderr)
                for text in outputs:
                    self.assertIn(text, result.stdout)
                if status:
                    self.assertEqual(1, result.stderr.count(": error:"), result.stderr)

        # Without a list: stored entries are named as not checked, compressed ones are not.
        package = self.assert_built("--no-checksums", out="bare.pkg")
        self.assertNotIn(b"SHA256SUMS", [n for _, n, _ in parse_package(self.read("bare.pkg"))[1]])
        result = self.run_pack("verify", package)
        self.assertEqual(0, result.returncode, result.stderr)
        unchecked = sorted(n.decode() for n, a in attributes.items()
                           if a == STORED and n != b"SHA256SUMS")
        named = sorted(l.split("'")[1] for l in result.stdout.splitlines() if "not checked:" in l)
        self.assertEqual(unchecked, named)
        self.assertIn("no SHA256SUMS", result.stdout)
        self.assertNotIn("OK", result.stdout)
        self.assertIn("NO DAMAGE FOUND in %d of %d entries" % (
            len(self.files) - len(unchecked), len(self.files)), result.stdout)

    def test_reads_packages_crafted_independently(self):
        entries = [(b"a.txt", b"alpha", True), (b"sub\\b.bin", bytes(range(256)), False),
                   (b"\\lead.txt", b"", True)]
        path = self.write("crafted.pkg", craft_package(b"MZ" * 100, entries))
        self.assertEqual(0, self.run_pack("verify", path).returncode)
        listing = self.run_pack("list", path).stdout
        self.assertLess(listing.index("a.txt"), listing.index("sub\\b.bin"))
        self.assertEqual(0, self.run_pack("extract", path, os.path.join(self.tmp, "x")).returncode)
        self.assertEqual({"a.txt": b"alpha", "sub/b.bin": bytes(range(256)), "lead.txt": b""},
                         tree_files(os.path.join(self.tmp, "x")))

    def test_extract_refuses_names_that_leave_the_folder(self):
        for name in [b"..\\evil.txt", b"a\\..\\..\\evil.txt", b"a\\\\evil.txt", b"a/../../evil.txt",
                     b"\\\\evil.txt"]:
            with self.subTest(name=name):
                entries = [(b"good.txt", b"fine", True), (name, b"evil", True)]
                path = self.write("evil.pkg", craft_package(b"", entries))
                inside = os.path.join(self.tmp, "jail", "inside")
                result = self.run_pack("extract", path, inside)
                self.assertEqual(1, result.returncode)
                self.assertIn(name.decode(), result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "jail")))
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "evil.txt")))


    def outputs_named(self, out):
        """Files in the temporary folder that an output named out, or its temporary twin, left."""
        base = os.path.basename(out)
        return [n for n in os.listdir(os.path.dirname(out)) if base in n]

    def assert_refused(self, result, out, *messages):
        self.assertEqual(1, result.returncode, result.stderr)
        for message in messages:
            self.assertIn(message, result.stderr)
        self.assertEqual([], self.outputs_named(out))

    def test_symbolic_links(self):
        outside = os.path.join(self.tmp, "outside")
        self.write("outside/o.txt", b"from outside")
        self.write("outside/deeper/d.txt", b"deeper")
        cases = [
            # (label, [(link in the folder, target)], extra arguments, refused, what stderr
            #  says, {entry name: content} the package must hold besides the folder's files)
            ("file outside", [("ext.txt", os.path.join(outside, "o.txt"))], [], True,
             ["ext.txt", "outside the folder"], {}),
            ("folder outside, relative", [("data/ext", "../../outside")], [], True,
             ["data/ext", "outside the folder"], {}),
            ("two links outside, both named",
             [("a.txt", os.path.join(outside, "o.txt")), ("b", outside)], [], True,
             ["a.txt is a symbolic link", "b is a symbolic link"], {}),
            ("dangling", [("gone.txt", "nothing-here")], [], True,
             ["gone.txt", "No such file or directory"], {}),
            ("file outside, followed", [("ext.txt", os.path.join(outside, "o.txt"))],
             ["--follow-symlinks"], False, [], {"ext.txt": b"from outside"}),
            ("folder outside, followed", [("data/ext", "../../outside")], ["--follow-symlinks"],
             False, [], {"data\\ext\\o.txt": b"from outside",
                         "data\\ext\\deeper\\d.txt": b"deeper"}),
            ("file inside", [("again.html", "index.html")], [], False, [],
             {"again.html": self.files["index.html"]}),
            ("inside by an absolute path", [("z2", os.path.join(self.folder, "data/deep/z.txt"))],
             [], False, [], {"z2": b"z"}),
            ("folder inside", [("alias", "data/deep/nested")], [], False, [],
             {"alias\\random.bin": self.files["data/deep/nested/random.bin"]}),
            ("cycle to the folder itself", [("data/root", "..")], [], False,
             ["data/root", "contains it"], {}),
            ("cycle to a parent inside", [("data/deep/nested/up", "../..")], [], False,
             ["nested/up", "contains it"], {}),
            ("cycle through a followed outside folder",
             [("data/ext", outside), ("../outside/back", self.folder)], ["--follow-symlinks"],
             False, ["data/ext/back", "contains it"],
             {"data\\ext\\o.txt": b"from outside",
              "data\\ext\\deeper\\d.txt": b"deeper"}),
        ]
        for label, links, extra, refused, messages, added in cases:
            with self.subTest(label):
                folder = os.path.join(self.tmp, "case")
                shutil.rmtree(folder, ignore_errors=True)
                shutil.copytree(self.folder, folder, symlinks=True)
                made = []
                for link, target in links:
                    path = os.path.join(folder, link)
                    os.symlink(target.replace(self.folder, folder), path)
                    made.append(path)
                self.addCleanup(lambda paths=made: [os.unlink(p) for p in paths
                                                    if os.path.islink(p)])
                result, out = self.build(*extra, folder=folder, out="case.pkg")
                for message in messages:
                    self.assertIn(message, result.stderr)
                if refused:
                    self.assert_refused(result, out)
                    continue
                self.assertEqual(0, result.returncode, result.stderr)
                expected = {rel.replace("/", "\\"): content
                            for rel, content in self.files.items()}
                expected.update(added)
                self.assertEqual(with_sums(expected), package_contents(self.read("case.pkg")))
                os.remove(out)
                for path in made:
                    os.unlink(path)

    def test_stores_what_deflate_cannot_shrink(self):
        rng = random.Random(99)
        cases = {
            # name: content (what the writer must choose follows from deflating it here)
            "empty": b"",
            "one byte": b"x",
            "short text": b"hello",
            "random": rng.randbytes(100_000),
            "random over a chunk": rng.randbytes(64 * 1024 + 1),
            "random, tiny redundancy": rng.randbytes(70_000) + bytes(60),
            "zeros": bytes(200_000),
            "text": b"the quick brown fox " * 500,
        }
        folder = os.path.join(self.tmp, "mixed")
        for name, content in cases.items():
            self.write(os.path.join("mixed", name), content)
        cases = with_sums(cases)  # the list follows the same rule
        package = self.assert_built(folder=folder, out="mixed.pkg")
        data = self.read("mixed.pkg")
        directory, records = parse_package(data)
        offset = len(self.image)
        listing = self.run_pack("list", package).stdout
        for _, name, info in records:
            with self.subTest(name=name):
                content = cases[name.decode()]
                attributes = expected_attributes(content)
                self.assertEqual(attributes, info[3])
                self.assertEqual(offset, info[6])  # no gap where an attempt was taken back
                stored = data[offset:offset + info[5]]
                offset += info[5]
                if attributes == STORED:
                    self.assertEqual(content, stored)
                else:
                    self.assertLess(info[5], len(content))
                    self.assertEqual(content, zlib.decompress(stored))
                line = [l for l in listing.splitlines() if l.endswith("  " + name.decode())][0]
                self.assertIn("Stored" if attributes == STORED else "Defl", line.split())
                self.assertIn("%04X" % attributes, line.split())
        self.assertEqual(offset, directory)
        self.assertEqual(0, self.run_pack("verify", package).returncode)
        out = os.path.join(self.tmp, "out")
        self.assertEqual(0, self.run_pack("extract", package, out).returncode)
        self.assertEqual(cases, tree_files(out))

    def test_refuses_what_is_not_a_bare_server(self):
        package = self.read(os.path.basename(self.assert_built(out="base.pkg")))
        _, records = parse_package(package)
        directory = TRAILER.unpack_from(package, len(package) - 16)[1]
        head = struct.pack("<III", 201, directory, len(records) + 1000)
        too_many_records = package[:-16] + head + struct.pack("<I", zlib.adler32(head))
        moved_data = bytearray(package)
        pos, name, _ = records[0]
        moved_data[pos + 2 + len(name) + 36:pos + 2 + len(name) + 40] = struct.pack(
            "<I", directory)  # the image would seem to end at the second entry
        cases = [
            # (label, base bytes or path, what stderr says)
            ("random bytes", random.Random(5).randbytes(300_000), "not a 64-bit little-endian ELF"),
            ("empty file", b"", "not a 64-bit little-endian ELF"),
            ("another executable", shutil.which("true"), "marker"),
            ("kelvane-pack itself", PACK, "marker"),
            ("server with a damaged trailer check", package[:-1] + bytes([package[-1] ^ 1]),
             "damaged package trailer"),
            ("server with a package but no trailer", package[:-16], "follow its ELF content"),
            ("server with bytes appended", self.image + b"appended", "follow its ELF content"),
            ("package with a damaged directory", too_many_records, "damaged package"),
            ("first entry moved past the others", bytes(moved_data), "follow its ELF content"),
            ("truncated server", self.image[:len(self.image) // 2], "outside the file"),
        ]
        for label, base, message in cases:
            with self.subTest(label):
                if isinstance(base, bytes):
                    base = self.write("base", base)
                result, out = self.build(exe=base, out="case.pkg")
                try:
                    self.assert_refused(result, out, message, base)
                finally:  # so that the other cases see only their own output
                    if os.path.exists(out):
                        os.remove(out)

    def test_errors_carry_the_system_reason(self):
        package = self.assert_built()
        self.write("blocker", b"a file, not a folder")
        missing = os.path.join(self.tmp, "missing")
        cases = [
            # (label, arguments, what stderr says)
            ("missing folder", ["build", self.exe, missing, "-o", missing + ".pkg"],
             "No such file or directory"),
            ("missing executable", ["build", missing, self.folder, "-o", missing + ".pkg"],
             "No such file or directory"),
            ("output folder missing", ["build", self.exe, self.folder, "-o",
                                       os.path.join(missing, "x.pkg")], "No such file or directory"),
            ("output folder is a file", ["build", self.exe, self.folder, "-o",
                                         os.path.join(self.tmp, "blocker", "x.pkg")],
             "Not a directory"),
            ("list a missing package", ["list", missing], "No such file or directory"),
            ("verify a missing package", ["verify", missing], "No such file or directory"),
            ("extract a missing package", ["extract", missing, missing], "No such file or directory"),
            ("extract below a file", ["extract", package, os.path.join(self.tmp, "blocker", "x")],
             "Not a directory"),
            ("strip a missing package", ["strip", missing, "-o", missing], "No such file or directory"),
        ]
        if os.geteuid() != 0:  # root reads and writes whatever the permissions say
            locked = os.path.join(self.tmp, "locked")
            os.makedirs(locked)
            os.chmod(locked, 0o500)
            self.addCleanup(os.chmod, locked, 0o700)
            secret = self.write("site-secret/secret", b"x")
            os.chmod(secret, 0)
            cases += [
                ("unwritable output folder",
                 ["build", self.exe, self.folder, "-o", os.path.join(locked, "x.pkg")],
                 "Permission denied"),
                ("unreadable input", ["build", self.exe, os.path.dirname(secret), "-o",
                                      os.path.join(self.tmp, "x.pkg")], "Permission denied"),
                ("extract into an unwritable folder", ["extract", package, locked],
                 "Permission denied"),
            ]
        for label, args, message in cases:
            with self.subTest(label):
                result = self.run_pack(*args)
                self.assertEqual(1, result.returncode, result.stderr)
                self.assertIn(message, result.stderr)

    def test_warns_on_a_folder_without_files(self):
        cases = [
            # (label, folder contents, extra arguments, entries, warned)
            ("empty", {}, [], 0, True),
            ("only empty subfolders", {"a/b/": None}, [], 0, True),
            ("empty, with --password", {}, ["--password", "pw"], 1, True),  # no list: no line
            ("empty, with --version", {}, ["--version", "1"], 2, True),  # and its list
            ("one empty file", {"e": b""}, [], 2, False),
            ("one empty file, no checksums", {"e": b""}, ["--no-checksums"], 1, False),
        ]
        for label, contents, extra, entries, warned in cases:
            with self.subTest(label):
                folder = os.path.join(self.tmp, "case")
                shutil.rmtree(folder, ignore_errors=True)
                os.makedirs(folder)
                for rel, content in contents.items():
                    if content is None:
                        os.makedirs(os.path.join(folder, rel))
                    else:
                        self.write(os.path.join("case", rel), content)
                result, out = self.build(*extra, folder=folder, out="case.pkg")
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertEqual(warned, "holds no regular files" in result.stderr, result.stderr)
                self.assertEqual(entries, len(parse_package(self.read("case.pkg"))[1]))
                os.remove(out)


if __name__ == "__main__":
    if not PACK and len(sys.argv) > 2:
        PACK, SERVER = sys.argv.pop(1), sys.argv.pop(1)
    if not (PACK and SERVER):
        sys.exit("usage: KELVANE_PACK=... KELVANE=... test_kelvane_pack.py [unittest options]")
    unittest.main()
