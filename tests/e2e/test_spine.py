"""Start-up, reader presence and the stop, against a real pcscd."""

import os
import time
import unittest

from harness import (BANNER, CONNECTED, INSERT_CARD, INSERT_READER, NO_CONTEXT, START_TIME,
                     STOPPED, E2ETestCase, log_text, masked)

LOG_ON = "[TavixEMV]\r\nLogFile=1\r\n"


class SpineTest(E2ETestCase):

    def test_no_configuration_file(self):
        tool = self.start_tool()
        self.assertEqual(tool.wait_exit(), 0)
        self.assertEqual(tool.output, "Can't open CmdTavixEMV.ini \r\n" + STOPPED)
        self.assertEqual(os.listdir(self.folder), [], "no log may be written")

    def test_no_card_service(self):
        self.write_config(LOG_ON)
        tool = self.start_tool()
        self.assertEqual(tool.wait_exit(), 0)
        self.assertEqual(masked(tool.output), BANNER + START_TIME + NO_CONTEXT)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME)

    def test_no_reader_prompts_once(self):
        self.write_config(LOG_ON)
        self.start_daemon(with_reader=False)
        tool = self.start_tool()
        tool.wait_for(INSERT_READER)
        # Watch several more iterations (100 ms each): nothing more may be printed.
        time.sleep(0.6)
        self.assertEqual(tool.stop(), 0)
        self.assertEqual(masked(tool.output), BANNER + START_TIME + INSERT_READER + STOPPED)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME)

    def test_reader_without_card(self):
        self.write_config(LOG_ON)
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        self.assertEqual(tool.stop(), 0)
        self.assertEqual(masked(tool.output),
                         BANNER + START_TIME + CONNECTED + INSERT_CARD + STOPPED)
        self.assertEqual(log_text(tool.log_bytes()), START_TIME + CONNECTED)

    def test_end_of_input_is_not_escape(self):
        self.write_config("")
        self.start_daemon()
        tool = self.start_tool()
        tool.wait_for(INSERT_CARD)
        tool.process.stdin.close()
        time.sleep(0.5)
        self.assertIsNone(tool.process.poll(), "closing stdin must not stop the tool")
        tool.process.terminate()
        tool.wait_exit()


if __name__ == "__main__":
    unittest.main()
