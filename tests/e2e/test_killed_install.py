"""Real updates killed from outside at chosen moments: the next run takes back or finishes an
interrupted installation, goes on with an interrupted download, installs the update, and no
byte of the old version is lost on the way."""

import hashlib
import os
import shutil
import signal
import subprocess
import time
import unittest
import zipfile
from pathlib import Path

from renewix_e2e import BIN, WINE_RUN, UpdateTestCase, delete_registry, file_entry, read_log, update_document, windows_path

BASE_CODE = "1A2B3C4D"
# Enough archive entries that extracting them takes a while to watch.
ARCHIVE_FILES = 400

FILES = ("data.txt", file_entry("first.zip", Action="unzip"), f'<Directory Name="plugins">{file_entry("extra.txt")}</Directory>',
         "Renewix.exe", file_entry("second.zip", Action="unzip"), file_entry("probe.dll", Register="True"))


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def tree(folder, skip=()):
    """{relative path: sha256} of every file below the folder, but those below `skip`."""
    folder = Path(folder)
    found = {}
    for path in folder.rglob("*"):
        relative = path.relative_to(folder).as_posix()
        if path.is_file() and not any(relative.startswith(part) for part in skip):
            found[relative] = digest(path)
    return found


def run_killed(test, moment, describe):
    """Runs a silent update of test.app and kills the client the moment `moment()` holds."""
    process = subprocess.Popen([str(WINE_RUN), str(test.app / "Renewix.exe"), "0"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    try:
        while not moment():
            if process.poll() is not None:
                test.fail(f"the run ended before {describe}:\n{read_log(test.app / 'RenewixLog.txt')[-2000:]}")
            if time.monotonic() > deadline:
                test.fail(f"never reached {describe}")
            time.sleep(0.001)
        os.kill(process.pid, signal.SIGKILL)
    finally:
        process.kill()
        process.wait()


class KilledInstallationTest(UpdateTestCase):
    def setUp(self):
        super().setUp()
        server = self.root / "server" / "update.xml"
        self.configure_client(PrimaryServer={"DocumentProtocol": "file:", "DocumentAddress": windows_path(server)},
                              Application={"ApplicationName": "Example Viewer", "BaseSecureCode": BASE_CODE})
        # Version 1: half of the first archive's files are there already, and are replaced.
        (self.app / "first").mkdir()
        for n in range(ARCHIVE_FILES // 2):
            (self.app / "first" / f"f{n:04}.txt").write_text(f"old first {n}")
        files = self.release / "files"
        (files / "extra.txt").write_text("a new plug-in file")
        shutil.copy(BIN / "register_probe.dll", files / "probe.dll")
        # The new client: the same program with bytes of its own after it.
        (files / "Renewix.exe").write_bytes((self.app / "Renewix.exe").read_bytes() + b"client of version 2")
        for name, prefix in (("first.zip", "first/f"), ("second.zip", "second/s")):
            with zipfile.ZipFile(files / name, "w") as archive:
                for n in range(ARCHIVE_FILES):
                    archive.writestr(f"{prefix}{n:04}.txt", f"new {name} {n}")
        # After the installation, a program that marks that it runs and then holds the client
        # until the gate is there: the moment after the commit lasts until the test is done.
        shutil.copy(BIN / "write_marker.exe", self.root / "write_marker.exe")
        self.marker, self.gate = self.root / "point4.txt", self.root / "gate"
        execute = (f'<ShellExec><Execute File="{windows_path(self.root / "write_marker.exe")} '
                   f'\'{windows_path(self.marker)} ran 0 {windows_path(self.gate)}\'" Point="4" WaitForProcess="True"/>'
                   '</ShellExec>')
        self.publish_to(update_document(files=FILES, restart="No restart", extra=execute), server, base_code=BASE_CODE)
        self.old = tree(self.app)
        self.new = self.expected_new()
        delete_registry()

    def tearDown(self):
        delete_registry()
        super().tearDown()

    def expected_new(self):
        new = dict(self.old)
        files = self.release / "files"
        for name in ("data.txt", "Renewix.exe", "probe.dll"):
            new[name] = digest(files / name)
        new["plugins/extra.txt"] = digest(files / "extra.txt")
        for name in ("first.zip", "second.zip"):
            with zipfile.ZipFile(files / name) as archive:
                for entry in archive.namelist():
                    new[entry] = hashlib.sha256(archive.read(entry)).hexdigest()
        return new

    def journal(self):
        try:
            return (self.app / "RenewixFiles" / "install.journal").read_bytes().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def text(self, name):
        """The file's text; empty while it is not there (set aside for a moment, say)."""
        try:
            return (self.app / name).read_bytes()
        except OSError:
            return b""

    def count(self, folder, start):
        try:
            with os.scandir(self.app / folder) as entries:
                names = [entry.name for entry in entries]
        except OSError:
            return 0
        return sum(1 for name in names if self.text(f"{folder}/{name}").startswith(start))

    def assert_nothing_lost(self):
        """Every file of version 1 is still somewhere in the program's folder."""
        everywhere = set(tree(self.app).values())
        lost = [name for name, value in self.old.items() if value not in everywhere]
        self.assertEqual(lost, [], "old files lost")

    def assert_next_run_completes(self, describe):
        log = self.run_client()
        self.assertIn("\r\nAn interrupted installation was found\r\n", log, describe)
        self.assertTrue("\tThe interrupted installation was taken back: the program is as it was before\r\n" in log
                        or "\tThe installation had completed: finishing it for version:\t2.0\r\n" in log, log[-3000:])
        # The old client ran this update: it stays parked in the download folder until the next.
        parked = [path.name for path in (self.app / "RenewixFiles").glob("*")]
        self.assertTrue(all(name.startswith("Renewix.exe.") and name.endswith(".bak") for name in parked), parked)
        current = tree(self.app, skip=("RenewixLog.txt", "RenewixStatus.xml", "RenewixFiles/"))
        differ = sorted(name for name in set(current) | set(self.new) if current.get(name) != self.new.get(name))
        self.assertEqual(differ, [], f"{describe}: files that differ from version 2\n{log[-3000:]}")
        self.assertEqual(self.recorded_version(), "2.0", describe)
        return log

    def test_killed_at_every_watched_moment_the_next_run_completes(self):
        moments = [
            ("after the first placement", lambda: self.text("data.txt") == b"version 2 data"),
            ("in the middle of the first archive",
             lambda: ARCHIVE_FILES // 4 <= self.count("first", b"new") < ARCHIVE_FILES),
            ("after the self-update", lambda: self.text("Renewix.exe").endswith(b"client of version 2")),
            ("in the middle of the second archive",
             lambda: ARCHIVE_FILES // 4 <= self.count("second", b"new") < ARCHIVE_FILES),
            ("once the installation was complete",
             lambda: self.marker.exists() and "\r\ncommitted\r\n" in self.journal()),
        ]
        pristine = self.root / "pristine"
        shutil.copytree(self.app, pristine)
        for describe, moment in moments:
            with self.subTest(describe):
                shutil.rmtree(self.app)
                shutil.copytree(pristine, self.app)
                for path in (self.marker, self.gate):
                    path.unlink(missing_ok=True)
                run_killed(self, moment, describe)
                # The program the killed client ran, and the next run's, go on at once.
                self.gate.write_text("open")
                self.assertTrue((self.app / "RenewixFiles" / "install.journal").exists(), describe)
                self.assert_nothing_lost()
                log = self.assert_next_run_completes(describe)
                if describe != "once the installation was complete":
                    self.assertIn("\r\nUpdate was successful!\r\n", log)


class KilledDownloadTest(UpdateTestCase):
    def test_a_share_copy_killed_midway_goes_on_from_what_it_kept_next_run(self):
        server = self.root / "server" / "update.xml"
        self.configure_client(PrimaryServer={"DocumentProtocol": "file:", "DocumentAddress": windows_path(server)})
        big = os.urandom(64 << 20)
        (self.release / "files" / "big.bin").write_bytes(big)
        self.publish_to(update_document(files=("big.bin", "data.txt")), server)
        partial = self.app / "RenewixFiles" / "UpdateFile1.partial"

        def kept():
            try:
                return partial.stat().st_size
            except OSError:
                return 0
        run_killed(self, lambda: kept() > 0, "the copy of big.bin")
        at = kept()
        self.assertLess(at, len(big), "the copy ended before the kill")
        log = self.run_client()
        self.assertRegex(log, rf"\tDownload continued from byte:\t[^\r]*big\.bin, {at}\r\n")
        self.assertEqual((self.app / "big.bin").read_bytes(), big)
        self.assertNotRegex(log, r"\tDownload fetched whole:\t[^\r]*big\.bin\r\n")
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertEqual(self.recorded_version(), "2.0")


if __name__ == "__main__":
    unittest.main()
