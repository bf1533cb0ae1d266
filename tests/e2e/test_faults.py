"""Faults on the real card service and bad input from the line.

The card service dies, the log cannot be written, the configuration holds
huge lines, binary junk or printf directives, it is edited between cards, and
the tool is interrupted by signals. In each case the tool prints what it
must, loses no line it had logged, and leaves the terminal as it found it.
"""

import fcntl
import os
import re
import resource
import select
import signal
import subprocess
import termios
import threading
import time
import unittest

import harness
from ports import free_port_pair
from harness import (BANNER, CONNECTED, FAILED, INSERT_CARD, INSERT_READER, NO_CONTEXT, PASS,
                     READER, RULE, START_TIME, STOPPED, Daemon, E2ETestCase, Tool, VirtualCard,
                     hexbytes, log_text, masked, wait_until)

ATR = hexbytes("3B 02 14 50")
SETTINGS = "[TavixEMV]\nLogFile=1\nXFREn=1\n"
XFR_BANNER = "\r\nCard ATR matched, do XFR Test:\r\n" + RULE + READER + " \r\n"
HEAD = BANNER + START_TIME + CONNECTED + INSERT_CARD
SEND_FAILED = "Error! Fail to send smartcard data !\r\n"

# READ BINARY at offsets 1..n, each with its own answer.
READS = [(f"00 B0 00 {i:02X} 02", f"{i:02X} {0xA0 + i:02X} 90 00") for i in range(1, 11)]


def script(exchanges, protocol="T0", atr="3B 02 14 50", eol="\n", settings=SETTINGS):
    """A script that runs `exchanges` on a T=0 card with our ATR."""
    lines = ["; card test", "[Card Protocol]", protocol, "[ATR]", atr, "[XFR]", str(len(exchanges))]
    for command, answer in exchanges:
        lines += [command, answer]
    return eol.join(lines) + eol + "\n" + settings


def passing_messages(exchanges):
    """The messages that a card that runs `exchanges` and passes reports, in
    order (each printed and logged whole)."""
    messages = ["Test Protocol : T0\r\n", "3B 02 14 50", XFR_BANNER, "ActiveProtocol : T0\r\n"]
    for command, answer in exchanges:
        messages += [f"Cmd : {command}\r\n", f"Response : {answer}\r\n"]
    return messages + [RULE, PASS]


def passing_body(exchanges):
    """What a card that runs `exchanges` and passes prints (and logs)."""
    return "".join(passing_messages(exchanges))


def messages_in_log(log, messages):
    """Which of `messages` the log text holds, each whole and in order, with
    nothing else between them; None when the log is not made up so."""
    held = []
    pos = 0
    for message in messages:
        found = log.startswith(message, pos)
        held.append(found)
        pos += len(message) if found else 0
    return held if pos == len(log) else None


def card_table(exchanges):
    return {hexbytes(c): hexbytes(a) for c, a in exchanges}


def script_text(data):
    """Script bytes as the tool shows them: valid UTF-8 decodes, every other
    byte stands for the character of the same value."""
    return "".join(chr(ord(c) - 0xDC00) if 0xDC80 <= ord(c) <= 0xDCFF else c
                   for c in data.decode("utf-8", errors="surrogateescape"))


def read_only_on(path):
    """Makes `path` unwritable even for root: a read-only bind mount of the
    file onto itself, inside the test's private mount namespace. Writes fail
    with EROFS; the file keeps its content and comes back writable."""
    subprocess.run(["mount", "--bind", path, path], check=True)
    subprocess.run(["mount", "-o", "remount,bind,ro", path], check=True)


def read_only_off(path):
    subprocess.run(["umount", path], check=True)


def clear_daemon_files():
    """Removes what a killed pcscd left in the private /run/pcscd of this run
    (run_isolated.sh mounts it): a new daemon takes a stale pid file whose
    number another process has by now for a daemon that still runs, and
    refuses to start."""
    if not os.path.ismount("/run/pcscd"):
        return  # not our own folder: leave a system daemon's files alone
    for name in ("pcscd.pid", "pcscd.comm"):
        try:
            os.remove(os.path.join("/run/pcscd", name))
        except FileNotFoundError:
            pass


def _take_terminal():
    # In the child, after setsid(): stdin becomes the controlling terminal.
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


