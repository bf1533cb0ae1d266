"""The road of a card under valgrind's memcheck: the built tool (without
sanitizers) against a real pcscd, with no memory error and no leak."""

import os
import re
import subprocess
import threading
import unittest

import harness
from ports import free_port_pair
from harness import (BANNER, CONNECTED, FAILED, INSERT_CARD, PASS, READER, RULE, START_TIME,
                     STOPPED, E2ETestCase, Tool, hexbytes, log_text, masked)

ATR = hexbytes("3B 02 14 50")
EXCHANGES = [
    ("00 A4 04 00 07 A0 00 00 00 03 10 10", "6F 10 84 07 A0 00 00 00 03 10 10 90 00"),
    ("00B2010C00", "70 0A 57 08 47 61 73 90 00 00 00 10 90 00"),
]
SCRIPT = ("; card test\r\n[Card Protocol]\r\nT0\r\n[ATR]\r\n3B 02 14 50\r\n[XFR]\r\n2\r\n" +
          "".join(f"{c}\r\n{a}\r\n" for c, a in EXCHANGES) +
          "\r\n[TavixEMV]\r\nXFREn=1\r\nLogFile=1\r\n")

MEMCHECK = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect,possible", "--track-origins=yes"]


class MemcheckTool(Tool):
    """The tool run by valgrind, stdin and stdout on pipes."""

    def __init__(self, folder, report):  # pylint: disable=super-init-not-called
        self.folder = folder
        self._out = bytearray()
        self._lock = threading.Lock()
        self.process = subprocess.Popen(MEMCHECK + [f"--log-file={report}", harness.TOOL],
                                        cwd=folder, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._reader = threading.Thread(target=self._pump, daemon=True)
        self._reader.start()


class MemcheckTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        self.port = free_port_pair()

    def test_road_of_a_card_has_no_memory_error_and_no_leak(self):
        self.write_config(SCRIPT)
        self.start_daemon()
        report = os.path.join(self.folder, "memcheck.txt")
        tool = MemcheckTool(self.folder, report)
        self._stops.append(tool.kill)
        tool.wait_for(INSERT_CARD, timeout=60)

        # One card passes; one answers the second command wrongly and fails.
        good = self.card(atr=ATR, responses={hexbytes(c): hexbytes(a) for c, a in EXCHANGES})
        good.insert()
        tool.wait_for(PASS, timeout=60)
        good.remove()
        tool.wait_for(INSERT_CARD, count=2, timeout=60)
        bad = self.card(atr=ATR, responses={hexbytes(EXCHANGES[0][0]): hexbytes(EXCHANGES[0][1])},
                        default=hexbytes("6A 82"))
        bad.insert()
        tool.wait_for(FAILED, timeout=60)
        bad.remove()
        tool.wait_for(INSERT_CARD, count=3, timeout=60)
        status = tool.stop(timeout=60)

        with open(report) as f:
            text = f.read()
        self.assertEqual(status, 0, f"memcheck found errors:\n{text}")
        self.assertRegex(text, r"ERROR SUMMARY: 0 errors from 0 contexts")
        for kind in ("definitely lost", "indirectly lost", "possibly lost"):
            found = re.search(rf"{kind}: ([\d,]+) bytes", text)
            if found:  # no such line at all when every block was freed
                self.assertEqual(found.group(1), "0", f"{kind}:\n{text}")

        head = "Test Protocol : T0\r\n3B 02 14 50\r\nCard ATR matched, do XFR Test:\r\n" + RULE + \
            READER + " \r\nActiveProtocol : T0\r\n" + f"Cmd : {EXCHANGES[0][0]}\r\nResponse : {EXCHANGES[0][1]}\r\n"
        passed = head + f"Cmd : {EXCHANGES[1][0]}\r\nResponse : {EXCHANGES[1][1]}\r\n" + RULE + PASS
        failed = (head + f"Cmd : {EXCHANGES[1][0]}\r\nError! Card response compare error!\r\n"
                  f"Expect : {EXCHANGES[1][1]}\r\nActual : 6A 82 \r\n\r\n" + RULE + FAILED)
        self.assertEqual(masked(tool.output), BANNER + START_TIME + CONNECTED + INSERT_CARD + passed +
                         INSERT_CARD + failed + INSERT_CARD + STOPPED)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + passed + failed)


if __name__ == "__main__":
    unittest.main()
