"""Start-up as a user sees it: the log that Renewix.exe writes under Wine."""

import re
import shutil
import subprocess
import unittest

from renewix_e2e import (BIN, WINE_RUN, ClientTestCase, configure, read_log, run_closing_wizard, text_of, wait_for,
                         windows_path)

BASE = {
    "Application": {
        "MainApplication": "Viewer.exe",
        "ApplicationName": "Example Viewer",
        "CheckNowKeyword": "CheckNow",
        "BackgroundKeyword": "0",
        "LogFileName": "RenewixLog.txt",
        "DefaultVersion": "1.0",
    },
    "Options": {"LoggingEnabled": "1", "CheckFrequency": "1", "LaunchAfterCheck": "1"},
}


def settings(**options):
    result = {section: dict(keys) for section, keys in BASE.items()}
    for key, value in options.items():
        section = "Options" if key in ("LoggingEnabled", "CheckFrequency", "LaunchAfterCheck") else "Application"
        result[section][key] = value
    return result


class StartupTest(ClientTestCase):
    def log(self):
        return read_log(self.folder / "RenewixLog.txt")

    def test_header_and_check_now_mode(self):
        configure(self.client, settings())
        code, _ = run_closing_wizard(self.client, "/-checknow", "/x", page="message")
        self.assertEqual(code, 0)
        log = self.log()
        header = re.match(
            r"Logging started\r\n\tDate:\t(\d\d)/(\d\d)/(\d\d), (\d\d):(\d\d):(\d\d)\r\n"
            # Whichever Windows the prefix reports, it is named, with the machine's architecture.
            r"\tClient:\t1\.0\.0\.1\r\n\tOS:\tWindows [^\r\n]+ \((x86|x64|ARM64)\)\r\n",
            log,
        )
        self.assertIsNotNone(header, log)
        self.assertIn("\tCommand line:\t/-checknow /x\r\n\tCheckNow mode detected\r\n", log)
        self.assertRegex(log, r"\tLanguage:\t-?\d+\r\n\tLocale  :\t\d+\r\n")
        self.assertTrue(log.endswith("\tEnd of recording\r\n"), log)
        self.assertNotIn("Instance already exists", log)

    def test_background_scheduler_and_default_modes(self):
        configure(self.client, settings())
        cases = [
            (["0"], "\tCommand line:\t0\r\n\tCheckBackground mode detected\r\n"),
            (["report.txt", "/p"], "\tCommand line:\treport.txt /p\r\n\tLanguage:"),
            (["x", "testMode"], "\tCommand line:\tx testMode\r\n\tLanguage:"),
        ]
        # Without a server the check finds nothing: a default run's wizard closes by itself.
        for args, expected in cases:
            with self.subTest(args=args):
                self.assertEqual(self.run_client(*args, capture=False).returncode, 0)
                self.assertIn(expected, self.log())
        code, _ = run_closing_wizard(self.client, "/Scheduler", page="schedule")
        self.assertEqual(code, 0)
        self.assertIn("\tCommand line:\t/Scheduler\r\n\tScheduler mode detected\r\n", self.log())

    def test_no_log_in_test_mode_or_when_switched_off(self):
        configure(self.client, settings())
        self.assertEqual(run_closing_wizard(self.client, "testMode", "C:\\t\\u.xml", page="intro")[0], 0)
        self.assertFalse((self.folder / "RenewixLog.txt").exists())
        self.assertFalse((self.folder / "RenewixStatus.xml").exists())

        configure(self.client, settings(LoggingEnabled="0"))
        run_closing_wizard(self.client, "CheckNow")
        self.assertFalse((self.folder / "RenewixLog.txt").exists())

        # An empty log name leaves only the folder as the path: no file, and the run goes on
        # (to the status file, which every run but a test run writes).
        configure(self.client, settings(LogFileName=""))
        self.assertEqual(run_closing_wizard(self.client, "CheckNow")[0], 0)
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["Renewix.exe", "RenewixStatus.xml"])

    def test_unconfigured_client_runs_without_a_log(self):
        result = self.run_client("CheckNow")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["Renewix.exe", "RenewixStatus.xml"])

    def test_second_instance_leaves_the_running_instance_log_and_status_alone(self):
        configure(self.client, settings())
        running_log = b"\xff\xfe" + "Logging started\r\n\tthe running instance's line\r\n".encode("utf-16-le")
        status = b"<Configuration>\r\n\t<NumExecutions>0</NumExecutions>\r\n</Configuration>\r\n"
        (self.folder / "RenewixLog.txt").write_bytes(running_log)
        (self.folder / "RenewixStatus.xml").write_bytes(status)
        holder = subprocess.Popen([str(WINE_RUN), str(BIN / "test_tool.exe"), "hold-mutex", "20000"], stdout=subprocess.PIPE)
        try:
            self.assertEqual(holder.stdout.readline().strip(), b"held")
            # The user who asked for a check is told that another one is running.
            code, sheet = run_closing_wizard(self.client, "CheckNow", page="message")
            self.assertEqual(code, 0)
            self.assertEqual(text_of(sheet, 1044), "An update check is already running")
            self.assertEqual((self.folder / "RenewixLog.txt").read_bytes(), running_log)
            self.assertEqual((self.folder / "RenewixStatus.xml").read_bytes(), status)
        finally:
            holder.kill()
            holder.wait()
        # Once the other instance is gone, the next run takes the mutex at once and logs (the
        # status file says no check is due, so no wizard shows).
        self.run_client("CheckNow")
        log = self.log()
        self.assertIn("\tLocale  :", log)
        self.assertNotIn("Instance already exists", log)
        self.assertNotIn("running instance", log)

    def test_permission_manager_keywords_end_the_run_before_the_log(self):
        configure(self.client, settings())
        # Nothing is installed, so removing changes nothing and shows nothing.
        for args in (["/PermissionsManagerCheckInstalled"], ["-permissionmanageruninstall"]):
            with self.subTest(args=args):
                result = self.run_client(*args)
                self.assertEqual(result.returncode, 0)
                self.assertFalse((self.folder / "RenewixLog.txt").exists())
        # All in lower case, "permissionsmanager" is not rewritten: a normal start.
        self.assertEqual(self.run_client("/permissionsmanagerrun").returncode, 0)
        self.assertIn("\tCommand line:\t/permissionsmanagerrun\r\n", self.log())


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
                configure(self.client, settings(LaunchAfterCheck=launch_after))
                self.assertEqual(self.run_client("record", windows_path(self.record), capture=False).returncode, 0)
                command = wait_for(lambda: self.record.exists() and self.record.read_text(), "the program's start",
                                   limit=10)
                self.assertTrue(command.rstrip().endswith("record " + windows_path(self.record)), command)
                log = read_log(self.folder / "RenewixLog.txt")
                self.assertEqual("Automatic launch of the main application" in log, launch_after == "0")
                self.assertNotIn("Unable to launch", log)
                subprocess.run([str(WINE_RUN), "taskkill", "/F", "/IM", "Viewer.exe"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def test_keyword_runs_do_not_launch_and_a_missing_program_is_logged(self):
        configure(self.client, settings(LaunchAfterCheck="0"))
        run_closing_wizard(self.client, "CheckNow", "record", windows_path(self.record))
        self.assertFalse(self.record.exists())
        (self.folder / "Viewer.exe").unlink()
        self.run_client(capture=False)
        log = read_log(self.folder / "RenewixLog.txt")
        self.assertIn("\tAutomatic launch of the main application\r\n\tUnable to launch:\t"
                      + windows_path(self.folder) + "\\Viewer.exe\r\n", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
