"""Signed updates, end to end under Wine, over HTTP from 127.0.0.1 and from a file share.

Signed and tampered documents are made here independently of the client: with the publishing
tool, with OpenSSL's Ed25519 over the same bytes, by editing bytes after signing, and with a
CRC collision forged in Python. Every refusal must leave nothing downloaded or installed and
say why in the log.
"""

import base64
import functools
import hashlib
import http.server
import re
import shutil
import ssl
import subprocess
import tempfile
import unittest
import zlib
from pathlib import Path

from renewix_e2e import (UpdateTestCase, file_entry, openssl_key, start_server, stop_server, update_document,
                         windows_path)

FILES = ("data.txt", file_entry("more.txt", "files/sub/"))
SIGNATURE_LINE = re.compile(rb"<!-- RenewixSignature [^\r\n]*-->\r\n$")
REFUSED = "\r\nUpdate description refused: "


def public_b64(raw):
    return base64.b64encode(raw).decode()


def signature_line(public, signature):
    key_id = hashlib.sha256(public).hexdigest()[:16]
    return f"<!-- RenewixSignature Ed25519 key={key_id} sig={base64.b64encode(signature).decode()} -->\r\n".encode()


def openssl_sign(pem, public, data, folder):
    """The document followed by a signature line whose signature OpenSSL made over its bytes."""
    (folder / "tbs.bin").write_bytes(data)
    subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", str(pem), "-rawin", "-in", "tbs.bin", "-out", "sig.bin"],
                   cwd=folder, check=True, capture_output=True)
    return data + signature_line(public, (folder / "sig.bin").read_bytes())


def split_signed(data):
    line = SIGNATURE_LINE.search(data)
    assert line, data[-200:]
    return data[:line.start()], data[line.start():]


