"""Start-up as a user sees it: the vendor's program started by Renewix.exe, with its parameters."""

import shutil
import subprocess
import unittest

from renewix_e2e import (BIN, WINE_RUN, ClientTestCase, client_settings, configure, run_logged_client, wait_for,
                         windows_path)


class LaunchTest(ClientTestCase):
    """The client standing in for the vendor's program starts it before its check. A launch after
    the check is in test_wizard (the default mode without an update); the unit tests fake the launch."""

    def setUp(self):
        super().setUp()
        shutil.copy(BIN / "window_app.exe", self.folder / "Viewer.exe")

    def tearDown(self):
        subprocess.run([str(WINE_RUN), "taskkill", "/F", "/IM", "Viewer.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        super().tearDown()

    def test_launch_before_the_check_with_the_parameters(self):
        record = self.folder / "launched.txt"
        configure(self.client, client_settings(Options={"LaunchAfterCheck": "0"}))
        run_logged_client(self.client, self.folder / "RenewixLog.txt", "record", windows_path(record))
        command = wait_for(lambda: record.exists() and record.read_text(), "the program's start")
        self.assertTrue(command.rstrip().endswith("record " + windows_path(record)), command)


if __name__ == "__main__":
    unittest.main(verbosity=2)
