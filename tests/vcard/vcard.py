#!/usr/bin/env python3
"""Virtual smart card for the vpcd reader driver.

The card is the TCP client: it connects to the port that vpcd listens on
(connecting = card inserted, closing = card removed).  Every message in both
directions is a 2-byte big-endian length followed by the payload.

Messages from vpcd:
  1 byte   control: 0 power off, 1 power on, 2 reset, 4 "send your ATR".
           Only 4 gets an answer (the ATR); vpcd waits for nothing after
           0, 1 and 2, so answering them would shift every later answer by one.
           vpcd also sends 4 as its presence poll (about every 400 ms).
  longer   a command APDU; the answer is the whole response APDU, status
           word included.

Use it in-process:

    from vcard import VirtualCard
    with VirtualCard(35963, atr=bytes.fromhex("3B021450"),
                     responses={bytes.fromhex("00A40000023F00"): b"\\x90\\x00"}) as card:
        ...                     # the tool under test talks to the reader
    card.received               # every APDU the card got, in order

or from the shell:  python3 vcard.py --help
"""

import argparse
import os
import select
import signal
import socket
import struct
import sys
import threading
import time

CTRL_POWER_OFF = 0
CTRL_POWER_ON = 1
CTRL_RESET = 2
CTRL_GET_ATR = 4

_CTRL_NAMES = {CTRL_POWER_OFF: "power off", CTRL_POWER_ON: "power on",
               CTRL_RESET: "reset"}

DEFAULT_HOST = "127.0.0.1"
DEFAULT_ATR = "3B 02 14 50"
DEFAULT_RESPONSE = "6D 00"


def parse_hex(text):
    """'3b 02 14 50', '3B021450' or '3 B0 214 50' -> b'\\x3b\\x02\\x14\\x50'."""
    digits = "".join(text.split())
    if len(digits) % 2:
        raise ValueError(f"odd number of hex digits in {text!r}")
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise ValueError(f"not a hex byte string: {text!r}") from None


def format_hex(data):
    """b'\\x3b\\x02' -> '3B 02' (the format of the APDU log)."""
    return data.hex(" ").upper()


def parse_apdu_pair(text):
    """'00 A4 00 00 02 3F 00=90 00' -> (command bytes, response bytes)."""
    command, sep, response = text.partition("=")
    if not sep:
        raise ValueError(f"expected COMMAND=RESPONSE, got {text!r}")
    command = parse_hex(command)
    if not command:
        raise ValueError(f"empty command in {text!r}")
    return command, parse_hex(response)


