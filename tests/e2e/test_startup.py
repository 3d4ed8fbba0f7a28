"""Start-up as a user sees it: the vendor's program started by Renewix.exe, with its parameters."""

import shutil
import subprocess
import unittest

from renewix_e2e import BIN, WINE_RUN, UpdateTestCase, wait_for, windows_path


class LaunchTest(UpdateTestCase):
    """The client standing in for the vendor's program starts it before its check. A launch after
    the check is in test_wizard (the default mode without an update); the unit tests fake the launch."""

    def tearDown(self):
        subprocess.run([str(WINE_RUN), "taskkill", "/F", "/IM", "Viewer.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        super().tearDown()

    def test_launch_before_the_check_with_the_parameters(self):
        shutil.copy(BIN / "window_app.exe", self.app / "Viewer.exe")
        record = self.root / "launched.txt"
        self.configure_client(Options={"LaunchAfterCheck": "0"})
        self.run_client("record", windows_path(record))
        command = wait_for(lambda: record.exists() and record.read_text(), "the program's start")
        self.assertTrue(command.rstrip().endswith("record " + windows_path(record)), command)


if __name__ == "__main__":
    unittest.main(verbosity=2)