def forge_crc(data, at, crc):
    """`data` with the 4 bytes at `at` rewritten so that its CRC-32 becomes `crc` (the CRC is
    affine in those bits: an elimination over GF(2) finds them)."""
    def crc_with(patch):
        forged = bytearray(data)
        forged[at:at + 4] = patch.to_bytes(4, "little")
        return zlib.crc32(forged)
    base = crc_with(0)
    basis = {}
    for bit in range(32):
        effect, made = crc_with(1 << bit) ^ base, 1 << bit
        for top in reversed(range(32)):
            if not effect >> top & 1:
                continue
            if top not in basis:
                basis[top] = (effect, made)
                break
            effect ^= basis[top][0]
            made ^= basis[top][1]
    want, patch = crc ^ base, 0
    for top in reversed(range(32)):
        if want >> top & 1:
            want ^= basis[top][0]
            patch ^= basis[top][1]
    forged = bytearray(data)
    forged[at:at + 4] = patch.to_bytes(4, "little")
    assert zlib.crc32(forged) == crc and bytes(forged) != data
    return bytes(forged)


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class SignedUpdateTest(UpdateTestCase):
    """The HTTP case; SharedSignedUpdateTest below runs every test again from a file share."""

    transport = "http"

    @classmethod
    def setUpClass(cls):
        cls.keys = Path(tempfile.mkdtemp(prefix="renewix-keys-"))
        cls.a = openssl_key(cls.keys, "a")
        cls.b = openssl_key(cls.keys, "b")
        cls.stranger = openssl_key(cls.keys, "stranger")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.site = self.root / "site"
        (self.release / "files" / "data.txt").write_text("version 2 data " * 40)
        self.server = None
        if self.transport in ("http", "https"):
            self.server = start_server(functools.partial(Quiet, directory=str(self.site)))

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

    def assert_nothing_done(self, log):
        self.assertNotIn("Download file", log)
        self.assertNotIn("Moving files to directories", log)
        self.assert_nothing_installed(log)
        downloads = self.app / "RenewixFiles"
        self.assertEqual(sorted(p.name for p in downloads.iterdir()) if downloads.exists() else [], [])

    def assert_refused(self, heading, *details):
        log = self.run_client()
        self.assertIn(REFUSED + heading + "\r\n", log)
        for detail in details:
            self.assertIn(detail, log)
        self.assertIn("\r\nUpdate will not be undertaken\r\n", log)
        self.assert_nothing_done(log)
        return log

    def manual_document(self, hashes=True, expires="2999-01-01T00:00:00Z"):
        """A document written here (no secure code: the client has no base code), listing the release
        files with sizes, CRCs and, unless told otherwise, SHA-256 hashes computed in Python; without
        an expiry when `expires` is None."""
        entries = []
        for name, src in (("data.txt", "files/"), ("more.txt", "files/sub/")):
            data = (self.release / src / name).read_bytes()
            sha = {"SHA256": hashlib.sha256(data).hexdigest()} if hashes else {}
            entries.append(file_entry(name, src, Size=len(data), CRC=f"{zlib.crc32(data):08X}", **sha))
        shutil.copytree(self.release / "files", self.site / "updates" / "files", dirs_exist_ok=True)
        return update_document(files=entries, extra=f"<Expires>{expires}</Expires>" if expires else "").encode()

    def test_signed_by_the_tool_is_installed(self):
        self.configure(self.a)
        self.publish(self.a, "--expires", "30d")
        log = self.run_client()
        key_id = hashlib.sha256(self.a[1]).hexdigest()[:16]
        self.assertIn(f"\tSignature verified, signing key:\t{key_id}\r\n", log)
        self.assertIn("\tValid until (UTC):\t", log)
        self.assertIn("\tFile SHA-256 verified:\tfiles/data.txt\r\n", log)
        self.assert_updated(log)

    def test_signed_by_openssl_over_the_same_bytes_is_installed(self):
        self.configure(self.a)
        self.document_path.write_bytes(openssl_sign(self.a[0], self.a[1], self.manual_document(), self.root))
        self.assert_updated(self.run_client())

    def test_unsigned_document(self):
        self.configure(self.a)
        self.publish()
        self.assert_refused("it is not signed")

    def test_changed_after_signing_even_with_a_valid_secure_code(self):
        self.configure(self.a)
        signed = self.publish(self.a)
        _, line = split_signed(signed)
        # The tool seals a different document (one that runs a program) with a valid secure code;
        # the original signature line is put under it.
        evil = self.publish(document=update_document(
            files=FILES, extra='<ShellExec><Execute File="calc.exe" Point="4"/></ShellExec>'))
        self.assertIn(b"<SecureCode>", evil)
        self.document_path.write_bytes(evil + line)
        self.assert_refused("its signature does not match its content", "\tSigning key:\t")
        # One blank more: the secure code ignores it, the signature does not.
        body, line = split_signed(signed)
        self.document_path.write_bytes(body.replace(b"<UpdateVersion>", b" <UpdateVersion>", 1) + line)
        self.assert_refused("its signature does not match its content")

    def test_element_appended_after_the_secure_code(self):
        self.configure(self.a)
        body, line = split_signed(self.publish(self.a))
        tampered = body.replace(b"</SecureCode>", b"</SecureCode><ShellExec><Execute File=\"calc.exe\" Point=\"4\"/>"
                                                  b"</ShellExec>", 1)
        self.assertNotEqual(tampered, body)
        self.document_path.write_bytes(tampered + line)
        self.assert_refused("its signature does not match its content")

    def test_a_key_the_client_does_not_carry(self):
        self.configure(self.a)
        self.publish(self.stranger)
        self.assert_refused("it is signed by a key that this client does not trust",
                            "\tSigning key:\t" + hashlib.sha256(self.stranger[1]).hexdigest()[:16])

    def test_expired_document(self):
        self.configure(self.a)
        self.document_path.write_bytes(
            openssl_sign(self.a[0], self.a[1], self.manual_document(expires="2001-02-03T04:05:06Z"), self.root))
        self.assert_refused("it has expired", "\tExpired at (UTC):\t2001-02-03T04:05:06Z\r\n")

    def test_document_without_an_expiry(self):
        self.configure(self.a)
        self.document_path.write_bytes(openssl_sign(self.a[0], self.a[1], self.manual_document(expires=None), self.root))
        self.assert_refused("it has no expiry")

    def test_file_whose_size_and_crc_were_forged(self):
        self.configure(self.a)
        self.publish(self.a)
        served = self.site / "updates" / "files" / "data.txt"
        real = served.read_bytes()
        forged = forge_crc(b"MZ evil program".ljust(len(real), b"!"), 40, zlib.crc32(real))
        self.assertEqual((len(forged), zlib.crc32(forged)), (len(real), zlib.crc32(real)))
        served.write_bytes(forged)
        log = self.run_client()
        self.assertIn("\r\nFile SHA-256 error. Exiting.\r\n\tFile:\tfiles/data.txt\r\n", log)
        self.assertIn(f"\tExpected SHA-256:\t{hashlib.sha256(real).hexdigest()}\r\n", log)
        self.assertIn(f"\tDetected SHA-256:\t{hashlib.sha256(forged).hexdigest()}\r\n", log)
        self.assertIn("\tFile transfer error occured\r\n", log)
        self.assert_nothing_done(log.replace("Download file", "(fetched, refused)"))

    def test_file_without_a_hash(self):
        self.configure(self.a)
        self.document_path.write_bytes(openssl_sign(self.a[0], self.a[1], self.manual_document(hashes=False),
                                                    self.root))
        self.assert_refused("a file has no SHA-256 hash", "\tFile:\tfiles/data.txt\r\n")

    def test_rotation_from_key_a_to_key_b(self):
        # The client that carries both keys takes documents signed by either.
        self.configure(self.a, self.b)
        for key in (self.a, self.b):
            with self.subTest(key=key[0].name):
                self.publish(key)
                self.assert_updated(self.run_client())
                (self.app / "data.txt").write_text("version 1 data")
                (self.app / "more.txt").unlink()
                (self.app / "RenewixStatus.xml").unlink()
        # The vendor drops A in the next client: A's signatures no longer count, B's do.
        self.configure(self.b)
        self.publish(self.a)
        self.assert_refused("it is signed by a key that this client does not trust")
        self.publish(self.b)
        self.assert_updated(self.run_client())

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


# From a share and over HTTPS the cases that fetch differently; the others check the same bytes
# as over HTTP.
for _name in dir(SignedUpdateTest):
    if _name.startswith("test_") and _name not in ("test_signed_by_the_tool_is_installed", "test_unsigned_document",
                                                   "test_changed_after_signing_even_with_a_valid_secure_code",
                                                   "test_file_whose_size_and_crc_were_forged"):
        setattr(SharedSignedUpdateTest, _name, None)
        setattr(HttpsSignedUpdateTest, _name, None)


if __name__ == "__main__":
    unittest.main(verbosity=2)
