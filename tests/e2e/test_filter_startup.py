"""Start-up loads the black-list filter: a malformed, missing or too old
filter file stops the daemon before it serves anything."""

import os
import unittest

import harness
from harness import FILTER_FILE, LOG_FILE, PID_FILE, read, write, wait_until

FOREGROUND = "is_daemon=false\n"
FAILED = "Failed to load black list"
MALFORMED = '[Common]\nblack_name = "Thumbs.db" "desktop.ini"\n'


class FilterStartupTest(harness.DaemonTestCase):
    def test_malformed_filter_stops_foreground_start(self):
        write(FILTER_FILE, MALFORMED)
        daemon = self.launch(FOREGROUND)
        self.assertEqual(255, daemon.wait_launcher())
        err = daemon.stderr()
        # In the foreground the log is standard error too.
        self.assertIn("parser: VALUE_SET_MISSING_SEPARATER at line 2\n", err)
        self.assertRegex(err, r"\[ERROR\] client\(\d+\): " + FAILED + "\n")
        self.assertLess(err.find("parser: "), err.find(FAILED))
        self.assertNotIn(harness.STARTED, err)

    def test_malformed_filter_stops_detached_start(self):
        write(FILTER_FILE, MALFORMED)
        daemon = self.launch("")
        self.assertEqual(0, daemon.wait_launcher())  # the detached child fails
        self.assertTrue(wait_until(lambda: FAILED in read(LOG_FILE)), read(LOG_FILE))
        pid = int(read(PID_FILE).strip())
        statuses = []
        wait_until(lambda: statuses.append(harness.reap(pid)) or statuses[-1] is not None)
        self.assertEqual(255, statuses[-1])
        self.assertNotIn(harness.STARTED, read(LOG_FILE))

    def test_missing_and_outdated_filter_files(self):
        cases = [
            ("missing", None, False),
            ("unknown key, version 1.0", "[Version]\nmajor = 1\nminor = 0\n[Common]\nnew_key = 1\n", False),
            ("unknown key, version 1.1", "[Version]\nmajor = 1\nminor = 1\n[Common]\nnew_key = 1\n", True),
        ]
        for name, text, starts in cases:
            with self.subTest(name):
                if text is None:
                    os.unlink(FILTER_FILE)
                else:
                    write(FILTER_FILE, text)
                daemon = self.launch(FOREGROUND, name=name.replace(" ", "_").replace(",", ""))
                if starts:
                    self.assertTrue(daemon.wait_started(False), daemon.stderr())
                    self.assertEqual(0, daemon.stop())
                else:
                    self.assertEqual(255, daemon.wait_launcher())
                    self.assertIn(FAILED, daemon.stderr())
                    self.assertNotIn("parser: ", daemon.stderr())

    def test_filter_path_comes_from_the_configuration(self):
        other = write("/tmp/other-filter", MALFORMED)
        daemon = self.launch(FOREGROUND + "filter_path=%s\n" % other)
        self.assertEqual(255, daemon.wait_launcher())
        self.assertIn(FAILED, daemon.stderr())
        # The shipped default file is fine.
        daemon = self.start(FOREGROUND, detached=False)
        self.assertEqual(0, daemon.stop())


if __name__ == "__main__":
    unittest.main()
