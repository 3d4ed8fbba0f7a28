"""RenewixPublish.exe as a vendor uses it on a release folder."""

import re
import shutil
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import BIN, describe, file_entry, run_tool, update_document, windows_path

TOOL = BIN / "RenewixPublish.exe"

DOCUMENT = update_document(update_type=None, files=(file_entry("viewer.exe", "bin/"), file_entry("notes.txt", None)))


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
        return run_tool(TOOL, windows_path(self.folder / "update.xml"), windows_path(self.folder / "release"), base,
                    windows_path(self.folder / "out.xml"), *extra)

    def test_exit_codes_and_what_is_written(self):
        """The command line reaches the publisher (0 written, 1 refused, 2 misused) and a refusal
        keeps the earlier output; what the publisher writes and refuses is in its unit tests."""
        (self.folder / "out.xml").write_text("published yesterday")
        cases = [
            (("not-hex",), 1, "published yesterday"),
            (("1A2B", "--utf8"), 2, "published yesterday"),
            (("1A2B",), 0, '<File Name="notes.txt" Size="9" CRC="CBF43926" SHA256="'),
            (("1A2B", "--utf16"), 0, '<?xml version="1.0" encoding="UTF-16"?>'),
        ]
        for args, code, written in cases:
            with self.subTest(args=args):
                result = self.publish(*args)
                self.assertEqual(result.returncode, code, describe(result))
                data = (self.folder / "out.xml").read_bytes()
                text = data[2:].decode("utf-16-le") if data[:2] == b"\xff\xfe" else data.decode("utf-8", "replace")
                self.assertIn(written, text)
        self.assertEqual(run_tool(TOOL).returncode, 2)

    def test_keygen_sign_and_verify(self):
        """What a signature covers and that OpenSSL agrees with it are in the unit tests of the
        publisher and of Ed25519; here the tool's commands hand a key file on."""
        result = run_tool(TOOL, "keygen", windows_path(self.folder / "vendor.key"))
        self.assertEqual(result.returncode, 0, describe(result))
        public = re.search(r"^public key: (\S+)\r$", result.stdout.decode(), re.M).group(1)
        self.assertIn(f"[Security]\r\nTrustedKeys={public}\r\n", result.stdout.decode())
        result = self.publish("1A2B", "--key", windows_path(self.folder / "vendor.key"), "--expires", "30d")
        self.assertEqual(result.returncode, 0, describe(result))
        self.assertIn(b"Signed with key ", result.stdout)
        text = (self.folder / "out.xml").read_text(encoding="utf-8", errors="replace")
        self.assertRegex(text, r"<Expires>\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ</Expires>\s*<SecureCode>")
        # One byte changed after signing, the tool says no.
        for change, code in ((b"", 0), (b"2.1", 1)):
            with self.subTest(changed=bool(change)):
                if change:
                    data = (self.folder / "out.xml").read_bytes()
                    (self.folder / "out.xml").write_bytes(data.replace(b"2.0", change, 1))
                verified = run_tool(TOOL, "verify", windows_path(self.folder / "out.xml"), "--public-key", public)
                self.assertEqual(verified.returncode, code, describe(verified))


if __name__ == "__main__":
    unittest.main(verbosity=2)
