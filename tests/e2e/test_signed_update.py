"""Signed updates, end to end under Wine, from a file share and over HTTP from 127.0.0.1: a
signing client fetches the document's bytes itself on each transport (HTTPS is HTTP's
downloader, shown in test_http_update). Every refusal and check of the signature is in the unit
tests of the signed document and the session."""

import base64
import hashlib
import shutil
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import (FILES, openssl_key, require_connected_wine, serve, Site, stop_server, update_document,
                         UpdateTestCase, windows_path)


class SignedUpdateTest(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        require_connected_wine()
        cls.keys = Path(tempfile.mkdtemp(prefix="renewix-keys-"))
        cls.a = openssl_key(cls.keys, "a")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.site = self.root / "site"
        (self.release / "files" / "data.txt").write_text("version 2 data " * 40)
        self.server = serve(Site(self.site))

    def tearDown(self):
        stop_server(self.server)
        super().tearDown()

    @property
    def document_path(self):
        return self.site / "updates" / "update.xml"

    def configure(self, transport, *keys):
        if transport == "http":
            server = {"DocumentProtocol": "http://", "DocumentAddress": "127.0.0.1/updates/update.xml",
                      "DocumentPort": str(self.server.server_address[1])}
        else:
            server = {"DocumentProtocol": "file:", "DocumentAddress": windows_path(self.document_path)}
        self.configure_client(PrimaryServer=server,
                              Security={"TrustedKeys": ", ".join(base64.b64encode(key[1]).decode() for key in keys)})

    def publish(self, key, *options):
        """Publishes with the tool, signing with an OpenSSL-made key file, and serves the files."""
        self.publish_to(update_document(files=FILES), self.document_path, "--key", windows_path(key[0]), *options)

    def back_to_version_1(self):
        (self.app / "data.txt").write_text("version 1 data")
        (self.app / "more.txt").unlink()
        (self.app / "RenewixStatus.xml").unlink()

    def test_signed_by_the_tool_is_installed(self):
        key_id = hashlib.sha256(self.a[1]).hexdigest()[:16]
        # The last row: a client without keys takes a signed document as it stands. Every refusal
        # is in SessionTest.WithTrustedKeysOnlySignedBytesAreUsed.
        for transport, keys in (("share", (self.a,)), ("http", (self.a,)), ("http", ())):
            with self.subTest(transport, keys=len(keys)):
                self.configure(transport, *keys)
                self.publish(self.a, "--expires", "30d")
                log = self.run_client()
                self.assertEqual(f"\tSignature verified, signing key:\t{key_id}\r\n" in log, bool(keys))
                self.assertIn("\tFile SHA-256 verified:\tfiles/data.txt\r\n", log)
                self.assert_updated(log)
                self.back_to_version_1()


if __name__ == "__main__":
    unittest.main(verbosity=2)