class VirtualCard:
    """A card that answers APDUs from a fixed table.

    port          vpcd port of the reader slot (reader.conf CHANNELID).
    atr           ATR sent when vpcd asks for it.
    responses     {command APDU: response APDU}; exact byte match.
    default       response to any command not in the table.
    remove_after  N: when the Nth APDU of an insertion arrives, the card is
                  pulled: it records and logs that APDU, then closes the
                  connection without answering it, so the reader loses the
                  card in the middle of an exchange.  APDUs 1..N-1 are
                  answered normally.  The count restarts at every insert().
                  Seen through pcscd: the interrupted SCardTransmit returns
                  SCARD_S_SUCCESS with an empty response, the next call
                  fails with SCARD_E_NOT_TRANSACTED, and the reader reports
                  the card absent at its next presence poll.
    apdu_log      file path; truncated here, then one line per received APDU
                  (all insertions), upper-case hex bytes separated by single
                  spaces.  Each line is written and closed before the APDU is
                  answered, so it is on disk when the reader gets the answer.
    trace         optional callable(str) for progress lines (APDUs in and
                  out, power messages, insert/remove); called from the
                  serving thread.

    received      list of every command APDU received (bytes), across
                  insertions, in order.
    """

    def __init__(self, port, atr=parse_hex(DEFAULT_ATR), responses=None,
                 default=parse_hex(DEFAULT_RESPONSE), remove_after=None,
                 apdu_log=None, host=DEFAULT_HOST, trace=None):
        if remove_after is not None and remove_after < 1:
            raise ValueError("remove_after must be at least 1")
        self.host = host
        self.port = int(port)
        self.atr = bytes(atr)
        self.responses = {bytes(k): bytes(v) for k, v in (responses or {}).items()}
        self.default = bytes(default)
        self.remove_after = remove_after
        self.apdu_log = os.fspath(apdu_log) if apdu_log is not None else None
        self.received = []
        self._trace = trace
        self._lock = threading.Lock()
        self._sock = None
        self._thread = None
        self._removed = threading.Event()
        self._removed.set()
        # why the last insertion ended: "remove", "remove_after" or "reader"
        # (vpcd closed the connection, e.g. pcscd stopped)
        self.removal_reason = None
        if self.apdu_log is not None:
            open(self.apdu_log, "w").close()

    # -- public API --------------------------------------------------------

    @property
    def inserted(self):
        return not self._removed.is_set()

    def insert(self, timeout=10):
        """Connect to vpcd, retrying until `timeout` seconds have passed
        (vpcd refuses connections until pcscd has loaded the driver).
        Raises TimeoutError if nothing accepted the connection in time.

        Returning means connected, not yet seen: pcscd notices the card at
        its next presence poll (up to ~400 ms).  A second card connecting
        to a port that already has one is accepted by the kernel but left
        waiting by vpcd until the first card is gone."""
        if self.inserted:
            raise RuntimeError("card is already inserted")
        if self._thread is not None:
            # the last serving thread may still be finishing its exit trace
            self._thread.join()
        sock = self._connect(timeout)
        with self._lock:
            self._sock = sock
            self.removal_reason = None
            self._removed.clear()
            self._thread = threading.Thread(
                target=self._serve, args=(sock,), daemon=True,
                name=f"vcard-{self.port}")
            self._thread.start()
        self._say(f"inserted ({self.host}:{self.port})")

    def remove(self, timeout=5):
        """Pull the card: close the connection and wait for the serving
        thread.  Harmless when the card is not inserted."""
        with self._lock:
            sock, thread = self._sock, self._thread
            if sock is not None and self.removal_reason is None:
                self.removal_reason = "remove"
        if sock is not None:
            try:
                # wakes the serving thread, which closes the socket itself
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout)

    def wait_removed(self, timeout=None):
        """Wait until the card is out (remove_after fired, remove() was
        called, or vpcd dropped the connection).  True if it is out."""
        return self._removed.wait(timeout)

    def __enter__(self):
        if not self.inserted:
            self.insert()
        return self

    def __exit__(self, *exc):
        self.remove()
        return False

    # -- internals ---------------------------------------------------------

    def _say(self, line):
        if self._trace is not None:
            self._trace(line)

    def _connect(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                sock = socket.create_connection((self.host, self.port),
                                                timeout=max(left, 0.05))
                break
            except OSError as err:
                if time.monotonic() + 0.05 >= deadline:
                    raise TimeoutError(
                        f"no vpcd reader accepted a card on {self.host}:"
                        f"{self.port} within {timeout} s ({err})") from None
                time.sleep(0.05)
        sock.settimeout(None)
        # vpcd waits for our whole answer: send it at once, no Nagle delay.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    @staticmethod
    def _recv_exact(sock, count):
        buf = bytearray()
        while len(buf) < count:
            # vpcd writes the length and the payload separately and holds the
            # payload until the length is ACKed; a delayed ACK here would cost
            # ~40 ms per message.  The kernel drops quick-ACK mode on its own,
            # so re-arm it before every read.
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            chunk = sock.recv(count - len(buf))
            if not chunk:
                return None
            buf += chunk
        return bytes(buf)

    def _recv_msg(self, sock):
        header = self._recv_exact(sock, 2)
        if header is None:
            return None
        (length,) = struct.unpack(">H", header)
        if length == 0:
            return b""
        return self._recv_exact(sock, length)

    @staticmethod
    def _send_msg(sock, payload):
        sock.sendall(struct.pack(">H", len(payload)) + payload)

    def _log_apdu(self, apdu):
        if self.apdu_log is not None:
            with open(self.apdu_log, "a") as f:
                f.write(format_hex(apdu) + "\n")

    def _serve(self, sock):
        exchanges = 0
        reason = "reader"
        try:
            while True:
                msg = self._recv_msg(sock)
                if msg is None:
                    break
                if not msg:
                    continue
                if len(msg) == 1:
                    if msg[0] == CTRL_GET_ATR:
                        self._send_msg(sock, self.atr)
                    else:
                        # power off / on / reset: vpcd expects no answer
                        self._say(_CTRL_NAMES.get(msg[0], f"control {msg[0]}"))
                    continue
                exchanges += 1
                with self._lock:
                    self.received.append(msg)
                self._log_apdu(msg)
                self._say("> " + format_hex(msg))
                if self.remove_after is not None and exchanges >= self.remove_after:
                    reason = "remove_after"
                    break
                response = self.responses.get(msg, self.default)
                self._send_msg(sock, response)
                self._say("< " + format_hex(response))
        except OSError:
            pass
        finally:
            sock.close()
            with self._lock:
                if self._sock is sock:
                    self._sock = None
                if self.removal_reason is None:
                    self.removal_reason = reason
                reason = self.removal_reason
            self._removed.set()
            self._say(f"removed ({reason})")


# -- command line ------------------------------------------------------------

def _port(text):
    return int(text, 0)


def _hex_arg(text):
    try:
        return parse_hex(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err))


