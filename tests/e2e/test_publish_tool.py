"""RenewixPublish.exe as a vendor uses it on a release folder."""

import re
import shutil
import tempfile
import unittest
import zlib
from pathlib import Path

from renewix_e2e import BIN, describe, windows_path, wine

TOOL = BIN / "RenewixPublish.exe"

DOCUMENT = """<?xml version="1.0"?>
<Renewix>
  <UpdateVersion>2.0</UpdateVersion>
  <FileList>
    <Directory Name="&lt;ApplicationDir&gt;">
      <File Name="viewer.exe" Src="bin/"/>
      <File Name="notes.txt"/>
    </Directory>
  </FileList>
</Renewix>
"""


class PublishToolTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="renewix-publish-"))
        (self.folder / "release" / "bin").mkdir(parents=True)
        shutil.copy(BIN / "Renewix.exe", self.folder / "release" / "bin" / "viewer.exe")
        (self.folder / "release" / "notes.txt").write_bytes(b"123456789")
        (self.folder / "update.xml").write_text(DOCUMENT)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def publish(self, base="1A2B", *extra):
        return wine(TOOL, windows_path(self.folder / "update.xml"), windows_path(self.folder / "release"), base,
                    windows_path(self.folder / "out.xml"), *extra)

    def test_sizes_crcs_versions_and_code(self):
        result = self.publish("1A2B", "--versions")
        self.assertEqual(result.returncode, 0, describe(result))
        text = (self.folder / "out.xml").read_text(encoding="utf-8", errors="replace")
        exe = (self.folder / "release" / "bin" / "viewer.exe").read_bytes()
        self.assertRegex(text, r'Name="viewer.exe" Src="bin/" Size="%d" CRC="%08X" ByVersion="1\.0\.0\.1"'
                         % (len(exe), zlib.crc32(exe)))
        self.assertIn('Name="notes.txt" Size="9" CRC="CBF43926"', text)
        codes = re.findall(r"<SecureCode>([0-9A-F]{8})</SecureCode>", text)
        self.assertEqual(len(codes), 1)
        self.assertIn(b"SecureCode: " + codes[0].encode(), result.stdout)

    def test_utf16_for_ftp_servers(self):
        result = self.publish("1A2B", "--utf16", "--versions")
        self.assertEqual(result.returncode, 0, describe(result))
        data = (self.folder / "out.xml").read_bytes()
        self.assertEqual(data[:2], b"\xff\xfe")
        text = data[2:].decode("utf-16-le")
        self.assertTrue(text.startswith('<?xml version="1.0" encoding="UTF-16"?>\r\n<Renewix>'), text[:80])
        self.assertIn('Name="notes.txt" Size="9" CRC="CBF43926"', text)
        self.assertRegex(text, r"<SecureCode>[0-9A-F]{8}</SecureCode>")
        self.assertEqual(self.publish("1A2B", "--utf8").returncode, 2)

    def test_refusals_write_no_document(self):
        (self.folder / "release" / "notes.txt").unlink()
        result = self.publish()
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"notes.txt' does not exist; no document was written", result.stderr)
        self.assertFalse((self.folder / "out.xml").exists())
        self.assertEqual(self.publish("not-hex").returncode, 1)
        self.assertFalse((self.folder / "out.xml").exists())
        self.assertEqual(wine(TOOL).returncode, 2)

    def test_a_failure_keeps_the_earlier_output_and_the_input(self):
        (self.folder / "out.xml").write_text("published yesterday")
        (self.folder / "update.xml").write_text("<Renewix><FileList>")
        result = self.publish()
        self.assertEqual(result.returncode, 1, describe(result))
        self.assertEqual((self.folder / "out.xml").read_text(), "published yesterday")
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["out.xml", "release", "update.xml"])

        (self.folder / "update.xml").write_text(DOCUMENT)
        result = wine(TOOL, windows_path(self.folder / "update.xml"), windows_path(self.folder / "release"), "1",
                      windows_path(self.folder / "update.xml"))
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"is the input document", result.stderr)
        self.assertEqual((self.folder / "update.xml").read_text(), DOCUMENT)

    def test_warnings_do_not_fail_the_run(self):
        (self.folder / "release" / "notes.txt").write_bytes(b"")
        result = self.publish()
        self.assertEqual(result.returncode, 0, describe(result))
        self.assertIn(b"RenewixPublish: warning: notes.txt is empty: clients never fetch a file of size 0", result.stderr)
        self.assertIn('Name="notes.txt" Size="0"', (self.folder / "out.xml").read_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
