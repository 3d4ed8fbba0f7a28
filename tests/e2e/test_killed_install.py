"""Real installations killed from outside at chosen moments: the next run takes back or
finishes what was interrupted, installs the update, and no byte of the old version is lost
on the way."""

import hashlib
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

from renewix_e2e import BIN, WINE_RUN, configure, publish, read_log, run_logged_client, windows_path

BASE_CODE = "1A2B3C4D"
# Enough archive entries that extracting them takes a while to watch.
ARCHIVE_FILES = 400

DOCUMENT = """<?xml version="1.0"?>
<Renewix>
  <UpdateVersion>2.0</UpdateVersion>
  <UpdateType>Silent</UpdateType>
  <Restart>No restart</Restart>
  <FileList>
    <Directory Name="&lt;ApplicationDir&gt;">
      <File Name="data.txt" Src="files/"/>
      <File Name="first.zip" Src="files/" Action="unzip"/>
      <Directory Name="plugins"><File Name="extra.txt" Src="files/"/></Directory>
      <File Name="Renewix.exe" Src="files/"/>
      <File Name="second.zip" Src="files/" Action="unzip"/>
      <File Name="probe.dll" Src="files/" Register="True"/>
    </Directory>
  </FileList>
</Renewix>
"""


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


class KilledInstallationTest(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="renewix-killed-"))
        self.app = self.root / "app"
        self.server = self.root / "server"
        self.release = self.root / "release"
        for folder in (self.app / "first", self.server / "files", self.release / "files"):
            folder.mkdir(parents=True)
        client = self.app / "Renewix.exe"
        shutil.copy(BIN / "Renewix.exe", client)
        configure(client, {
            "PrimaryServer": {"DocumentProtocol": "file:", "DocumentAddress": windows_path(self.server / "update.xml")},
            "Application": {"MainApplication": "Viewer.exe", "ApplicationName": "Example Viewer",
                            "BackgroundKeyword": "0", "BaseSecureCode": BASE_CODE, "DefaultVersion": "1.0",
                            "LogFileName": "RenewixLog.txt"},
            "Options": {"LoggingEnabled": "1", "CheckFrequency": "1", "LaunchAfterCheck": "1"},
        })
        # Version 1: half of the first archive's files are there already, and are replaced.
        (self.app / "data.txt").write_text("version 1 data")
        for n in range(ARCHIVE_FILES // 2):
            (self.app / "first" / f"f{n:04}.txt").write_text(f"old first {n}")
        files = self.release / "files"
        (files / "data.txt").write_text("version 2 data")
        (files / "extra.txt").write_text("a new plug-in file")
        shutil.copy(BIN / "register_probe.dll", files / "probe.dll")
        # The new client: the same program with bytes of its own after it.
        (files / "Renewix.exe").write_bytes(client.read_bytes() + b"client of version 2")
        for name, prefix in (("first.zip", "first/f"), ("second.zip", "second/s")):
            with zipfile.ZipFile(files / name, "w") as archive:
                for n in range(ARCHIVE_FILES):
                    archive.writestr(f"{prefix}{n:04}.txt", f"new {name} {n}")
        (self.root / "update.xml").write_text(DOCUMENT)
        publish(self.root / "update.xml", self.release, BASE_CODE, self.server / "update.xml")
        shutil.copytree(files, self.server / "files", dirs_exist_ok=True)
        self.old = tree(self.app)
        self.new = self.expected_new()
        subprocess.run([str(WINE_RUN), "reg", "delete", "HKCU\\Software\\RenewixTest", "/f"], capture_output=True)

    def tearDown(self):
        subprocess.run([str(WINE_RUN), "reg", "delete", "HKCU\\Software\\RenewixTest", "/f"], capture_output=True)
        shutil.rmtree(self.root, ignore_errors=True)

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

    def run_killed(self, moment, describe):
        """Runs a silent update and kills the client the moment `moment()` holds."""
        process = subprocess.Popen([str(WINE_RUN), str(self.app / "Renewix.exe"), "0"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 120
        try:
            while not moment():
                if process.poll() is not None:
                    self.fail(f"the run ended before {describe}:\n{read_log(self.app / 'RenewixLog.txt')[-2000:]}")
                if time.monotonic() > deadline:
                    self.fail(f"never reached {describe}")
                time.sleep(0.001)
            os.kill(process.pid, signal.SIGKILL)
        finally:
            process.kill()
            process.wait()

    def assert_nothing_lost(self):
        """Every file of version 1 is still somewhere in the program's folder."""
        everywhere = set(tree(self.app).values())
        lost = [name for name, value in self.old.items() if value not in everywhere]
        self.assertEqual(lost, [], "old files lost")

    def assert_next_run_completes(self, describe):
        log = run_logged_client(self.app / "Renewix.exe", self.app / "RenewixLog.txt", "0")
        self.assertIn("\r\nAn interrupted installation was found\r\n", log, describe)
        self.assertTrue("\tThe interrupted installation was taken back: the program is as it was before\r\n" in log
                        or "\tThe installation had completed: finishing it for version:\t2.0\r\n" in log, log[-3000:])
        # The old client ran this update: it stays parked in the download folder until the next.
        parked = [path.name for path in (self.app / "RenewixFiles").glob("*")]
        self.assertTrue(all(name.startswith("Renewix.exe.") and name.endswith(".bak") for name in parked), parked)
        current = tree(self.app, skip=("RenewixLog.txt", "RenewixStatus.xml", "RenewixFiles/"))
        differ = sorted(name for name in set(current) | set(self.new) if current.get(name) != self.new.get(name))
        self.assertEqual(differ, [], f"{describe}: files that differ from version 2\n{log[-3000:]}")
        status = (self.app / "RenewixStatus.xml").read_text(encoding="cp1252")
        self.assertIn("<ApplicationVersion>2.0</ApplicationVersion>", status, describe)
        return log

    def test_killed_at_every_watched_moment_the_next_run_completes(self):
        moments = [
            ("after the first placement", lambda: self.text("data.txt") == b"version 2 data"),
            ("in the middle of the first archive",
             lambda: ARCHIVE_FILES // 4 <= self.count("first", b"new") < ARCHIVE_FILES),
            ("after the self-update", lambda: self.text("Renewix.exe").endswith(b"client of version 2")),
            ("in the middle of the second archive",
             lambda: ARCHIVE_FILES // 4 <= self.count("second", b"new") < ARCHIVE_FILES),
            ("once the installation was complete", lambda: "\r\ncommitted\r\n" in self.journal()),
        ]
        pristine = self.root / "pristine"
        shutil.copytree(self.app, pristine)
        for describe, moment in moments:
            with self.subTest(describe):
                shutil.rmtree(self.app)
                shutil.copytree(pristine, self.app)
                self.run_killed(moment, describe)
                self.assertTrue((self.app / "RenewixFiles" / "install.journal").exists(), describe)
                self.assert_nothing_lost()
                log = self.assert_next_run_completes(describe)
                if describe != "once the installation was complete":
                    self.assertIn("\r\nUpdate was successful!\r\n", log)


if __name__ == "__main__":
    unittest.main()
