"""A whole silent update from a file share, as a user's machine sees it: the real processes,
locks and self-replacement. Roll-back and kept downloads are decided in InstallRollBack and
TransferTest."""

import contextlib
import shutil
import subprocess
import unittest
import zipfile

from renewix_e2e import (BIN, WINE_RUN, configure, delete_registry, file_entry, file_held, log_so_far, read_log,
                         registry_value, run_tool, start_client, update_document, UpdateTestCase, wait_for,
                         windows_path)

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

    def test_background_silent_update_installs_everything(self):
        gate = self.root / "gate"
        self.publish(marker=f"point4 0 {windows_path(gate)}")
        first = start_client(self.client, "0")
        self.addCleanup(first.kill)
        try:
            # The first client has installed and waits for its last program.
            wait_for(lambda: self.marker.exists() or first.poll() is not None, "the first run's end", limit=120)
            self.assertTrue(self.marker.exists())
            # A second client, standing in for the program (default mode), finds the first running.
            self.assertEqual(run_tool(self.client, timeout=120, capture=False).returncode, 0)
        finally:
            gate.write_text("go")
            self.assertEqual(first.wait(timeout=120), 0)
        log = read_log(self.app / "RenewixLog.txt")
        # The second client left the first's log and update alone.
        self.assertTrue(log.startswith("Logging started\r\n"), log[:200])
        self.assertTrue(log.endswith("\tEnd of recording\r\n"), log[-300:])
        self.assertEqual(log.count("Logging started"), 1)
        self.assertNotIn("Instance already exists", log)
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
        self.assertEqual(self.recorded_version(), "2.0")

        # The next run finds nothing newer.
        log = self.run_client()
        self.assertIn("\tCurrent version:\t2.0\r\n", log)
        self.assertIn("\tA software update is not available\r\n", log)
        self.assertEqual(self.recorded_version(), "2.0")

    def test_self_update_replaces_the_running_client_or_puts_it_back(self):
        original = self.client.read_bytes()
        # Version 2 of the client itself: the same program with other settings.
        new_client = self.release / "files" / "Renewix.exe"
        shutil.copy(self.client, new_client)
        configure(new_client, {"Application": {"ApplicationName": "Example Viewer 2", "BackgroundKeyword": "0",
                                               "LogFileName": "RenewixLog.txt"},
                               "Options": {"LoggingEnabled": "1"}})
        (self.app / "last.txt").write_text("old last")
        (self.release / "files" / "last.txt").write_text("new last")
        self.publish(files=("Renewix.exe", "last.txt"))
        # A file placed after the client cannot be: the running client is put back. Then it is free,
        # and the next run installs the downloads the first kept, without fetching them again.
        rows = ((True, original, "old last", 0), (False, new_client.read_bytes(), "new last", 2))
        for held, client, last, reused in rows:
            with self.subTest(held=held):
                with file_held(self.app / "last.txt") if held else contextlib.nullcontext():
                    log = self.run_client()
                self.assertIn("\tDetected a self update!:\t" + windows_path(self.app) + "\\Renewix.exe\r\n", log)
                self.assertEqual("\tRestored:\t" + windows_path(self.app) + "\\Renewix.exe\r\n" in log, held)
                self.assertEqual(self.client.read_bytes(), client)
                self.assertEqual(log.count("\tFile already downloaded\r\n"), reused, log)
                self.assertEqual((self.app / "last.txt").read_text(), last)
                self.assertEqual(self.recorded_version() == "2.0", not held)
                self.assertEqual(self.marker.exists(), not held)
                self.assertEqual(registry_value(REGISTRY_KEY, "Version") is not None, not held)

    def test_silent_update_waits_for_the_user_to_close_the_program(self):
        shutil.copy(BIN / "window_app.exe", self.app / "Viewer.exe")
        started = self.root / "viewer-started"
        viewer = start_client(self.app / "Viewer.exe", "record", windows_path(started))
        self.addCleanup(viewer.kill)
        wait_for(started.exists, "the program's start")
        self.publish()
        client = start_client(self.client, "0")
        # The log may be caught half-written.
        wait_for(lambda: "Terminating main application" in log_so_far(self.app / "RenewixLog.txt"),
                 "the client waiting")
        # Waiting: nothing has been replaced while the program runs.
        self.assertIsNone(client.poll())
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        # The user closes the program (taskkill without /F asks its window to close).
        subprocess.run([str(WINE_RUN), "taskkill", "/IM", "Viewer.exe"], capture_output=True)
        self.assertEqual(client.wait(timeout=120), 0)
        self.assertIn("\tTerminating main application:\tViewer.exe\r\n\tMoving files to directories\r\n",
                      read_log(self.app / "RenewixLog.txt"))
        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data")


if __name__ == "__main__":
    unittest.main(verbosity=2)