def _apdu_arg(text):
    try:
        return parse_apdu_pair(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err))


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _seconds(text):
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError("must be a number of seconds >= 0")
    return value


def build_parser():
    p = argparse.ArgumentParser(
        prog="vcard.py",
        description="Virtual card for the vpcd reader driver. Inserts itself "
                    "into the reader at PORT and answers APDUs from a table.",
        epilog="Without --hold the card stays until stdin ends or SIGTERM/"
               "SIGINT; stdin lines 'remove' and 'insert' pull and re-insert "
               "it, 'quit' exits.  Exit status: 0 normal end, 1 could not "
               "insert or (with --hold) vpcd dropped the card, 2 bad "
               "arguments.")
    p.add_argument("--port", type=_port, required=True,
                   help="vpcd port (reader.conf CHANNELID), decimal or 0x..")
    p.add_argument("--host", default=DEFAULT_HOST, help="default %(default)s")
    p.add_argument("--atr", type=_hex_arg, default=parse_hex(DEFAULT_ATR),
                   help=f"ATR in hex (default {DEFAULT_ATR})")
    p.add_argument("--apdu", type=_apdu_arg, action="append", default=[],
                   metavar="CMD=RESP",
                   help="answer command CMD with RESP (hex, status word "
                        "included); repeatable")
    p.add_argument("--default", type=_hex_arg,
                   default=parse_hex(DEFAULT_RESPONSE), metavar="RESP",
                   help=f"answer to commands not in the table "
                        f"(default {DEFAULT_RESPONSE})")
    p.add_argument("--remove-after", type=_positive_int, metavar="N",
                   help="pull the card when the Nth APDU of an insertion "
                        "arrives, without answering it")
    p.add_argument("--log", metavar="FILE",
                   help="write each received APDU as a hex line (file is "
                        "truncated at start)")
    p.add_argument("--hold", type=_seconds, metavar="SECONDS",
                   help="stay inserted this long, then remove and exit; stdin "
                        "is not read ('inf' = until a signal).  Exits early "
                        "if the card gets removed")
    p.add_argument("--insert-timeout", type=_seconds, default=10.0,
                   metavar="SECONDS",
                   help="how long to retry connecting to vpcd "
                        "(default %(default)s)")
    p.add_argument("--verbose", "-v", action="store_true",
                   help="print APDUs and card events on stdout")
    return p


