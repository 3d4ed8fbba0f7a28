"""Signed updates, end to end under Wine, from a file share, over HTTP and over HTTPS from
127.0.0.1: a signing client fetches the document's bytes itself on each transport. Every
refusal and check of the signature is in the unit tests of the signed document and the
session."""

import base64
import functools
import hashlib
import shutil
import ssl
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import (file_entry, openssl_key, QuietHandler, start_server, stop_server, update_document,
                         UpdateTestCase, windows_path)

FILES = ("data.txt", file_entry("more.txt", "files/sub/"))


def public_b64(raw):
    return base64.b64encode(raw).decode()


class SignedUpdateTest(UpdateTestCase):
    """Over HTTP; the classes below run the signed update again from a share and over HTTPS."""

    transport = "http"

    @classmethod
    def setUpClass(cls):
        cls.keys = Path(tempfile.mkdtemp(prefix="renewix-keys-"))
        cls.a = openssl_key(cls.keys, "a")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.site = self.root / "site"
        (self.release / "files" / "data.txt").write_text("version 2 data " * 40)
        self.server = None
        if self.transport in ("http", "https"):
            self.server = start_server(functools.partial(QuietHandler, directory=str(self.site)))

    def tearDown(self):
        if self.server:
            stop_server(self.server)
        super().tearDown()

    @property
    def document_path(self):
        return self.site / "updates" / "update.xml"

    def configure(self, *keys):
        if self.transport in ("http", "https"):
            host = "localhost" if self.transport == "https" else "127.0.0.1"
            server = {"DocumentProtocol": f"{self.transport}://", "DocumentAddress": f"{host}/updates/update.xml",
                      "DocumentPort": str(self.server.server_address[1])}
        else:
            server = {"DocumentProtocol": "file:", "DocumentAddress": windows_path(self.document_path)}
        self.configure_client(PrimaryServer=server,
                              Security={"TrustedKeys": ", ".join(public_b64(key[1]) for key in keys)})

    def publish(self, key=None, *options, document=update_document(files=FILES)):
        """Publishes with the tool (signing with an OpenSSL-made key file) and serves the files."""
        self.publish_to(document, self.document_path, *(("--key", windows_path(key[0])) if key else ()), *options)
        return self.document_path.read_bytes()

    def test_signed_by_the_tool_is_installed(self):
        self.configure(self.a)
        self.publish(self.a, "--expires", "30d")
        log = self.run_client()
        key_id = hashlib.sha256(self.a[1]).hexdigest()[:16]
        self.assertIn(f"\tSignature verified, signing key:\t{key_id}\r\n", log)
        self.assertIn("\tValid until (UTC):\t", log)
        self.assertIn("\tFile SHA-256 verified:\tfiles/data.txt\r\n", log)
        self.assert_updated(log)

    def test_a_client_without_keys_takes_unsigned_and_signed_documents(self):
        self.configure()
        for key in (None, self.a):
            with self.subTest(signed=key is not None):
                self.publish(key)
                log = self.run_client()
                self.assertNotIn("Signature verified", log)
                self.assert_updated(log)
                (self.app / "data.txt").write_text("version 1 data")
                (self.app / "more.txt").unlink()
                (self.app / "RenewixStatus.xml").unlink()


class SharedSignedUpdateTest(SignedUpdateTest):
    transport = "share"


class HttpsSignedUpdateTest(SignedUpdateTest):
    """Over HTTPS from a server whose certificate an authority of the prefix vouches for: the
    client fetches the document's bytes with its own request and its certificate checks."""

    transport = "https"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        from test_http_update import HttpsUpdateTest
        HttpsUpdateTest.setUpClass()
        cls.authority = HttpsUpdateTest

    @classmethod
    def tearDownClass(cls):
        cls.authority.tearDownClass()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        certs = self.authority.certs
        context.load_cert_chain(certs / "server.pem", certs / "server.key")
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)


# From a share and over HTTPS the signed update alone: a client without keys fetches alike on each.
SharedSignedUpdateTest.test_a_client_without_keys_takes_unsigned_and_signed_documents = None
HttpsSignedUpdateTest.test_a_client_without_keys_takes_unsigned_and_signed_documents = None


if __name__ == "__main__":
    unittest.main(verbosity=2)
