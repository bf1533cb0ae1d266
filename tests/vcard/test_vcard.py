"""Tests for the virtual card, driven by a fake vpcd (the reader side of the
link) listening on an ephemeral localhost port.

    python3 -m unittest discover -s tests/vcard -v
"""

import contextlib
import io
import os
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from vcard import VirtualCard, main, parse_apdu_pair, parse_hex  # noqa: E402

VCARD = os.path.join(HERE, "vcard.py")

ATR = bytes.fromhex("3B021450")
SELECT_MF = bytes.fromhex("00A40000023F00")
GET_DATA = bytes.fromhex("80CA9F7F00")
OK = b"\x90\x00"
DEFAULT = b"\x6d\x00"
POWER_OFF, POWER_ON, RESET, GET_ATR = b"\x00", b"\x01", b"\x02", b"\x04"


class FakeVpcd:
    """Reader side of the vpcd link: listens, and frames messages as
    2-byte big-endian length + payload."""

    def __init__(self, port=0):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.conn = None

    def accept(self, timeout=2):
        self.listener.settimeout(timeout)
        if self.conn is not None:
            self.conn.close()
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(timeout)

    def send(self, payload):
        self.conn.sendall(struct.pack(">H", len(payload)) + payload)

    def send_chunks(self, chunks, pause=0.005):
        """Send one message in pieces, each its own TCP write."""
        for chunk in chunks:
            self.conn.sendall(chunk)
            time.sleep(pause)

    def _recv_exact(self, count):
        buf = b""
        while len(buf) < count:
            chunk = self.conn.recv(count - len(buf))
            if not chunk:
                return None
            buf += chunk
        return buf

    def recv(self):
        """Next message payload, or None when the card closed the link."""
        header = self._recv_exact(2)
        if header is None:
            return None
        return self._recv_exact(struct.unpack(">H", header)[0])

    def exchange(self, payload):
        self.send(payload)
        return self.recv()

    def assert_silent(self, test, wait=0.05):
        self.conn.settimeout(wait)
        try:
            data = self.conn.recv(16)
        except socket.timeout:
            data = None
        finally:
            self.conn.settimeout(2)
        test.assertIsNone(data, "card sent something it should not have")

    def close(self):
        if self.conn is not None:
            self.conn.close()
        self.listener.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class CardTestCase(unittest.TestCase):
    def setUp(self):
        self.vpcd = FakeVpcd()
        self.addCleanup(self.vpcd.close)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def insert(self, **kwargs):
        kwargs.setdefault("atr", ATR)
        card = VirtualCard(self.vpcd.port, **kwargs)
        self.addCleanup(card.remove)
        card.insert(timeout=2)
        self.vpcd.accept()
        return card


class ProtocolTest(CardTestCase):
    def test_atr_request_is_answered_every_time(self):
        # vpcd uses the ATR request as its presence poll, so it repeats
        self.insert()
        for _ in range(3):
            self.assertEqual(self.vpcd.exchange(GET_ATR), ATR)

    def test_power_messages_get_no_answer(self):
        card = self.insert(responses={SELECT_MF: OK})
        for message in (POWER_OFF, POWER_ON, RESET):
            self.vpcd.send(message)
        self.vpcd.assert_silent(self)
        # an answer to any of them would shift these by one
        self.assertEqual(self.vpcd.exchange(GET_ATR), ATR)
        self.assertEqual(self.vpcd.exchange(SELECT_MF), OK)
        self.assertEqual(card.received, [SELECT_MF])

    def test_apdu_table_with_default(self):
        long_command = bytes([0x80, 0xE2, 0x00, 0x00, 0x00, 0x01, 0x2C]) + bytes(300)
        long_response = bytes(range(256)) + OK
        card = self.insert(responses={SELECT_MF: OK,
                                      GET_DATA: bytes.fromhex("9F7F02AABB9000"),
                                      long_command: long_response},
                           default=DEFAULT)
        cases = [
            ("known command", SELECT_MF, OK),
            ("second known command", GET_DATA, bytes.fromhex("9F7F02AABB9000")),
            ("unknown command", bytes.fromhex("00B0000000"), DEFAULT),
            ("prefix of a known command", SELECT_MF[:-1], DEFAULT),
            ("known command plus Le", SELECT_MF + b"\x00", DEFAULT),
            # lengths above 255 catch a 1-byte or little-endian length field
            ("long command and response", long_command, long_response),
        ]
        for name, command, response in cases:
            with self.subTest(name):
                self.assertEqual(self.vpcd.exchange(command), response)
        self.assertEqual(card.received, [c for _, c, _ in cases])

    def test_message_split_over_several_writes(self):
        # vpcd writes the length and the payload separately
        self.insert(responses={SELECT_MF: OK})
        header = struct.pack(">H", len(SELECT_MF))
        cases = [
            ("length, then payload", [header, SELECT_MF]),
            ("length byte by byte", [header[:1], header[1:], SELECT_MF]),
            ("payload in pieces", [header, SELECT_MF[:3], SELECT_MF[3:]]),
            ("ATR request split", [b"\x00\x01", GET_ATR]),
        ]
        for name, chunks in cases:
            with self.subTest(name):
                self.vpcd.send_chunks(chunks)
                expected = ATR if chunks[-1] == GET_ATR else OK
                self.assertEqual(self.vpcd.recv(), expected)

    def test_no_delayed_ack_stall_on_split_writes(self):
        # With Nagle on the vpcd side (the default) the payload write waits
        # for the ACK of the length write; a card that lets its ACK be
        # delayed costs ~40 ms per APDU instead of well under 1 ms.
        self.insert(responses={SELECT_MF: OK})
        header = struct.pack(">H", len(SELECT_MF))
        times = []
        for _ in range(15):
            start = time.perf_counter()
            self.vpcd.conn.sendall(header)
            self.vpcd.conn.sendall(SELECT_MF)
            self.assertEqual(self.vpcd.recv(), OK)
            times.append(time.perf_counter() - start)
        self.assertLess(statistics.median(times), 0.010,
                        f"median round trip {statistics.median(times) * 1e3:.1f} ms")