class _Cli:
    def __init__(self, args):
        self.args = args
        self.stop = False
        responses = {}
        for command, response in args.apdu:
            if command in responses:
                raise ValueError(f"--apdu given twice for {format_hex(command)}")
            responses[command] = response
        self.card = VirtualCard(
            args.port, atr=args.atr, responses=responses, default=args.default,
            remove_after=args.remove_after, apdu_log=args.log, host=args.host,
            trace=self._verbose if args.verbose else None)

    def _verbose(self, line):
        print(line, flush=True)

    @staticmethod
    def _error(line):
        print(f"vcard: {line}", file=sys.stderr, flush=True)

    def _on_signal(self, signum, frame):
        # only set a flag: the main loop notices it (wakeup fd or polling)
        self.stop = True

    def insert(self):
        """Retry in short slices so a signal is not stuck behind the wait."""
        deadline = time.monotonic() + self.args.insert_timeout
        while not self.stop:
            try:
                self.card.insert(timeout=min(0.25, max(deadline - time.monotonic(), 0)))
                return True
            except TimeoutError:
                if time.monotonic() >= deadline:
                    self._error(f"no vpcd reader accepted the card on "
                                f"{self.args.host}:{self.args.port} within "
                                f"{self.args.insert_timeout:g} s")
                    return False
        return False

    def run(self):
        wake_r, wake_w = os.pipe()
        os.set_blocking(wake_w, False)
        signal.set_wakeup_fd(wake_w)
        signal.signal(signal.SIGTERM, self._on_signal)
        signal.signal(signal.SIGINT, self._on_signal)
        try:
            if not self.insert():
                return 0 if self.stop else 1
            if self.args.hold is not None:
                return self._hold()
            return self._stdin_loop(wake_r)
        finally:
            self.card.remove()
            signal.set_wakeup_fd(-1)
            os.close(wake_r)
            os.close(wake_w)

    def _hold(self):
        deadline = time.monotonic() + self.args.hold
        while not self.stop:
            left = deadline - time.monotonic()
            if left <= 0:
                return 0
            if self.card.wait_removed(min(left, 0.1)):
                if self.card.removal_reason == "reader":
                    self._error("vpcd closed the connection")
                    return 1
                return 0
        return 0

    def _stdin_loop(self, wake_r):
        try:
            stdin_fd = sys.stdin.fileno()
        except (AttributeError, ValueError, OSError):
            stdin_fd = None
        pending = b""
        was_inserted = True
        while not self.stop:
            fds = [wake_r] + ([stdin_fd] if stdin_fd is not None else [])
            try:
                ready, _, _ = select.select(fds, [], [], 0.2)
            except OSError:
                ready = []
            if wake_r in ready:
                os.read(wake_r, 512)
            if self.card.inserted != was_inserted:
                was_inserted = self.card.inserted
                if not was_inserted and self.card.removal_reason == "reader":
                    self._error("vpcd closed the connection")
            if stdin_fd is None or stdin_fd not in ready:
                continue
            try:
                chunk = os.read(stdin_fd, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                return 0
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                if self._command(line.decode(errors="replace").strip()):
                    return 0
                was_inserted = self.card.inserted
        return 0

    def _command(self, cmd):
        """Handle one stdin line; True means exit."""
        if cmd == "remove":
            self.card.remove()
        elif cmd == "insert":
            if self.card.inserted:
                self._error("insert: card is already inserted")
            else:
                self.insert()
        elif cmd in ("quit", "exit"):
            return True
        elif cmd:
            self._error(f"unknown command {cmd!r} (insert, remove, quit)")
        return False


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        cli = _Cli(args)
    except (ValueError, OSError) as err:
        parser.error(str(err))
    return cli.run()


if __name__ == "__main__":
    sys.exit(main())
