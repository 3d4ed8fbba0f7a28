"""Silent updates over HTTP from a server on 127.0.0.1 that the test starts itself."""

import base64
import os
import shutil
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import (FILES, openssl_key, require_connected_wine, serve, serve_tls, Site, stop_server,
                         trusted_test_authority, update_document, UpdateTestCase, windows_path)


class HttpUpdateTest(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        require_connected_wine()

    def setUp(self):
        super().setUp()
        self.site = self.root / "site"
        self.server = serve(Site(self.site))
        self.port = self.server.server_address[1]

    def tearDown(self):
        stop_server(self.server)
        super().tearDown()

    def configure(self, **primary):
        self.configure_client(PrimaryServer={"DocumentProtocol": "http://", "DocumentPort": str(self.port),
                                             "DocumentAddress": "127.0.0.1/updates/update.xml", **primary})

    def publish(self, files_folder="updates"):
        self.publish_to(update_document(files=FILES), self.site / "updates" / "update.xml",
                        files_folder=self.site / files_folder)

    def test_update_with_a_port_in_the_address(self):
        self.configure()
        self.publish()
        stamp = 1_500_000_000
        os.utime(self.site / "updates" / "files" / "data.txt", (stamp, stamp))
        log = self.run_client()
        self.assert_updated(log)
        # The server's Last-Modified became the file's time.
        self.assertEqual(int((self.app / "data.txt").stat().st_mtime), stamp)
        self.assertNotIn("No internet connection", log)

    def test_files_from_a_separate_location(self):
        self.configure(FilesProtocol="http://", FilesAddress="127.0.0.1/elsewhere/", FilesPort=str(self.port),
                       SeparateFilesLocation="1")
        self.publish(files_folder="elsewhere")
        self.assert_updated(self.run_client())


class BigFileTestCase(UpdateTestCase):
    """2.0 with a 20 MiB big.bin beside data.txt and sub/more.txt, served from site/updates by
    `web`, which counts what it sends."""

    SIZE = 20 << 20

    @classmethod
    def setUpClass(cls):
        require_connected_wine()

    def serve(self, big, *publish_options, **sections):
        self.web = Site(self.root / "site")
        self.site = self.web.folder
        (self.release / "files" / "big.bin").write_bytes(big)
        self.server = serve(self.web)
        self.configure_client(PrimaryServer={"DocumentProtocol": "http://",
                                             "DocumentPort": str(self.server.server_address[1]),
                                             "DocumentAddress": "127.0.0.1/updates/update.xml"}, **sections)
        self.publish_to(update_document(files=FILES + ("big.bin",)),
                        self.site / "updates" / "update.xml", *publish_options)

    def tearDown(self):
        stop_server(self.server)
        super().tearDown()


class PatchTest(BigFileTestCase):
    """A signed 2.0 whose big file changed in 1% of its bytes, published with patches against
    1.0: a client with 1.0 installed fetches the patch, any other fetches the file."""

    def setUp(self):
        super().setUp()
        self.v1 = os.urandom(self.SIZE)
        v2 = bytearray(self.v1)
        for start in range(0, self.SIZE, self.SIZE // 64):  # 64 runs, 1% of the bytes in all
            v2[start:start + self.SIZE // 6400] = os.urandom(self.SIZE // 6400)
        self.v2 = bytes(v2)
        previous = self.root / "previous" / "files"
        previous.mkdir(parents=True)
        (previous / "big.bin").write_bytes(self.v1)
        (previous / "data.txt").write_text("version 1 data")
        key, public = openssl_key(self.root, "vendor")
        self.public = base64.b64encode(public).decode()
        self.serve(self.v2, "--key", windows_path(key), "--previous", windows_path(self.root / "previous"),
                   Security={"TrustedKeys": self.public})
        self.patch = self.site / "updates" / "files" / "big.bin.patch"

    def test_only_a_client_with_the_base_installed_fetches_the_patch(self):
        patch = self.patch.read_bytes()
        for what, installed, served, patched in (
                ("the base installed", self.v1, patch, True),
                ("another version installed", self.v1[:-1] + b"?", patch, False),
                ("the patch damaged on the server", self.v1, patch[:100] + b"?" + patch[101:], False)):
            with self.subTest(what):
                (self.app / "big.bin").write_bytes(installed)
                (self.app / "data.txt").write_text("version 1 data")
                (self.app / "more.txt").unlink(missing_ok=True)
                (self.app / "RenewixStatus.xml").unlink(missing_ok=True)
                self.patch.write_bytes(served)
                self.web.sent = {}
                log = self.run_client()
                self.assert_updated(log)
                self.assertEqual((self.app / "big.bin").read_bytes(), self.v2)
                fetched = sum(self.web.sent.values())
                if patched:
                    self.assertIn("\tFile patched from a download of:\tfiles/big.bin.patch, %d\r\n" % len(patch), log)
                    self.assertNotIn("/updates/files/big.bin", self.web.sent)
                    self.assertLess(fetched, self.SIZE // 20)
                else:
                    self.assertNotIn("File patched", log)
                    self.assertEqual(self.web.sent.get("/updates/files/big.bin"), self.SIZE)


class HttpsUpdateTest(HttpUpdateTest):
    """The same client over HTTPS: a certificate from a trusted authority works, others do not."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.certs = Path(tempfile.mkdtemp(prefix="renewix-certs-"))
        trusted_test_authority(cls.certs)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    certificate = "server"
    host = "localhost"

    def setUp(self):
        super().setUp()
        serve_tls(self.server, self.certs, self.certificate)

    def configure(self, **primary):
        primary.setdefault("DocumentProtocol", "https://")
        primary.setdefault("DocumentAddress", f"{self.host}/updates/update.xml")
        if "FilesAddress" in primary:
            primary["FilesProtocol"] = "https://"
            primary["FilesAddress"] = primary["FilesAddress"].replace("127.0.0.1", self.host)
        super().configure(**primary)


class UntrustedHttpsTest(unittest.TestCase):
    """Servers whose certificate does not check out are refused, and nothing is installed."""

    def check_refused(self, certificate, host):
        case = HttpsUpdateTest("test_update_with_a_port_in_the_address")
        case.certificate, case.host = certificate, host
        case.setUp()
        try:
            case.configure()
            case.publish()
            log = case.run_client()
            self.assertIn("\tPrimary server error:\t", log)
            case.assert_nothing_installed(log)
            return log
        finally:
            case.tearDown()

    @classmethod
    def setUpClass(cls):
        HttpsUpdateTest.setUpClass()

    @classmethod
    def tearDownClass(cls):
        HttpsUpdateTest.tearDownClass()

    def test_unknown_authority_or_a_name_that_does_not_match(self):
        rows = [("stranger", "localhost",
                 "\tSecurity error:\tThere is no trust authority for the CA root certificate in the HTTPS request\r\n"),
                ("server", "127.0.0.1", None)]
        for certificate, host, reason in rows:
            with self.subTest(certificate=certificate, host=host):
                log = self.check_refused(certificate, host)
                if reason:
                    self.assertIn(reason, log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