class RemovalTest(CardTestCase):
    def test_remove_after_pulls_card_on_nth_apdu_without_answer(self):
        card = self.insert(responses={SELECT_MF: OK}, remove_after=3)
        for attempt in ("first insertion", "re-insertion restarts the count"):
            with self.subTest(attempt):
                self.assertEqual(self.vpcd.exchange(SELECT_MF), OK)
                # presence polls and power messages are not APDU exchanges
                self.assertEqual(self.vpcd.exchange(GET_ATR), ATR)
                self.vpcd.send(POWER_ON)
                self.assertEqual(self.vpcd.exchange(GET_DATA), DEFAULT)
                self.assertIsNone(self.vpcd.exchange(SELECT_MF))
                self.assertTrue(card.wait_removed(1))
                self.assertFalse(card.inserted)
                self.assertEqual(card.removal_reason, "remove_after")
                card.insert(timeout=2)
                self.vpcd.accept()
        self.assertEqual(card.received, [SELECT_MF, GET_DATA, SELECT_MF] * 2)

    def test_remove_closes_the_connection(self):
        card = self.insert()
        self.assertTrue(card.inserted)
        card.remove()
        self.assertIsNone(self.vpcd.recv())
        self.assertTrue(card.wait_removed(0))
        self.assertEqual(card.removal_reason, "remove")

    def test_context_manager_inserts_and_removes(self):
        with VirtualCard(self.vpcd.port, atr=ATR) as card:
            self.vpcd.accept()
            self.assertEqual(self.vpcd.exchange(GET_ATR), ATR)
        self.assertIsNone(self.vpcd.recv())
        self.assertFalse(card.inserted)

    def test_reader_closing_the_link_removes_the_card(self):
        card = self.insert()
        self.vpcd.conn.close()
        self.vpcd.conn = None
        self.assertTrue(card.wait_removed(1))
        self.assertEqual(card.removal_reason, "reader")


class InsertTest(unittest.TestCase):
    def test_insert_retries_until_vpcd_listens(self):
        port = free_port()
        started = []

        def start_listening():
            time.sleep(0.3)
            started.append(FakeVpcd(port))

        late = threading.Thread(target=start_listening)
        late.start()
        card = VirtualCard(port, atr=ATR)
        self.addCleanup(card.remove)
        try:
            card.insert(timeout=3)
        finally:
            late.join()
            for vpcd in started:
                self.addCleanup(vpcd.close)
        vpcd = started[0]
        vpcd.accept()
        self.assertEqual(vpcd.exchange(GET_ATR), ATR)

    def test_insert_gives_up_at_deadline(self):
        card = VirtualCard(free_port(), atr=ATR)
        start = time.monotonic()
        with self.assertRaises(TimeoutError):
            card.insert(timeout=0.3)
        self.assertLess(time.monotonic() - start, 1.0)
        self.assertFalse(card.inserted)


class ApduLogTest(CardTestCase):
    def test_one_upper_case_hex_line_per_apdu(self):
        log = os.path.join(self.tmp, "apdu.log")
        with open(log, "w") as f:
            f.write("left over from an earlier run\n")
        self.insert(responses={SELECT_MF: OK}, apdu_log=log)
        self.assertEqual(self.vpcd.exchange(GET_ATR), ATR)
        self.vpcd.send(POWER_ON)
        expected = ""
        for command in (SELECT_MF, bytes.fromhex("80ca9f7f00"), SELECT_MF):
            self.vpcd.exchange(command)
            expected += " ".join(f"{b:02X}" for b in command) + "\n"
            # already on disk when the reader has the answer
            with open(log) as f:
                self.assertEqual(f.read(), expected)
        self.assertEqual(expected.splitlines()[0], "00 A4 00 00 02 3F 00")
        self.assertEqual(expected.splitlines()[1], "80 CA 9F 7F 00")


