"""Signed updates, end to end under Wine, from a file share, over HTTP and over HTTPS from
127.0.0.1: a signing client fetches the document's bytes itself on each transport. Every
refusal and check of the signature is in the unit tests of the signed document and the
session."""

import base64
import hashlib
import shutil
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import (FILES, openssl_key, require_connected_wine, serve, serve_tls, Site, stop_server,
                         trusted_test_authority, update_document, UpdateTestCase, windows_path)


def public_b64(raw):
    return base64.b64encode(raw).decode()


class SignedUpdateTest(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        require_connected_wine()
        cls.keys = Path(tempfile.mkdtemp(prefix="renewix-keys-"))
        cls.a = openssl_key(cls.keys, "a")
        # HTTPS from a server whose certificate an authority of the prefix vouches for.
        trusted_test_authority(cls.keys)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.site = self.root / "site"
        (self.release / "files" / "data.txt").write_text("version 2 data " * 40)
        self.servers = {"http": serve(Site(self.site)), "https": serve_tls(serve(Site(self.site)), self.keys)}

    def tearDown(self):
        for server in self.servers.values():
            stop_server(server)
        super().tearDown()

    @property
    def document_path(self):
        return self.site / "updates" / "update.xml"

    def configure(self, transport, *keys):
        if transport in self.servers:
            host = "localhost" if transport == "https" else "127.0.0.1"
            server = {"DocumentProtocol": f"{transport}://", "DocumentAddress": f"{host}/updates/update.xml",
                      "DocumentPort": str(self.servers[transport].server_address[1])}
        else:
            server = {"DocumentProtocol": "file:", "DocumentAddress": windows_path(self.document_path)}
        self.configure_client(PrimaryServer=server,
                              Security={"TrustedKeys": ", ".join(public_b64(key[1]) for key in keys)})

    def publish(self, key=None, *options, document=update_document(files=FILES)):
        """Publishes with the tool (signing with an OpenSSL-made key file) and serves the files."""
        self.publish_to(document, self.document_path, *(("--key", windows_path(key[0])) if key else ()), *options)
        return self.document_path.read_bytes()

    def back_to_version_1(self):
        (self.app / "data.txt").write_text("version 1 data")
        (self.app / "more.txt").unlink()
        (self.app / "RenewixStatus.xml").unlink()

    def test_signed_by_the_tool_is_installed(self):
        key_id = hashlib.sha256(self.a[1]).hexdigest()[:16]
        for transport in ("share", "http", "https"):
            with self.subTest(transport):
                self.configure(transport, self.a)
                self.publish(self.a, "--expires", "30d")
                log = self.run_client()
                self.assertIn(f"\tSignature verified, signing key:\t{key_id}\r\n", log)
                self.assertIn("\tValid until (UTC):\t", log)
                self.assertIn("\tFile SHA-256 verified:\tfiles/data.txt\r\n", log)
                self.assert_updated(log)
                self.back_to_version_1()

    def test_a_client_without_keys_takes_unsigned_and_signed_documents(self):
        # Over HTTP alone: a client without keys fetches alike on each transport.
        self.configure("http")
        for key in (None, self.a):
            with self.subTest(signed=key is not None):
                self.publish(key)
                log = self.run_client()
                self.assertNotIn("Signature verified", log)
                self.assert_updated(log)
                self.back_to_version_1()


if __name__ == "__main__":
    unittest.main(verbosity=2)
