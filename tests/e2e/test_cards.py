"""Cards through the vpcd reader: the road of one card and what can go wrong
on it, against a real pcscd."""

import os
import re
import socket
import time
import unittest

from harness import (BANNER, CONNECTED, FAILED, INSERT_CARD, PASS, READER, RULE, START_TIME,
                     STOPPED, E2ETestCase, hexbytes, log_text, masked)

ATR = hexbytes("3B 02 14 50")
SELECT_MF_SIM = hexbytes("A0 A4 00 00 02 3F 00")

EXCHANGES = [
    ("00 A4 04 00 07 A0 00 00 00 03 10 10", "6F 10 84 07 A0 00 00 00 03 10 10 90 00"),
    ("00B2010C00", "70 0A 57 08 47 61 73 90 00 00 00 10 90 00"),
    ("80 CA 9F 17 00", "9F 17 01 03 90 00"),
]


def script(xfr_count=None, exchanges=(), atr="3B 02 14 50", protocol="T0", settings="XFREn=1"):
    lines = ["; production-line card test", "[Card Protocol]", protocol, "[ATR]", atr]
    if xfr_count is not None:
        lines += ["[XFR]", str(xfr_count)]
        for command, answer in exchanges:
            lines += [command, answer]
    lines += ["", "[TavixEMV]", "LogFile=1", settings]
    return "\r\n".join(lines) + "\r\n"


def card_table(exchanges):
    return {hexbytes(c): hexbytes(a) for c, a in exchanges}


XFR_BANNER = "\r\nCard ATR matched, do XFR Test:\r\n" + RULE + READER + " \r\n"
HEAD = BANNER + START_TIME + CONNECTED + INSERT_CARD


class CardTest(E2ETestCase):

    def run_one_card(self, ini, card_kwargs, verdict):
        """Starts daemon and tool, inserts one card, waits for its verdict
        and the removal prompt, stops; returns the tool."""
        self.write_config(ini)
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        card = self.card(**card_kwargs)
        card.insert()
        tool.wait_for(verdict)
        card.remove()
        tool.wait_for(INSERT_CARD, count=2)
        self.assertEqual(tool.stop(), 0)
        self.card_seen = card
        return tool

    def test_road_of_one_card(self):
        log = os.path.join(self.folder, "card-apdus.log")
        tool = self.run_one_card(script(3, EXCHANGES), dict(atr=ATR, responses=card_table(EXCHANGES),
                                                            apdu_log=log), PASS)
        body = "Test Protocol : T0\r\n3B 02 14 50" + XFR_BANNER + "ActiveProtocol : T0\r\n"
        for command, answer in EXCHANGES:
            body += f"Cmd : {command}\r\nResponse : {answer}\r\n"
        body += RULE + PASS
        self.assertEqual(masked(tool.output), HEAD + body + INSERT_CARD + STOPPED)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + body)
        with open(log) as f:
            self.assertEqual(f.read().splitlines(),
                             [hexbytes(c).hex(" ").upper() for c, _ in EXCHANGES])

    def test_atr_not_matched_runs_the_basic_check(self):
        tool = self.run_one_card(script(atr="3B 00"),
                                 dict(atr=ATR, responses={SELECT_MF_SIM: hexbytes("9F 1A")},
                                      default=hexbytes("6D 00")), PASS)
        body = ("3B 02 14 50\r\nCard ATR not matched, We only do some simple test:\r\n" + RULE +
                READER + "\r\nATR : 3B 02 14 50 \r\nActiveProtocol : T0\r\n"
                "Cmd : A0 A4 00 00 02 3F 00\r\nResponse: 9F 1A\r\n" + RULE + PASS)
        self.assertEqual(masked(tool.output),
                         HEAD + "Test Protocol : T0\r\n" + body + INSERT_CARD + STOPPED)
        self.assertEqual(self.card_seen.received, [SELECT_MF_SIM])

    def test_atr_matched_with_transfers_off(self):
        tool = self.run_one_card(script(3, EXCHANGES, settings="XFREn=0"), dict(atr=ATR), PASS)
        body = ("Test Protocol : T0\r\n3B 02 14 50\r\nCard ATR matched\r\n" + READER + " \r\n" +
                RULE + PASS)
        self.assertEqual(masked(tool.output), HEAD + body + INSERT_CARD + STOPPED)
        self.assertEqual(self.card_seen.received, [])

    def test_response_mismatch_fails_and_the_next_card_passes(self):
        wrong = dict(EXCHANGES)
        wrong[EXCHANGES[1][0]] = "6A 82"
        self.write_config(script(3, EXCHANGES, settings="XFREn=1"))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)

        bad = self.card(atr=ATR, responses=card_table(wrong.items()))
        bad.insert()
        tool.wait_for(FAILED)
        bad.remove()
        tool.wait_for(INSERT_CARD, count=2)
        self.assertEqual(bad.received, [hexbytes(EXCHANGES[0][0]), hexbytes(EXCHANGES[1][0])],
                         "nothing may reach the card after the failing exchange")

        good = self.card(atr=ATR, responses=card_table(EXCHANGES))
        good.insert()
        tool.wait_for(PASS)
        good.remove()
        tool.wait_for(INSERT_CARD, count=3)
        self.assertEqual(tool.stop(), 0)

        failing = ("Cmd : 00B2010C00\r\nError! Card response compare error!\r\n"
                   "Expect : 70 0A 57 08 47 61 73 90 00 00 00 10 90 00\r\nActual : 6A 82 \r\n\r\n")
        self.assertIn(failing + RULE + FAILED + INSERT_CARD, tool.output)
        self.assertIn(failing, log_text(tool.log_bytes()))

    def test_card_left_in_gets_one_verdict(self):
        self.write_config(script(0))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        card = self.card(atr=ATR)
        card.insert()
        tool.wait_for(PASS)
        time.sleep(3)
        self.assertEqual(tool.output.count(PASS), 1)
        self.assertEqual(tool.output.count(INSERT_CARD), 1)
        card.remove()
        tool.wait_for(INSERT_CARD, count=2)
        time.sleep(0.5)
        self.assertEqual(tool.output.count(INSERT_CARD), 2, "the prompt comes once")
        card.insert()
        tool.wait_for(PASS, count=2)
        self.assertEqual(tool.stop(), 0)

    def test_card_pulled_mid_transfer(self):
        many = [("00 B0 00 00 02", "12 34 90 00")] * 50
        self.write_config(script(50, many))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        pulled = self.card(atr=ATR, responses=card_table(many), remove_after=20)
        pulled.insert()
        tool.wait_for(FAILED, timeout=20)
        tool.wait_for(INSERT_CARD, count=2)
        good = self.card(atr=ATR, responses=card_table(many))
        good.insert()
        tool.wait_for(PASS, timeout=20)
        self.assertEqual(tool.stop(), 0)
        self.assertEqual(tool.output.count("Cmd : "), 70)
        self.assertEqual(log_text(tool.log_bytes()).count("Cmd : "), 70)

    def test_configuration_deleted_after_start(self):
        self.write_config(script())
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        os.remove(os.path.join(self.folder, "CmdTavixEMV.ini"))
        card = self.card(atr=ATR)
        card.insert()
        tool.wait_for(FAILED)
        card.remove()
        tool.wait_for(INSERT_CARD, count=2)
        self.assertIsNone(tool.process.poll(), "the tool keeps running")
        self.assertEqual(tool.stop(), 0)
        self.assertEqual(masked(tool.output), HEAD + FAILED + INSERT_CARD + STOPPED)
        # Logging was set from the file at start and stays on.
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED + FAILED)