class TerminalTool(Tool):
    """The tool on a pseudo-terminal that is its controlling terminal, as
    when an operator starts it in a terminal window: stdin, stdout and stderr
    are the terminal, colours are on, Ctrl+C reaches it as SIGINT."""

    def __init__(self, folder, env=None):  # pylint: disable=super-init-not-called
        self.folder = folder
        self._out = bytearray()
        self._lock = threading.Lock()
        self._done = threading.Event()
        self.master, self.slave = os.openpty()
        self._fds = [self.master, self.slave]
        self.settings_before = termios.tcgetattr(self.slave)
        env = dict(os.environ if env is None else env)
        env.pop("NO_COLOR", None)
        env["TERM"] = "xterm"
        self.process = subprocess.Popen([harness.TOOL], cwd=folder, stdin=self.slave,
                                        stdout=self.slave, stderr=self.slave, env=env,
                                        start_new_session=True, preexec_fn=_take_terminal)
        self._reader = threading.Thread(target=self._pump, daemon=True)
        self._reader.start()

    def _pump(self):
        while not self._done.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                return
            with self._lock:
                self._out += chunk

    @property
    def raw_output(self):
        with self._lock:
            return self._out.decode("utf-8", errors="replace")

    @property
    def output(self):
        """What the tool wrote, without its escape sequences, and with the
        terminal's CR before every LF taken out again."""
        return ANSI.sub("", self.raw_output).replace("\r\r\n", "\r\n")

    def settings_now(self):
        return termios.tcgetattr(self.slave)

    def type(self, data):
        os.write(self.master, data)

    def escape(self):
        self.type(harness.ESC)

    def wait_exit(self, timeout=10):
        try:
            rc = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the tool did not stop; console:\n{self.output}")
        self._drain()
        return rc

    def _drain(self):
        # Whatever the tool wrote last is in the terminal already.
        wait_until(lambda: not select.select([self.master], [], [], 0)[0], 5, "the terminal to drain")
        time.sleep(0.1)
        self._done.set()
        self._reader.join(5)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._done.set()
        self._reader.join(5)
        # Closed once only: a number closed twice may belong to another file by then.
        fds, self._fds = self._fds, []
        for fd in fds:
            os.close(fd)


class LimitedTool(Tool):
    """The tool with a limit on the size of the files it writes (ulimit -f),
    stdin and stdout on pipes."""

    def __init__(self, folder, file_size_limit):  # pylint: disable=super-init-not-called
        self.folder = folder
        self._out = bytearray()
        self._lock = threading.Lock()

        def set_limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        self.process = subprocess.Popen([harness.TOOL], cwd=folder, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=set_limit)
        self._reader = threading.Thread(target=self._pump, daemon=True)
        self._reader.start()


class FaultTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        self.port = free_port_pair()
        self.verdicts = 0
        clear_daemon_files()

    def write_script(self, content):
        data = content.encode("latin-1") if isinstance(content, str) else content
        with open(os.path.join(self.folder, "CmdTavixEMV.ini"), "wb") as f:
            f.write(data)

    def start_terminal_tool(self):
        tool = TerminalTool(self.folder)
        self._stops.append(tool.kill)
        return tool

    def assert_terminal_restored(self, tool):
        self.assertEqual(tool.settings_now(), tool.settings_before,
                         "the terminal settings after the tool equal those before it")

    def assert_in_raw_mode(self, tool):
        lflag = tool.settings_now()[3]
        self.assertEqual(lflag & (termios.ICANON | termios.ECHO), 0,
                         "while it runs, the tool reads keys one by one, without echo")

    def one_card(self, tool, card, timeout=15):
        """Inserts `card`, waits for its verdict and for the prompt after its
        removal."""
        self.verdicts += 1
        card.insert()
        wait_until(lambda: tool.output.count(PASS) + tool.output.count(FAILED) >= self.verdicts,
                   timeout, lambda: f"verdict {self.verdicts}; console so far:\n{tool.output[-3000:]}")
        card.remove()
        tool.wait_for(INSERT_CARD, count=self.verdicts + 1, timeout=timeout)

    # ------------------------------------------------------------ card service

    def card_service_ends_while_the_tool_waits_for_a_card(self, how):
        self.write_script(SETTINGS)
        daemon = self.start_daemon()
        tool = self.start_terminal_tool()
        tool.wait_for(INSERT_CARD)
        self.assert_in_raw_mode(tool)

        daemon.process.send_signal(how)
        daemon.process.wait(10)
        self.assertEqual(tool.wait_exit(), 0)
        # A daemon that goes away between the tool's context and its reader
        # listing makes it a listing without readers first.
        self.assertIn(masked(tool.output), (HEAD + NO_CONTEXT, HEAD + INSERT_READER + NO_CONTEXT))
        self.assert_terminal_restored(tool)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED)

    def test_card_service_killed_while_the_tool_waits_for_a_card(self):
        self.card_service_ends_while_the_tool_waits_for_a_card(signal.SIGKILL)

    def test_card_service_stopped_while_the_tool_waits_for_a_card(self):
        self.card_service_ends_while_the_tool_waits_for_a_card(signal.SIGTERM)

    def test_card_service_killed_during_a_transfer(self):
        self.write_script(script(READS))
        daemon = self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)

        arrived = []

        def kill_at_fourth_command(line):
            if line.startswith("> "):
                arrived.append(line)
                if len(arrived) == 4:
                    daemon.process.kill()

        card = self.card(atr=ATR, responses=card_table(READS), trace=kill_at_fourth_command)
        card.insert()
        self.assertEqual(tool.wait_exit(timeout=20), 0)

        body = "Test Protocol : T0\r\n3B 02 14 50" + XFR_BANNER + "ActiveProtocol : T0\r\n"
        for command, answer in READS[:3]:
            body += f"Cmd : {command}\r\nResponse : {answer}\r\n"
        body += f"Cmd : {READS[3][0]}\r\n" + SEND_FAILED + RULE + FAILED
        self.assertEqual(masked(tool.output), HEAD + body + NO_CONTEXT)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + body)

    # --------------------------------------------------------------------- log

    def test_log_unwritable_for_a_while(self):
        self.write_script(script(READS[:6]))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        log = os.path.join(self.folder, "CmdTavixEMV.log")

        refused = []

        def toggle(line):
            # Runs while the tool waits for the card's answer to a command.
            if not line.startswith("> "):
                return
            number = len(card.received)
            if number == 2:
                read_only_on(log)
                try:
                    open(log, "ab").close()
                except OSError as err:
                    refused.append(err.errno)
            elif number == 5:
                read_only_off(log)

        card = self.card(atr=ATR, responses=card_table(READS[:6]), trace=toggle)
        self.one_card(tool, card)
        self.assertEqual(tool.stop(), 0)
        self.assertEqual(len(refused), 1, "the log really was unwritable, even for root")

        body = passing_body(READS[:6])
        self.assertEqual(masked(tool.output), HEAD + body + INSERT_CARD + STOPPED)
        # Messages 2 to 5 of the exchanges could not be written; everything
        # before them is intact and everything after them is appended.
        lost = (f"Response : {READS[1][1]}\r\n"
                f"Cmd : {READS[2][0]}\r\nResponse : {READS[2][1]}\r\n"
                f"Cmd : {READS[3][0]}\r\nResponse : {READS[3][1]}\r\n"
                f"Cmd : {READS[4][0]}\r\n")
        self.assertIn(lost, body)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + body.replace(lost, ""))

    def test_log_folder_missing(self):
        self.write_script(script(READS[:1], settings=SETTINGS + "LogFileName=logs/today.log\n"))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        card = self.card(atr=ATR, responses=card_table(READS[:1]))
        self.one_card(tool, card)
        self.assertEqual(sorted(os.listdir(self.folder)), ["CmdTavixEMV.ini", "pcscd.log", "reader.conf.d"])

        # The folder appears: the next message goes to a new log there.
        os.mkdir(os.path.join(self.folder, "logs"))
        self.one_card(tool, card)
        self.assertEqual(tool.stop(), 0)
        body = passing_body(READS[:1])
        self.assertEqual(masked(tool.output), HEAD + body + INSERT_CARD + body + INSERT_CARD + STOPPED)
        self.assertEqual(log_text(tool.log_bytes("logs/today.log")), body)

    def test_log_on_a_full_disk(self):
        many = READS * 6  # 60 exchanges: about 5.6 kB of log per card
        disk = os.path.join(self.folder, "disk")
        os.mkdir(disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12k", "tmpfs", disk], check=True)
        self._stops.append(lambda: subprocess.run(["umount", "--lazy", disk], check=False))
        filler = os.path.join(disk, "filler")
        with open(filler, "wb") as f:
            f.write(bytes(8192))  # one 4 kB page of the disk is left for the log

        self.write_script(script(many, settings=SETTINGS + "LogFileName=disk/CmdTavixEMV.log\n"))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        card = self.card(atr=ATR, responses=card_table(many))
        self.one_card(tool, card)
        os.remove(filler)
        self.one_card(tool, card)
        self.assertEqual(tool.stop(), 0)

        body = passing_body(many)
        self.assertEqual(masked(tool.output), HEAD + body + INSERT_CARD + body + INSERT_CARD + STOPPED)
        # The disk filled up during the first card: the log holds whole
        # messages only, some of the first card's are missing, and the second
        # card's all came after space was freed.
        data = tool.log_bytes("disk/CmdTavixEMV.log")
        self.assertEqual(len(data) % 2, 0, "whole UTF-16 code units only")
        card_messages = passing_messages(many)
        held = messages_in_log(log_text(data), [START_TIME, CONNECTED] + card_messages + card_messages)
        self.assertIsNotNone(held, f"a message was cut: {log_text(data)[-300:]!r}")
        self.assertIn(False, held[2:2 + len(card_messages)], "the disk was full")
        self.assertNotIn(False, held[2 + len(card_messages):])

    def test_log_at_the_file_size_limit(self):
        # Bytes; odd, so that a cut inside a message also cuts a character, and
        # less than the 1.2 kB the card's messages need.
        limit = 1001
        self.write_script(script(READS[:6]))
        self.start_daemon()
        tool = LimitedTool(self.folder, limit)
        self._stops.append(tool.kill)
        tool.wait_for(INSERT_CARD)
        card = self.card(atr=ATR, responses=card_table(READS[:6]))
        self.one_card(tool, card)
        self.assertEqual(tool.stop(), 0)

        body = passing_body(READS[:6])
        self.assertEqual(masked(tool.output), HEAD + body + INSERT_CARD + STOPPED)
        data = tool.log_bytes()
        self.assertEqual(len(data) % 2, 0, "whole UTF-16 code units only")
        self.assertLessEqual(len(data), limit)
        start = data.decode("utf-16-le").split(CONNECTED)[0]  # with its real time
        messages = [start, CONNECTED] + passing_messages(READS[:6])
        held = messages_in_log(data.decode("utf-16-le"), messages)
        self.assertIsNotNone(held, f"a message was cut: {log_text(data)[-200:]!r}")
        # A message is missing only because it did not fit.
        size = 0
        for message, logged in zip(messages, held):
            if logged:
                size += 2 * len(message)
            else:
                self.assertGreater(size + 2 * len(message), limit, f"{message!r} would have fit")
        self.assertIn(False, held)

    # ------------------------------------------------------------ bad scripts

    def test_script_of_50_megabytes_with_a_10_megabyte_line(self):
        comments = (";" + "c" * 98 + "\n") * 400_000          # 40 MB, lines 1..400000
        big_line = "A" * 10_000_000
        passing = (";" + big_line + "\n" + comments).encode() + script(READS[:2]).encode()
        failing = (comments + big_line + "\n" + SETTINGS).encode()
        self.assertGreaterEqual(len(passing), 50_000_000)
        self.assertGreaterEqual(len(failing), 50_000_000)

        self.write_script(passing)
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD, timeout=60)  # its settings come from the 50 MB file
        card = self.card(atr=ATR, responses=card_table(READS[:2]))
        self.one_card(tool, card, timeout=60)
        self.write_script(failing)
        self.one_card(tool, card, timeout=60)
        self.assertEqual(tool.stop(), 0)

        passed = passing_body(READS[:2])
        # The big line stands where a section header is due: it is shown whole,
        # after its line number (400001 = 0x61A81), on the console only.
        unexpected = "0x61A81: <the big line>\r\n"
        console = masked(tool.output)
        self.assertEqual(console.count(big_line), 1)
        # Compared with the big line put aside: a failing comparison of two
        # 10 MB texts would take longer to report than the test may run.
        self.assertEqual(console.replace(big_line, "<the big line>"),
                         HEAD + passed + INSERT_CARD + unexpected + FAILED + INSERT_CARD + STOPPED)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + passed + FAILED)

    def run_scripts(self, cases, settings=SETTINGS):
        """Runs one card per case in one run of the tool, the script replaced
        before each card. A case: (script bytes, card, console text, log text)."""
        self.write_script(settings)
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        console = HEAD
        logged = START_TIME + CONNECTED
        for content, card, shown, reported in cases:
            self.write_script(content)
            self.one_card(tool, card)
            console += shown + INSERT_CARD
            logged += reported
        self.assertEqual(tool.stop(), 0)
        self.assertEqual(masked(tool.output), console + STOPPED)
        return tool, logged

    def test_scripts_with_nul_bytes_and_binary_junk(self):
        junk = bytes(b for b in range(256) if b != 0x0A)
        good = self.card(atr=ATR, responses=card_table(READS[:1]))
        plain = script(READS[:1]).encode()
        mismatch = ("Test Protocol : T0\r\n3B 02 14 50" + XFR_BANNER + "ActiveProtocol : T0\r\n"
                    f"Cmd : {READS[0][0]}\r\nError! Card response compare error!\r\n"
                    "Expect : 90 00\x00\xff\x01\r\nActual : 01 A1 90 00 \r\n\r\n" + RULE + FAILED)
        cases = [
            # Junk in comments is skipped.
            (b"; \x00\xff\xfe\x80 junk\n;" + junk + b"\n" + plain, good,
             passing_body(READS[:1]), passing_body(READS[:1])),
            # A NUL makes the protocol line another line: echoed, then refused.
            (b"[Card Protocol]\nT0\x00\n" + SETTINGS.encode(), good,
             "Test Protocol : T0\x00\r\nUnknown protocol setting : T0\x00 \r\n" + FAILED,
             "Test Protocol : T0\x00\r\n" + FAILED),
            # Junk where a section header is due: shown as it stands.
            (junk + b"\n" + plain, good, "0x1: " + script_text(junk) + "\r\n" + FAILED, FAILED),
            # Junk in an expected answer: compared, shown, and the card fails.
            (plain.replace(READS[0][1].encode(), b"90 00\x00\xff\x01"), good, mismatch, mismatch),
            # The tool is still sound: a clean script passes.
            (plain, good, passing_body(READS[:1]), passing_body(READS[:1])),
        ]
        tool, logged = self.run_scripts(cases)
        self.assertEqual(log_text(tool.log_bytes()), logged)

    def test_scripts_with_printf_directives(self):
        directives = "%s%n%x%d%p%08X%%"
        good = self.card(atr=ATR, responses=card_table(READS[:1]))
        plain = script(READS[:1])
        expect = f"{READS[0][1]} {directives}"
        mismatch = ("Test Protocol : T0\r\n3B 02 14 50" + XFR_BANNER + "ActiveProtocol : T0\r\n"
                    f"Cmd : {READS[0][0]}\r\nError! Card response compare error!\r\n"
                    f"Expect : {expect}\r\nActual : 01 A1 90 00 \r\n\r\n" + RULE + FAILED)
        cases = [
            (f"; 100% sure: {directives}\n" + plain, good,
             passing_body(READS[:1]), passing_body(READS[:1])),
            (f"[Card Protocol]\n{directives}\n", good,
             f"Test Protocol : {directives}\r\nUnknown protocol setting : {directives} \r\n" + FAILED,
             f"Test Protocol : {directives}\r\n" + FAILED),
            (f"{directives}\n", good, f"0x1: {directives}\r\n" + FAILED, FAILED),
            (plain.replace(f"\n{READS[0][1]}\n", f"\n{expect}\n"), good, mismatch, mismatch),
        ]
        # The log's name holds the directives too: it is taken literally.
        tool, logged = self.run_scripts(cases, settings=SETTINGS + f"LogFileName={directives}.log\n")
        self.assertEqual(log_text(tool.log_bytes(f"{directives}.log")), logged)

    def test_line_ends(self):
        good = self.card(atr=ATR, responses=card_table(READS[:2]))
        body = passing_body(READS[:2])
        lf = script(READS[:2])
        lines = lf.split("\n")
        mixed = "".join(line + ("\r\n" if i % 2 else "\n") for i, line in enumerate(lines[:-1]))
        no_last_end = script(READS[:2], settings="").rstrip("\n")
        cr_only = script(READS[:2]).replace("; card test\n", "").replace("\n", "\r")
        cases = [
            (lf, good, body, body),
            (lf.replace("\n", "\r\n"), good, body, body),
            (mixed, good, body, body),
            (no_last_end, good, body, body),
            # Only a CR right before the LF ends a line: a CR of its own stays
            # in the line, and a file with CR alone is one long line.
            (lf.replace("T0\n", "T0\r\r\n"), good,
             "Test Protocol : T0\r\r\nUnknown protocol setting : T0\r \r\n" + FAILED,
             "Test Protocol : T0\r\r\n" + FAILED),
            (cr_only, good, "0x1: " + cr_only + "\r\n" + FAILED, FAILED),
        ]
        # The settings are read with CR, LF and CRLF alike: logging is on.
        tool, logged = self.run_scripts(cases, settings="; start\r[TavixEMV]\rLogFile=1\r\nXFREn=1\n")
        self.assertEqual(log_text(tool.log_bytes()), logged)

    def test_script_replaced_between_two_cards(self):
        first, second, third = READS[:2], READS[2:5], READS[5:6]
        self.write_script(script(first))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        path = os.path.join(self.folder, "CmdTavixEMV.ini")

        card = self.card(atr=ATR, responses=card_table(READS))
        self.one_card(tool, card)
        # As an editor saves: a new file renamed over the old one.
        with open(path + ".new", "w") as f:
            f.write(script(second))
        os.replace(path + ".new", path)
        self.one_card(tool, card)
        # Rewritten in place, shorter than before.
        with open(path, "r+") as f:
            f.truncate(0)
            f.write(script(third))
        self.one_card(tool, card)
        self.assertEqual(tool.stop(), 0)

        self.assertEqual(card.received, [hexbytes(c) for c, _ in first + second + third])
        bodies = [passing_body(first), passing_body(second), passing_body(third)]
        self.assertEqual(masked(tool.output), HEAD + INSERT_CARD.join(bodies) + INSERT_CARD + STOPPED)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + "".join(bodies))

    # ----------------------------------------------------------------- signals

    def test_signals_restore_the_terminal(self):
        def send(number):
            return lambda tool: tool.process.send_signal(number)

        # How the tool is ended, its exit status (negative: the signal), and
        # what it prints last.
        endings = [
            ("Escape", lambda tool: tool.escape(), 0, STOPPED),
            ("Ctrl+C typed", lambda tool: tool.type(b"\x03"), -signal.SIGINT, ""),
            ("SIGINT", send(signal.SIGINT), -signal.SIGINT, ""),
            ("SIGTERM", send(signal.SIGTERM), -signal.SIGTERM, ""),
            ("SIGHUP", send(signal.SIGHUP), -signal.SIGHUP, ""),
            ("Ctrl+\\ typed", lambda tool: tool.type(b"\x1c"), -signal.SIGQUIT, ""),
            # What an uncaught error (exhausted memory) ends in.
            ("SIGABRT", send(signal.SIGABRT), -signal.SIGABRT, ""),
        ]
        self.write_script(script(READS[:1]))
        body = passing_body(READS[:1])
        for index, (name, end, status, last) in enumerate(endings):
            with self.subTest(name):
                # A daemon and a reader of its own, stopped whatever the case's
                # outcome: a card pulled for the case before would still look
                # present to a new one for a while.
                port = free_port_pair()
                clear_daemon_files()
                daemon = Daemon(os.path.join(self.folder, f"reader{index}"), port).start()
                card = VirtualCard(port, atr=ATR, responses=card_table(READS[:1]))
                tool = TerminalTool(self.folder)
                try:
                    tool.wait_for(INSERT_CARD)
                    self.assert_in_raw_mode(tool)
                    # A card passes (green, then white) and stays in the reader;
                    # the tool has logged the verdict and waits for its removal.
                    card.insert()
                    tool.wait_for(PASS)
                    wait_until(lambda: (log_text(tool.log_bytes()) or "").endswith(PASS), 10,
                               "the verdict in the log")
                    end(tool)
                    self.assertEqual(tool.wait_exit(), status)

                    self.assert_terminal_restored(tool)
                    self.assertTrue(tool.raw_output.endswith("\x1b[0m"),
                                    f"the colours are reset last: {tool.raw_output[-40:]!r}")
                    self.assertEqual(masked(tool.output), HEAD + body + last)
                    self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + body)
                finally:
                    tool.kill()
                    card.remove()
                    daemon.stop()

if __name__ == "__main__":
    unittest.main()
