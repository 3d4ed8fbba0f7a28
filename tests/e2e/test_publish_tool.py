"""RenewixPublish.exe as a vendor uses it on a release folder."""

import base64
import hashlib
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import BIN, describe, file_entry, run_tool, update_document, windows_path

# DER SubjectPublicKeyInfo of an Ed25519 key (RFC 8410) before its 32 raw bytes.
ED25519_SPKI_PREFIX = bytes.fromhex("302a300506032b6570032100")
SIGNATURE_LINE = re.compile(rb"<!-- RenewixSignature Ed25519 key=([0-9a-f]{16}) sig=([A-Za-z0-9+/=]{88}) -->\r\n$")

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

    def keygen(self, name):
        result = run_tool(TOOL, "keygen", windows_path(self.folder / name))
        self.assertEqual(result.returncode, 0, describe(result))
        out = result.stdout.decode()
        public = re.search(r"^public key: (\S+)\r$", out, re.M).group(1)
        self.assertIn(f"[Security]\r\nTrustedKeys={public}\r\n", out)
        return public

    def openssl_verifies(self, document, public):
        """OpenSSL's own Ed25519 over the bytes before the signature line."""
        data = document.read_bytes()
        line = SIGNATURE_LINE.search(data)
        self.assertIsNotNone(line, data[-200:])
        (self.folder / "signed.bin").write_bytes(data[:line.start()])
        (self.folder / "sig.bin").write_bytes(base64.b64decode(line.group(2)))
        key = ED25519_SPKI_PREFIX + public
        (self.folder / "pub.pem").write_text("-----BEGIN PUBLIC KEY-----\n" + base64.b64encode(key).decode() +
                                             "\n-----END PUBLIC KEY-----\n")
        result = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", "pub.pem", "-rawin",
                                 "-in", "signed.bin", "-sigfile", "sig.bin"], cwd=self.folder, capture_output=True)
        return result.returncode == 0

    def test_keygen_sign_and_verify_with_the_tool_and_with_openssl(self):
        public = self.keygen("vendor.key")
        result = self.publish("1A2B", "--key", windows_path(self.folder / "vendor.key"), "--expires", "30d")
        self.assertEqual(result.returncode, 0, describe(result))
        self.assertIn(b"Signed with key ", result.stdout)
        text = (self.folder / "out.xml").read_text(encoding="utf-8", errors="replace")
        self.assertRegex(text, r"<Expires>\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ</Expires>\s*<SecureCode>")
        self.assertTrue(self.openssl_verifies(self.folder / "out.xml", base64.b64decode(public)))
        # The line names the key by the start of its SHA-256.
        self.assertEqual(SIGNATURE_LINE.search((self.folder / "out.xml").read_bytes()).group(1).decode(),
                         hashlib.sha256(base64.b64decode(public)).hexdigest()[:16])

        verified = run_tool(TOOL, "verify", windows_path(self.folder / "out.xml"), "--public-key", public)
        self.assertEqual(verified.returncode, 0, describe(verified))

        # One byte changed after signing: OpenSSL and the tool both say no.
        data = (self.folder / "out.xml").read_bytes()
        (self.folder / "out.xml").write_bytes(data.replace(b"2.0", b"2.1", 1))
        self.assertFalse(self.openssl_verifies(self.folder / "out.xml", base64.b64decode(public)))
        refused = run_tool(TOOL, "verify", windows_path(self.folder / "out.xml"), "--public-key", public)
        self.assertEqual(refused.returncode, 1, describe(refused))


if __name__ == "__main__":
    unittest.main(verbosity=2)
