#!/usr/bin/env python3
"""CmdTavixEMV.exe under Wine, from start to its first stop.

Wine's WinSCard is a stub: establishing a context fails, so with a
configuration the tool goes through settings, banner and start time to
"Can't Establish Scard Context! ". Without one it stops at once. Standard
output is compared byte for byte (Wine's own messages go to stderr).

SameAsLinux runs the Linux build the same way (its card service pointed at a
socket that does not exist): it must print and log the same bytes, the start
time aside.

Usage: exe_start_test.py --wine-run WINE_RUN.sh --exe CmdTavixEMV.exe
                         [--linux-exe CmdTavixEMV] [WindowsStart | SameAsLinux]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ARGS = None

NO_CONFIG = b"Can't open CmdTavixEMV.ini \r\nTavix MP Tool Stoped! \r\n"

MONTHS = ("January|February|March|April|May|June|July|August|September|October"
          "|November|December")
START_TIME = rb"==================\r\nStart time: (?P<time>\d\d:\d\d:\d\d (?:%s) \d\d \d{4})\r\n" % (
    MONTHS.encode())
NO_CONTEXT = re.compile(
    rb"Tavix USB Smart Card Reader MP Tool \r\n" + START_TIME + rb"Can't Establish Scard Context! \r\n\Z")

# Settings after a test script, CRLF line ends, as operators keep the file.
CONFIG = (b"[Card Protocol]\r\nT0\r\n[ATR]\r\n3B 02 14 50\r\n\r\n"
          b"[TavixEMV]\r\nXFREn=1\r\nLogFile=1\r\nLogFileName=CmdTavixEMV.log\r\n")


def run_windows(folder):
    return subprocess.run([ARGS.wine_run, ARGS.exe], cwd=folder, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)


def run_linux(folder):
    env = dict(os.environ, PCSCLITE_CSOCK_NAME=str(Path(folder) / "no-pcscd" / "pcscd.comm"))
    return subprocess.run([ARGS.linux_exe], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)


def start_time_log(time_text):
    return ("==================\r\nStart time: %s\r\n" % time_text).encode("utf-16-le")


class WindowsStart(unittest.TestCase):
    def test_without_configuration_it_says_so_and_stops(self):
        with tempfile.TemporaryDirectory() as folder:
            result = run_windows(folder)
            self.assertEqual(result.stdout, NO_CONFIG, result.stderr.decode(errors="replace"))
            self.assertEqual(result.returncode, 0)
            self.assertEqual(os.listdir(folder), [], "nothing is written without a configuration")

    def test_with_configuration_it_starts_a_new_log_and_stops_without_card_service(self):
        with tempfile.TemporaryDirectory() as folder:
            Path(folder, "CmdTavixEMV.ini").write_bytes(CONFIG)
            # A log from an earlier run is replaced, not appended to.
            Path(folder, "CmdTavixEMV.log").write_bytes("old run\r\n".encode("utf-16-le") * 50)
            result = run_windows(folder)
            match = NO_CONTEXT.match(result.stdout)
            self.assertIsNotNone(match, "stdout: %r\nstderr: %s" % (
                result.stdout, result.stderr.decode(errors="replace")))
            self.assertEqual(result.returncode, 0)
            log = Path(folder, "CmdTavixEMV.log").read_bytes()
            self.assertEqual(log, start_time_log(match["time"].decode()))
            self.assertEqual(log[:4], b"=\0=\0", "UTF-16LE without a byte-order mark")


class SameAsLinux(unittest.TestCase):
    def test_console_and_log_bytes_match_the_linux_build(self):
        if not ARGS.linux_exe or not os.access(ARGS.linux_exe, os.X_OK):
            self.fail("no Linux build at %s (build the release preset first)" % ARGS.linux_exe)
        outputs = []
        for run in (run_windows, run_linux):
            with tempfile.TemporaryDirectory() as folder:
                Path(folder, "CmdTavixEMV.ini").write_bytes(CONFIG)
                result = run(folder)
                self.assertEqual(result.returncode, 0, run.__name__)
                match = NO_CONTEXT.match(result.stdout)
                self.assertIsNotNone(match, "%s: %r" % (run.__name__, result.stdout))
                time_text = match["time"]
                log = Path(folder, "CmdTavixEMV.log").read_bytes()
                outputs.append((result.stdout.replace(time_text, b"<time>"),
                                log.replace(time_text.decode().encode("utf-16-le"),
                                            "<time>".encode("utf-16-le"))))
        self.assertEqual(outputs[0], outputs[1])


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--linux-exe")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