class HexParsingTest(unittest.TestCase):
    def test_hex_strings(self):
        for text, expected in [
            ("3B 02 14 50", ATR),
            ("3b021450", ATR),
            ("  3 B0 214 5 0 ", ATR),
            ("3b\t02\n14 50", ATR),
            ("", b""),
        ]:
            with self.subTest(text):
                self.assertEqual(parse_hex(text), expected)

    def test_bad_hex_strings(self):
        for text in ("3B0", "3G", "0x3B", "3B,02"):
            with self.subTest(text), self.assertRaises(ValueError):
                parse_hex(text)

    def test_command_response_pairs(self):
        for text, expected in [
            ("00 A4 00 00 02 3F 00=90 00", (SELECT_MF, OK)),
            ("00a40000023f00 = 9000", (SELECT_MF, OK)),
            ("00A40000023F00=", (SELECT_MF, b"")),
        ]:
            with self.subTest(text):
                self.assertEqual(parse_apdu_pair(text), expected)
        for text in ("00A40000023F00", "=9000", "00A4=90 0"):
            with self.subTest(text), self.assertRaises(ValueError):
                parse_apdu_pair(text)


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.vpcd = FakeVpcd()
        self.addCleanup(self.vpcd.close)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def start(self, *args, stdin=subprocess.PIPE):
        proc = subprocess.Popen(
            [sys.executable, VCARD, "--port", str(self.vpcd.port), *args],
            stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def stop():
            if proc.poll() is None:
                proc.kill()
            proc.communicate()
        self.addCleanup(stop)
        return proc

    def finish(self, proc, timeout=3):
        out, err = proc.communicate(timeout=timeout)
        return proc.returncode, out.decode(), err.decode()

    def test_serves_table_and_exits_cleanly_on_sigterm(self):
        log = os.path.join(self.tmp, "apdu.log")
        proc = self.start("--atr", "3b 02 14 50",
                          "--apdu", "00 A4 00 00 02 3F 00=90 00",
                          "--apdu", "80ca9f7f00=9f7f02aabb9000",
                          "--default", "6a 82", "--log", log)
        self.vpcd.accept()
        self.assertEqual(self.vpcd.exchange(GET_ATR), ATR)
        self.assertEqual(self.vpcd.exchange(SELECT_MF), OK)
        self.assertEqual(self.vpcd.exchange(GET_DATA), bytes.fromhex("9F7F02AABB9000"))
        self.assertEqual(self.vpcd.exchange(bytes.fromhex("00B0000000")), b"\x6a\x82")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(self.finish(proc), (0, "", ""))
        self.assertIsNone(self.vpcd.recv())
        with open(log) as f:
            self.assertEqual(f.read(), "00 A4 00 00 02 3F 00\n80 CA 9F 7F 00\n00 B0 00 00 00\n")

    def test_stdin_remove_insert_and_end_of_input(self):
        proc = self.start("--apdu", "00A40000023F00=9000")
        self.vpcd.accept()
        proc.stdin.write(b"remove\n")
        proc.stdin.flush()
        self.assertIsNone(self.vpcd.recv())
        proc.stdin.write(b"insert\n")
        proc.stdin.flush()
        self.vpcd.accept()
        self.assertEqual(self.vpcd.exchange(SELECT_MF), OK)
        # communicate() closes stdin: end of input ends the run
        self.assertEqual(self.finish(proc), (0, "", ""))
        self.assertIsNone(self.vpcd.recv())

    def test_hold(self):
        cases = [
            ("removes when the time is up", ["--hold", "0.3"], None),
            ("ends early when remove-after pulls the card",
             ["--hold", "30", "--remove-after", "1"], SELECT_MF),
        ]
        for name, args, apdu in cases:
            with self.subTest(name):
                # stdin at EOF must not end a --hold run
                proc = self.start(*args, stdin=subprocess.DEVNULL)
                self.vpcd.accept()
                self.assertEqual(self.vpcd.exchange(GET_ATR), bytes.fromhex("3B021450"))
                if apdu is not None:
                    self.vpcd.send(apdu)
                self.assertIsNone(self.vpcd.recv())
                self.assertEqual(self.finish(proc), (0, "", ""))

    def test_no_reader_listening_exits_1(self):
        proc = subprocess.run(
            [sys.executable, VCARD, "--port", str(free_port()),
             "--insert-timeout", "0.3"],
            stdin=subprocess.PIPE, capture_output=True, timeout=5)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(proc.stdout, b"")
        self.assertIn(b"no vpcd reader", proc.stderr)

    def test_bad_arguments_exit_2(self):
        for args in (["--atr", "3B0"],
                     ["--apdu", "00A4"],
                     ["--apdu", "00A4=9000", "--apdu", "00 a4=6A82"],
                     ["--default", "zz"],
                     ["--remove-after", "0"],
                     ["--log", os.path.join(self.tmp, "missing", "apdu.log")]):
            with self.subTest(args):
                stderr = io.StringIO()
                with contextlib.redirect_stderr(stderr), \
                        self.assertRaises(SystemExit) as exit_:
                    main(["--port", str(self.vpcd.port), *args])
                self.assertEqual(exit_.exception.code, 2)
                self.assertIn("error", stderr.getvalue())


if __name__ == "__main__":
    unittest.main()
