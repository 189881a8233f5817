"""Randomised runs on a small volume: in the middle of each run big server
files arrive on a volume with too little room left. The view freezes instead
of failing again and again; once space is freed and the freeze lifted (as the
package does), it catches up and the usual checks hold: no version lost, both
sides and the database agreeing. Its own module, for a real full disk.
sandbox-options: --volume-size 40m
"""

import os
import re

import harness
from harness import wait_until
from test_random import VIEW, RandomRunCase

FREEZE_FILE = "/tmp/tdwl_diskfull_freeze_2"
FILLER = "/volume1/filler"
LEFT_FREE = 1536 * 1024


def frozen_views():
    return {int(n) for n in re.findall(r"\d+", harness.read(FREEZE_FILE))}


def free_bytes(path="/volume1"):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


class RandomFullVolumeTest(RandomRunCase):
    families = ["full_volume"]
    module = "test_random_full_volume"
    # Its share of CI's two minutes: one seed.
    default_budget = 20
    # The server keeps its history off the volume, as it would on another disk.
    server_home = "/tmp/@refsyncd"

    def fill_volume(self):
        with open(FILLER, "wb") as f:
            try:
                f.write(b"\0" * max(0, free_bytes() - LEFT_FREE))
            except OSError:
                pass

    def wait_frozen(self):
        self.froze = bool(wait_until(lambda: VIEW in frozen_views(), 90))

    def free_volume(self):
        if os.path.exists(FILLER):
            os.unlink(FILLER)
        # The package lifts the freeze once the disk has room again.
        harness.write(FREEZE_FILE, "")

    def run_seed(self, family, seed):
        self.froze = None
        result = super().run_seed(family, seed)
        if self.froze is False:
            result[2].append("the view never froze while the volume was full")
        return result

    def test_full_volume_freezes_then_catches_up_without_loss(self):
        self.run_plan()


if __name__ == "__main__":
    import unittest
    unittest.main()
