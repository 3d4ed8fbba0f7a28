"""A whole silent update from a file share, as a user's machine sees it."""

import shutil
import subprocess
import unittest
import zipfile

from renewix_e2e import (BIN, NEXT, WINE_RUN, configure, delete_registry, file_entry, file_held, log_so_far, read_log,
                         registry_value, run_tool, start_client, update_document, UpdateTestCase, wait_exit,
                         wait_for, windows_path, Wizard)

BASE_CODE = "1A2B3C4D"
REGISTRY_KEY = "HKCU\\Software\\RenewixTest\\Update"
FILES = ("data.txt", file_entry("probe.dll", Register="True"), file_entry("help.zip", Action="unzip"),
         f'<Directory Name="plugins">{file_entry("extra.txt")}</Directory>')


class SilentUpdateTest(UpdateTestCase):
    def setUp(self):
        super().setUp()
        self.server = self.root / "server"
        shutil.copy(BIN / "test_tool.exe", self.app / "test_tool.exe")
        self.marker = self.app / "point4.txt"
        self.configure_client(
            PrimaryServer={"DocumentProtocol": "file:", "DocumentAddress": windows_path(self.server / "update.xml")},
            Application={"ApplicationName": "Example Viewer", "CheckNowKeyword": "CheckNow",
                         "BaseSecureCode": BASE_CODE})
        # The release: what the vendor publishes.
        files = self.release / "files"
        (files / "extra.txt").write_text("a new plug-in file")
        shutil.copy(BIN / "host_probe.dll", files / "probe.dll")
        with zipfile.ZipFile(files / "help.zip", "w") as archive:
            archive.writestr("help/", "")
            archive.writestr("help/index.txt", "help for version 2")
        delete_registry()

    def tearDown(self):
        delete_registry()
        super().tearDown()

    def publish(self, files=FILES, update_type="Silent", marker="point4"):
        """Publishes version 2.0 of `files`, with its registry value and, unless `marker` is None,
        the test tool writing `marker` into point4.txt once installed."""
        execute = (f'<ShellExec><Execute File="&lt;ApplicationDir&gt;test_tool.exe '
                   f'\'write-marker {windows_path(self.marker)} {marker}\'" Point="4" WaitForProcess="True"/>'
                   '</ShellExec>') if marker else ""
        document = update_document(files=files, update_type=update_type, restart="No restart", extra=execute,
                                   registry=("HKEY_CURRENT_USER\\Software\\RenewixTest\\Update", "Version",
                                             "Add REG_SZ 2.0"))
        self.publish_to(document, self.server / "update.xml", base_code=BASE_CODE)

    def assert_installed_version(self, version):
        self.assertEqual(self.recorded_version(), version)

    def test_background_silent_update_installs_everything(self):
        self.publish()
        log = self.run_client()
        self.assertIn("\tCurrent version:\t1.0\r\n\tRemote version :\t2.0\r\n", log)
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data")
        self.assertEqual((self.app / "plugins" / "extra.txt").read_text(), "a new plug-in file")
        self.assertEqual((self.app / "help" / "index.txt").read_text(), "help for version 2")
        self.assertFalse((self.app / "help.zip").exists())
        self.assertFalse((self.app / "RenewixFiles").exists())
        self.assertEqual(self.marker.read_text(), "point4")
        self.assertIn("2.0", registry_value(REGISTRY_KEY, "Version") or "")
        self.assertTrue((self.app / "probe.dll.host").exists())
        self.assert_installed_version("2.0")

        # The next run finds nothing newer.
        log = self.run_client()
        self.assertIn("\tCurrent version:\t2.0\r\n", log)
        self.assertIn("\tA software update is not available\r\n", log)
        self.assert_installed_version("2.0")

    def test_a_file_that_cannot_be_placed_leaves_the_program_whole(self):
        for name in ("a.txt", "b.txt", "c.txt"):
            (self.app / name).write_text(f"old {name}")
            (self.release / "files" / name).write_text(f"new {name}")
        self.publish(files=("a.txt", "b.txt", "c.txt"))
        with file_held(self.app / "c.txt"):
            log = self.run_client()
        for name in ("a.txt", "b.txt", "c.txt"):
            self.assertEqual((self.app / name).read_text(), f"old {name}")
        self.assertIn("\tRestored:\t" + windows_path(self.app) + "\\a.txt\r\n", log)
        self.assertIn("\tRestored:\t" + windows_path(self.app) + "\\b.txt\r\n", log)
        self.assertIsNone(registry_value(REGISTRY_KEY, "Version"))
        self.assertFalse(self.marker.exists())
        self.assertNotEqual(self.recorded_version(), "2.0")

        # Once the file is free, the next run installs the downloads it kept, without fetching them again.
        log = self.run_client()
        self.assertEqual(log.count("\tFile already downloaded\r\n"), 3, log)
        for name in ("a.txt", "b.txt", "c.txt"):
            self.assertEqual((self.app / name).read_text(), f"new {name}")
        self.assert_installed_version("2.0")

    def test_a_second_client_leaves_the_running_update_alone(self):
        gate = self.root / "gate"
        self.publish(marker=f"point4 0 {windows_path(gate)}")
        first = start_client(self.app / "Renewix.exe", "0")
        try:
            # The first client has installed and waits for its last program.
            wait_for(lambda: self.marker.exists() or first.poll() is not None, "the first run's end", limit=120)
            self.assertTrue(self.marker.exists())
            # A second client, standing in for the program (default mode), finds the first running.
            second = run_tool(self.app / "Renewix.exe", timeout=120, capture=False)
            self.assertEqual(second.returncode, 0)
        finally:
            gate.write_text("go")
            self.assertEqual(first.wait(timeout=120), 0)
        log = read_log(self.app / "RenewixLog.txt")
        self.assertTrue(log.startswith("Logging started\r\n"), log[:200])
        self.assertTrue(log.endswith("\tEnd of recording\r\n"), log[-300:])
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertNotIn("Instance already exists", log)
        self.assertEqual(log.count("Logging started"), 1)
        self.assert_installed_version("2.0")

    def test_self_update_replaces_the_running_client(self):
        # Version 2 of the client itself: the same program with other settings.
        new_client = self.release / "files" / "Renewix.exe"
        shutil.copy(self.app / "Renewix.exe", new_client)
        configure(new_client, {"Application": {"ApplicationName": "Example Viewer 2", "BackgroundKeyword": "0",
                                               "LogFileName": "RenewixLog.txt"},
                               "Options": {"LoggingEnabled": "1"}})
        self.publish(files=FILES[:1] + ("Renewix.exe",) + FILES[1:])
        log = self.run_client()
        self.assertIn("\tDetected a self update!:\t" + windows_path(self.app) + "\\Renewix.exe\r\n", log)
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertEqual((self.app / "Renewix.exe").read_bytes(), new_client.read_bytes())
        settings = run_tool(BIN / "RenewixConfig.exe", "read", windows_path(self.app / "Renewix.exe")).stdout.decode()
        self.assertIn("ApplicationName=Example Viewer 2\r\n", settings)
        self.assert_installed_version("2.0")

    def test_a_failed_self_update_puts_the_running_client_back(self):
        original = (self.app / "Renewix.exe").read_bytes()
        new_client = self.release / "files" / "Renewix.exe"
        shutil.copy(self.app / "Renewix.exe", new_client)
        configure(new_client, {"Application": {"ApplicationName": "Example Viewer 2"}})
        (self.app / "last.txt").write_text("old last")
        (self.release / "files" / "last.txt").write_text("new last")
        self.publish(files=("Renewix.exe", "last.txt"))
        with file_held(self.app / "last.txt"):
            log = self.run_client()
        self.assertIn("\tDetected a self update!:\t", log)
        self.assertIn("\tRestored:\t" + windows_path(self.app) + "\\Renewix.exe\r\n", log)
        self.assertEqual((self.app / "Renewix.exe").read_bytes(), original)
        self.assertEqual((self.app / "last.txt").read_text(), "old last")
        self.assertNotEqual(self.recorded_version(), "2.0")

    def test_silent_update_waits_for_the_user_to_close_the_program(self):
        shutil.copy(BIN / "window_app.exe", self.app / "Viewer.exe")
        started = self.root / "viewer-started"
        viewer = start_client(self.app / "Viewer.exe", "record", windows_path(started))
        try:
            wait_for(started.exists, "the program's start")
            self.publish()
            client = start_client(self.app / "Renewix.exe", "0")
            log_path = self.app / "RenewixLog.txt"
            # The log may be caught half-written.
            wait_for(lambda: "Terminating main application" in log_so_far(log_path), "the client waiting")
            # Waiting: nothing has been replaced while the program runs.
            self.assertIsNone(client.poll())
            self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
            # The user closes the program (taskkill without /F asks its window to close).
            subprocess.run([str(WINE_RUN), "taskkill", "/IM", "Viewer.exe"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.assertEqual(client.wait(timeout=120), 0)
        finally:
            viewer.kill()
        log = read_log(self.app / "RenewixLog.txt")
        self.assertIn("\tTerminating main application:\tViewer.exe\r\n\tMoving files to directories\r\n", log)
        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data")
        self.assert_installed_version("2.0")

    def test_background_check_hands_an_update_that_is_not_silent_to_the_wizard(self):
        self.publish(update_type=None)
        client = start_client(self.app / "Renewix.exe", "0")
        wizard = Wizard(self.app / "Renewix.exe")
        wizard.wait_page("intro")
        # Nothing is installed before the user says so.
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        wizard.press(NEXT)
        wizard.wait_page("ready")
        wizard.press(NEXT)
        self.assertEqual(wait_exit(client), 0)
        log = read_log(self.app / "RenewixLog.txt")
        self.assertIn("\tCheckBackground mode detected\r\n", log)
        # The wizard reuses the check that found the update: the document is read once.
        self.assertEqual(log.count("\r\nChecking requirement for update\r\n"), 1)
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data")
        self.assertEqual(self.marker.read_text(), "point4")
        self.assert_installed_version("2.0")


if __name__ == "__main__":
    unittest.main(verbosity=2)
