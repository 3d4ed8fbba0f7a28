"""Silent updates over HTTP and HTTPS from a server on 127.0.0.1 that the test starts itself.
Where the files lie is decided in the Downloader unit tests."""

import base64
import os
import shutil
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import (FILES, openssl_key, require_connected_wine, serve, serve_tls, Site, stop_server,
                         trusted_test_authority, update_document, UpdateTestCase, wait_for, windows_path)


class HttpUpdateTest(UpdateTestCase):
    host = "127.0.0.1"
    protocol = "http://"

    @classmethod
    def setUpClass(cls):
        require_connected_wine()

    def setUp(self):
        super().setUp()
        self.site = Site(self.root / "site")
        self.server = self.start_server()

    def tearDown(self):
        stop_server(self.server)
        super().tearDown()

    def start_server(self):
        return serve(self.site)

    def configure_and_publish(self, *options, files=FILES, **sections):
        self.configure_client(PrimaryServer={"DocumentProtocol": self.protocol,
                                             "DocumentPort": str(self.server.server_address[1]),
                                             "DocumentAddress": f"{self.host}/updates/update.xml"}, **sections)
        self.publish_to(update_document(files=files), self.site.folder / "updates" / "update.xml", *options)

    def test_update_with_a_port_in_the_address(self):
        self.configure_and_publish()
        stamp = 1_500_000_000
        os.utime(self.site.folder / "updates" / "files" / "data.txt", (stamp, stamp))
        log = self.run_client()
        self.assert_updated(log)
        # The server's Last-Modified became the file's time.
        self.assertEqual(int((self.app / "data.txt").stat().st_mtime), stamp)
        self.assertNotIn("No internet connection", log)

    def test_a_client_with_the_base_installed_fetches_the_patch(self):
        """A signed 2.0 whose 20 MiB big.bin changed in 1% of its bytes, published with patches
        against 1.0, which is installed. Which base and patch may be used, and the whole file
        after a failed patch, are in PatchTest and SessionTest."""
        size = 20 << 20
        v1 = os.urandom(size)
        v2 = bytearray(v1)
        for start in range(0, size, size // 64):  # 64 runs, 1% of the bytes in all
            v2[start:start + size // 6400] = os.urandom(size // 6400)
        previous = self.root / "previous" / "files"
        previous.mkdir(parents=True)
        (previous / "big.bin").write_bytes(v1)
        (previous / "data.txt").write_text("version 1 data")
        (self.release / "files" / "big.bin").write_bytes(v2)
        (self.app / "big.bin").write_bytes(v1)
        key, public = openssl_key(self.root, "vendor")
        self.configure_and_publish("--key", windows_path(key), "--previous", windows_path(self.root / "previous"),
                                   files=FILES + ("big.bin",),
                                   Security={"TrustedKeys": base64.b64encode(public).decode()})
        patch = (self.site.folder / "updates" / "files" / "big.bin.patch").stat().st_size
        log = self.run_client()
        self.assert_updated(log)
        self.assertEqual((self.app / "big.bin").read_bytes(), v2)
        self.assertIn("\tFile patched from a download of:\tfiles/big.bin.patch, %d\r\n" % patch, log)
        self.assertNotIn("/updates/files/big.bin", self.site.sent)
        self.assertLess(sum(self.site.sent.values()), size // 20)

        # The patch damaged on the server: the whole file is fetched instead.
        served = self.site.folder / "updates" / "files" / "big.bin.patch"
        damaged = served.read_bytes()
        served.write_bytes(damaged[:100] + bytes([damaged[100] ^ 0xFF]) + damaged[101:])
        (self.app / "big.bin").write_bytes(v1)
        (self.app / "data.txt").write_text("version 1 data")
        (self.app / "more.txt").unlink(missing_ok=True)
        (self.app / "RenewixStatus.xml").unlink(missing_ok=True)
        self.site.sent = {}
        log = self.run_client()
        self.assert_updated(log)
        self.assertEqual((self.app / "big.bin").read_bytes(), v2)
        self.assertNotIn("File patched", log)
        # The server counts each piece after sending it: the client may be done first.
        wait_for(lambda: self.site.sent.get("/updates/files/big.bin") == size, "the whole file sent")


class HttpsUpdateTest(HttpUpdateTest):
    """The same client over HTTPS: a certificate from a trusted authority works, others do not."""

    host = "localhost"
    protocol = "https://"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.certs = Path(tempfile.mkdtemp(prefix="renewix-certs-"))
        trusted_test_authority(cls.certs)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    def start_server(self, certificate="server"):
        return serve_tls(serve(self.site), self.certs, certificate)

    def test_unknown_authority_or_a_name_that_does_not_match(self):
        rows = [("stranger", "localhost",
                 "\tSecurity error:\tThere is no trust authority for the CA root certificate in the HTTPS request\r\n"),
                ("server", "127.0.0.1", "\tPrimary server error:\t")]
        for certificate, host, reason in rows:
            with self.subTest(certificate=certificate, host=host):
                stop_server(self.server)
                self.server, self.host = self.start_server(certificate), host
                self.configure_and_publish()
                log = self.run_client()
                self.assertIn("\tPrimary server error:\t", log)
                self.assertIn(reason, log)
                self.assert_nothing_installed(log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