class ResultFileTest(E2ETestCase):
    def test_three_cards_give_three_rows(self):
        self.write_config(script(3, EXCHANGES, settings="XFREn=1\r\nResultFile=results.csv"))
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        wrong = dict(EXCHANGES)
        wrong[EXCHANGES[2][0]] = "6A 82"
        cards = [(card_table(EXCHANGES), PASS, 1), (card_table(wrong.items()), FAILED, 1), (None, FAILED, 2)]
        for number, (table, verdict, count) in enumerate(cards, start=1):
            if table is None:  # the script is gone: the card cannot be tested
                os.remove(os.path.join(self.folder, "CmdTavixEMV.ini"))
            card = self.card(atr=ATR, responses=table or {})
            card.insert()
            tool.wait_for(verdict, count=count)
            card.remove()
            tool.wait_for(INSERT_CARD, count=number + 1)
        self.assertEqual(tool.stop(), 0)

        with open(os.path.join(self.folder, "results.csv"), "rb") as f:
            rows = f.read().decode("utf-8").split("\r\n")
        self.assertEqual(rows[0], "time,host,reader,hardware_id,serial_number,atr,verdict,"
                                  "result_code,cause,exchanges,duration_ms")
        self.assertEqual(rows[4:], [""], "three rows, each ended by CRLF")
        time_re = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d")
        prefix = f",{socket.gethostname()},{READER},,,"
        expected = [
            "3B 02 14 50,PASS,0x0000,passed,3,",
            "3B 02 14 50,FAILED,0xE00C,card answer differs from the test script,3,",
            ",FAILED,0xE006,test script could not be opened or read,0,",
        ]
        for row, rest in zip(rows[1:4], expected):
            stamp, _, tail = row.partition(",")
            self.assertRegex(stamp, time_re)
            self.assertTrue(("," + tail).startswith(prefix + rest), row)
            self.assertRegex(tail.rsplit(",", 1)[1], r"^\d+$", "duration in ms")


if __name__ == "__main__":
    unittest.main()
