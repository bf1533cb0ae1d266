"""End-to-end harness: a real pcscd, the vpcd reader, the project's virtual
card, and the built tool in a temporary folder.

Every process is started here and stopped by the id it was started with.
Waits are on conditions with deadlines, never fixed sleeps.

The tests run inside a private mount namespace (see run_isolated.sh), so the
daemon's fixed socket /run/pcscd/pcscd.comm is our own and a system daemon,
if there is one, is neither disturbed nor used.
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "vcard"))

from vcard import VirtualCard  # noqa: E402  (path set just above)

TOOL = os.environ.get("TAVIX_BIN", "")
VPCD_DRIVER = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
READER = "Virtual PCD 00 00"
ESC = b"\x1b"

BANNER = "Tavix USB Smart Card Reader MP Tool \r\n"
CONNECTED = "Reader is connected! \r\n"
INSERT_CARD = "Please insert card  \r\n\r\n"
INSERT_READER = "Please insert Tavix Smart card reader first! \r\n\r\n"
NO_CONTEXT = "Can't Establish Scard Context! \r\n"
STOPPED = "Tavix MP Tool Stoped! \r\n"
RULE = "=" * 58 + "\r\n"
PASS = "           PASS \r\n\r\n"
FAILED = "          FAILED \r\n\r\n"
START_TIME = "==================\r\nStart time: <time>\r\n"
START_RE = re.compile(r"Start time: (\d\d:\d\d:\d\d [A-Z][a-z]+ \d\d \d{4})\r\n")


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.01)
    raise AssertionError(f"timed out after {timeout} s waiting for {what() if callable(what) else what}")


class _PcscClient:
    """Just enough of libpcsclite to see whether the daemon answers."""

    def __init__(self):
        self.lib = ctypes.CDLL("libpcsclite.so.1")
        self.lib.SCardEstablishContext.argtypes = [ctypes.c_ulong, ctypes.c_void_p,
                                                   ctypes.c_void_p, ctypes.POINTER(ctypes.c_long)]
        self.lib.SCardReleaseContext.argtypes = [ctypes.c_long]
        self.lib.SCardListReaders.argtypes = [ctypes.c_long, ctypes.c_char_p, ctypes.c_char_p,
                                              ctypes.POINTER(ctypes.c_ulong)]

    def readers(self):
        """Reader names, or None when the daemon does not answer."""
        context = ctypes.c_long(0)
        if self.lib.SCardEstablishContext(2, None, None, ctypes.byref(context)) != 0:
            return None
        try:
            size = ctypes.c_ulong(0)
            if self.lib.SCardListReaders(context, None, None, ctypes.byref(size)) != 0:
                return []
            buffer = ctypes.create_string_buffer(size.value)
            if self.lib.SCardListReaders(context, None, buffer, ctypes.byref(size)) != 0:
                return []
            return [n.decode() for n in buffer.raw[:size.value].split(b"\0") if n]
        finally:
            self.lib.SCardReleaseContext(context)


class Daemon:
    """pcscd in the foreground, with an empty reader folder or a vpcd reader."""

    def __init__(self, folder, vpcd_port=None):
        self.conf = os.path.join(folder, "reader.conf.d")
        os.makedirs(self.conf, exist_ok=True)
        self.port = vpcd_port
        if vpcd_port is not None:
            with open(os.path.join(self.conf, "vpcd"), "w") as f:
                f.write(f'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:{vpcd_port}\n'
                        f"LIBPATH {VPCD_DRIVER}\nCHANNELID {vpcd_port}\n")
        self.log_path = os.path.join(folder, "pcscd.log")
        self.process = None

    def start(self):
        os.makedirs("/run/pcscd", exist_ok=True)
        log = open(self.log_path, "wb")
        self.process = subprocess.Popen(["pcscd", "--foreground", "--config", self.conf],
                                        stdout=log, stderr=subprocess.STDOUT)
        log.close()
        client = _PcscClient()
        if self.port is None:
            wait_until(lambda: client.readers() is not None, 10, "pcscd to answer")
        else:
            wait_until(lambda: READER in (client.readers() or []), 10, "the vpcd reader")
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


class Tool:
    """The built tool, started in `folder`, stdin and stdout on pipes."""

    def __init__(self, folder, env=None):
        self.folder = folder
        self._out = bytearray()
        self._lock = threading.Lock()
        self.process = subprocess.Popen([TOOL], cwd=folder, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env)
        self._reader = threading.Thread(target=self._pump, daemon=True)
        self._reader.start()

    def _pump(self):
        while True:
            chunk = self.process.stdout.read1(65536)
            if not chunk:
                return
            with self._lock:
                self._out += chunk

    @property
    def output(self):
        with self._lock:
            return self._out.decode("utf-8", errors="replace")

    def wait_for(self, text, count=1, timeout=15):
        wait_until(lambda: self.output.count(text) >= count, timeout,
                   lambda: f"{count} x {text!r}; console so far:\n{self.output}")

    def escape(self):
        self.process.stdin.write(ESC)
        self.process.stdin.flush()

    def wait_exit(self, timeout=10):
        try:
            rc = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the tool did not stop; console:\n{self.output}")
        self._reader.join(5)
        self._close_pipes()
        return rc

    def _close_pipes(self):
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                pipe.close()
            except (OSError, ValueError):
                pass

    def stop(self, timeout=10):
        """Escape, then the exit status."""
        self.escape()
        return self.wait_exit(timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._reader.join(5)
        self._close_pipes()

    def log_bytes(self, name="CmdTavixEMV.log"):
        path = os.path.join(self.folder, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


def masked(console):
    """The console text with the start time replaced by <time>."""
    return START_RE.sub("Start time: <time>\r\n", console)


def log_text(data):
    """UTF-16LE log bytes as text, start time masked; None for no log."""
    if data is None:
        return None
    if data.startswith(b"\xff\xfe"):
        raise AssertionError("the log must carry no byte-order mark")
    return masked(data.decode("utf-16-le"))


class E2ETestCase(unittest.TestCase):
    """A temporary folder per test, and cleanup of whatever the test started."""

    # Every test gets a vpcd port of its own: a port that a stopped daemon
    # just left may not be served again at once.
    _next_port = 36200

    def setUp(self):
        self.port = E2ETestCase._next_port
        E2ETestCase._next_port += 2
        if not TOOL or not os.access(TOOL, os.X_OK):
            self.fail("TAVIX_BIN must name the built tool")
        self.folder = tempfile.mkdtemp(prefix="tavix-e2e-")
        self._stops = []

    def tearDown(self):
        for stop in reversed(self._stops):
            try:
                stop()
            except Exception:  # cleanup goes on; the test already has its verdict
                pass
        if self._outcome_ok():
            shutil.rmtree(self.folder, ignore_errors=True)
        else:
            print(f"\nkept {self.folder} for inspection", file=sys.stderr)

    def _outcome_ok(self):
        result = getattr(self, "_outcome", None)
        errors = getattr(result, "errors", None) or getattr(getattr(result, "result", None), "errors", [])
        return not errors

    def write_config(self, text):
        with open(os.path.join(self.folder, "CmdTavixEMV.ini"), "w", newline="") as f:
            f.write(text)

    def start_daemon(self, with_reader=True):
        daemon = Daemon(self.folder, self.port if with_reader else None).start()
        self._stops.append(daemon.stop)
        return daemon

    def start_tool(self, **kwargs):
        tool = Tool(self.folder, **kwargs)
        self._stops.append(tool.kill)
        return tool

    def card(self, **kwargs):
        card = VirtualCard(self.port, **kwargs)
        self._stops.append(card.remove)
        return card
