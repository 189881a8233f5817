"""The README's first command, run once inside the test sandbox: the demo
script's steps must all see what they expect, so the demo cannot rot."""

import os
import subprocess
import tempfile
import unittest

import harness
from harness import read

DEMO = os.path.join(harness.SRC, "scripts", "demo-inside.sh")


def run_reaping(command):
    """Runs `command` and returns (exit status, output). The demo stops and
    restarts the daemon, which must vanish as it does on a machine where
    init collects it: the harness made this process the collector of
    orphans, so it reaps every child that ends while the demo runs."""
    with tempfile.TemporaryFile("w+") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   text=True)
        while True:
            pid, status = os.waitpid(-1, 0)
            if pid == process.pid:
                process.returncode = os.waitstatus_to_exitcode(status)
                break
        out.seek(0)
        return process.returncode, out.read()


class DemoTest(unittest.TestCase):
    def test_demo_runs_through(self):
        if not harness.in_sandbox():
            self.skipTest("needs the sandbox (scripts/sandbox.sh)")
        try:
            status, output = run_reaping(["bash", DEMO])
            print(output)
            self.assertEqual(0, status, "demo failed")
            self.assertIn("stopped in order", output)
        except AssertionError:
            print("\n---- client log ----\n" + read(harness.LOG_FILE)[-20000:])
            print("---- server log ----\n" + read("/tmp/refsyncd.log")[-20000:])
            raise
        finally:
            # A failed step leaves the daemons running: end them here.
            for pid_file in (harness.PID_FILE, "/tmp/refsyncd.pid"):
                try:
                    pid = int(read(pid_file).strip() or 0)
                    if pid and harness.pid_alive(pid):
                        os.kill(pid, 9)
                except (ValueError, ProcessLookupError):
                    pass


if __name__ == "__main__":
    unittest.main()
