"""What the tests of kelvane.exe under Wine share: free loopback ports, Linux paths as Windows
programs name them, fixture files, `wine reg add` of a program's settings, one headless run of
a program with its output lines as they come, runs of programs with windows, and a private
Xvfb display for those.

WINE_RUN (scripts/wine-run.sh) runs one Windows program in the prefix of the run. Every wait
is bounded.

A program that opens a window makes Wine start its desktop process (explorer.exe) when none
runs; that process inherits the program's standard streams and outlives it for a while, so a
pipe on them would not end with the program. Programs with windows therefore write to files.
"""
import os
import select
import socket
import subprocess
import tempfile
import threading

BOUND = 60  # seconds for anything that should happen promptly (Wine starts slowly)
COMPANY_KEY = r"HKCU\Software\Varnek Systems"
X11_DRIVER_KEY = r"HKCU\Software\Wine\X11 Driver"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def refused(port):
    with socket.socket() as s:
        s.settimeout(BOUND)
        return s.connect_ex(("127.0.0.1", port)) != 0


def windows_path(path):
    """A Linux path as a program under Wine names it (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write_files(root, files):
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def wine(wine_run, *command, check=True, env=None, timeout=BOUND):
    return subprocess.run([wine_run, *command], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout, check=check, env=env)


def wine_windowed(wine_run, *command, env=None, timeout=BOUND):
    """Runs a program that may open or look at windows, its output in files (see above);
    returns the CompletedProcess once the program itself has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run([wine_run, *command], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, timeout=timeout, env=env)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    return result


def set_parameters(wine_run, application, dwords=None, texts=None, env=None):
    """Writes |dwords| (REG_DWORD) and |texts| (REG_SZ) into the Parameters key of the program
    named |application|; returns the program's key, for `wine reg delete` afterwards."""
    key = "%s\\%s" % (COMPANY_KEY, application)
    for kind, values in (("REG_DWORD", dwords), ("REG_SZ", texts)):
        for name, value in (values or {}).items():
            wine(wine_run, "reg", "add", key + "\\Parameters", "/v", name, "/t", kind,
                 "/d", str(value), "/f", env=env)
    return key


def program_environment(env=None, headless=True):
    """The environment of a kelvane.exe run: none of the variables that change how it starts,
    KELVANE_HEADLESS=1 when |headless|, then |env|."""
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("ARC2", "KELVANE_PASSWORD", "KELVANE_HEADLESS")}
    if headless:
        environment["KELVANE_HEADLESS"] = "1"
    environment.update(env or {})
    return environment


class Server:
    """One headless run of a packaged kelvane.exe, its output lines as they come, its end."""

    def __init__(self, wine_run, executable, args=(), env=None):
        environment = program_environment(env)
        self.process = subprocess.Popen([wine_run, executable, *args], stdin=subprocess.DEVNULL,
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
                lines.append(raw.decode("latin-1").rstrip("\r\n"))
                self.changed.notify_all()

    def wait_for(self, lines, predicate):
        with self.changed:
            if not self.changed.wait_for(lambda: any(map(predicate, lines)), timeout=BOUND):
                raise AssertionError("never came; stdout %r stderr %r" % (self.out, self.err))

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


class WindowedServer:
    """One run of a packaged kelvane.exe with its window, on the display that |env| names; its
    output lines can be read once it has ended."""

    def __init__(self, wine_run, executable, args=(), env=None):
        self.streams = [tempfile.TemporaryFile(), tempfile.TemporaryFile()]
        self.process = subprocess.Popen([wine_run, executable, *args], stdin=subprocess.DEVNULL,
                                        stdout=self.streams[0], stderr=self.streams[1],
                                        env=program_environment(env, headless=False))
        self.out, self.err = [], []

    def finish(self, sig=None):
        """Sends |sig| (if any) and returns the exit status; |out| and |err| hold the lines."""
        if sig is not None and self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=BOUND)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            for stream, lines in zip(self.streams, (self.out, self.err)):
                if not stream.closed:
                    stream.seek(0)
                    lines.extend(l.decode("latin-1").rstrip("\r\n") for l in stream)
                    stream.close()
        return status

    def finished(self):
        return all(stream.closed for stream in self.streams)


class VirtualDisplay:
    """An Xvfb server on a display number it picks itself (-displayfd), for as long as the
    object lives; `name` is the value for DISPLAY."""

    def __init__(self, geometry="1024x768x24"):
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", geometry,
                 "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                pass_fds=(write_end,))
        finally:
            os.close(write_end)
        try:
            number = b""
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([read_end], [], [], BOUND)
                chunk = os.read(read_end, 16) if ready else b""
                if not chunk:
                    self.close()
                    raise RuntimeError("Xvfb named no display")
                number += chunk
        finally:
            os.close(read_end)
        self.name = ":" + number.decode().strip()

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=BOUND)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
