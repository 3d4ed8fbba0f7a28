"""Start-up as a user sees it: the vendor's program started by Renewix.exe, with its parameters."""

import shutil
import subprocess
import unittest

from renewix_e2e import BIN, WINE_RUN, ClientTestCase, client_settings, configure, read_log, wait_for, windows_path


class LaunchTest(ClientTestCase):
    """The client standing in for the vendor's program starts it, before or after its check."""

    def setUp(self):
        super().setUp()
        shutil.copy(BIN / "window_app.exe", self.folder / "Viewer.exe")
        self.record = self.folder / "launched.txt"

    def tearDown(self):
        subprocess.run([str(WINE_RUN), "taskkill", "/F", "/IM", "Viewer.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        super().tearDown()

    def test_launch_before_and_after_the_check_with_the_parameters(self):
        for launch_after in ("0", "1"):
            with self.subTest(launch_after=launch_after):
                self.record.unlink(missing_ok=True)
                configure(self.client, client_settings(Options={"LaunchAfterCheck": launch_after}))
                self.assertEqual(self.run_client("record", windows_path(self.record), capture=False).returncode, 0)
                command = wait_for(lambda: self.record.exists() and self.record.read_text(), "the program's start",
                                   limit=10)
                self.assertTrue(command.rstrip().endswith("record " + windows_path(self.record)), command)
                log = read_log(self.folder / "RenewixLog.txt")
                self.assertEqual("Automatic launch of the main application" in log, launch_after == "0")
                self.assertNotIn("Unable to launch", log)
                subprocess.run([str(WINE_RUN), "taskkill", "/F", "/IM", "Viewer.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    unittest.main(verbosity=2)
