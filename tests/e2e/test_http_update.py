"""Silent updates over HTTP from a server on 127.0.0.1 that the test starts itself."""

import base64
import functools
import http.server
import os
import shutil
import ssl
import subprocess
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import (BIN, WINE_RUN, UpdateTestCase, file_entry, read_log, send_basic_challenge, send_cut_answer,
                         start_server, stop_server, update_document, windows_path)
from wizard_e2e import require_connected_wine

ERROR_PAGE = b"<html>not found</html>"


class Handler(http.server.SimpleHTTPRequestHandler):
    """Serves the server folder; some paths misbehave on purpose."""

    special = {}

    def log_message(self, *args):
        pass

    def do_GET(self):
        kind = self.special.get(self.path.split("?")[0])
        if kind == "auth" and self.headers.get("Authorization") != "Basic " + base64.b64encode(b"u:p").decode():
            send_basic_challenge(self)
            return
        if kind in ("404", "500", "403"):
            self.send_error(int(kind))
            return
        if kind == "404 of a listed size":
            # An error page exactly as long as the document says the file is.
            self.send_response(404)
            self.send_header("Content-Length", str(len(ERROR_PAGE)))
            self.end_headers()
            self.wfile.write(ERROR_PAGE)
            return
        if kind == "cut":
            send_cut_answer(self)
            return
        super().do_GET()


class HttpUpdateTest(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        require_connected_wine()

    def setUp(self):
        super().setUp()
        self.site = self.root / "site"
        Handler.special = {}
        self.server = start_server(functools.partial(Handler, directory=str(self.site)))
        self.port = self.server.server_address[1]

    def tearDown(self):
        stop_server(self.server)
        super().tearDown()

    def configure(self, **primary):
        self.configure_client(PrimaryServer={"DocumentProtocol": "http://", "DocumentPort": str(self.port),
                                             "DocumentAddress": "127.0.0.1/updates/update.xml", **primary})

    def publish(self, files_folder="updates"):
        self.publish_to(update_document(files=("data.txt", file_entry("more.txt", "files/sub/"))),
                        self.site / "updates" / "update.xml", files_folder=self.site / files_folder)

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

    def test_missing_file_is_explained(self):
        self.configure()
        self.publish()
        Handler.special = {"/updates/files/sub/more.txt": "404"}
        log = self.run_client()
        self.assertIn("\tLikely error; The file does not exist on the update server!\r\n", log)
        self.assertIn("\tFile transfer error occured\r\n", log)
        self.assert_nothing_installed(log)

    def test_an_error_page_is_never_taken_for_the_file(self):
        """A 404 answer as long as the listed file, for a document that gives no CRC: the status
        alone fails the transfer."""
        self.configure()
        (self.site / "updates").mkdir(parents=True)
        (self.site / "updates" / "update.xml").write_text(
            update_document(files=(file_entry("data.txt", Size=len(ERROR_PAGE), CRC="0"),)))
        Handler.special = {"/updates/files/data.txt": "404 of a listed size"}
        log = self.run_client()
        self.assertIn("\tHTTP status of the file request:\t404\r\n", log)
        self.assertIn("\tLikely error; The file does not exist on the update server!\r\n", log)
        self.assertIn("\tFile transfer error occured\r\n", log)
        self.assertNotIn("Moving files to directories", log)
        self.assertFalse((self.app / "RenewixFiles" / "UpdateFile1").exists())
        self.assert_nothing_installed(log)

    def test_body_cut_short_or_refused(self):
        self.configure()
        self.publish()
        for kind in ("cut", "500", "403"):
            with self.subTest(kind=kind):
                Handler.special = {"/updates/files/data.txt": kind}
                log = self.run_client()
                self.assertIn("\r\nFile download errors\r\n", log)
                self.assert_nothing_installed(log)

    def test_credentials_cannot_be_asked_in_a_silent_run(self):
        self.configure()
        self.publish()
        Handler.special = {"/updates/update.xml": "auth"}
        log = self.run_client()
        self.assertIn("\tDisplay of website authentication window will not occur. Terminating...\r\n", log)
        self.assertIn("\tPrimary server error:\thttp://127.0.0.1:%d/updates/update.xml\r\n" % self.port, log)
        self.assert_nothing_installed(log)


class StatusTextTest(unittest.TestCase):
    """What the user is told for each failing status of a file request."""

    def test_texts_by_status(self):
        root = Path(tempfile.mkdtemp(prefix="renewix-status-"))
        (root / "update.xml").write_text("<Renewix/>")
        (root / "ok.bin").write_text("fine")
        server = start_server(functools.partial(Handler, directory=str(root)))
        Handler.special = {"/f404": "404", "/f403": "403", "/f500": "500", "/f401": "auth"}
        expected = {
            "f404": ("Likely error; The file does not exist on the update server!", True),
            "f403": ("Access was denied. You cannot access the given server address.", False),
            "f401": ("Access was denied. You cannot access the given server address.", False),
            "f500": ("HTTP Error 500\r\n\r\nThe file may be missing, the size does not match the expected size", False),
            "ok.bin": ("The server call succeeded, but the file is either corrupt", True),
        }
        try:
            for name, (text, logged) in expected.items():
                with self.subTest(name=name):
                    log = root / "fetch.log"
                    result = subprocess.run([str(WINE_RUN), str(BIN / "http_fetch.exe"), "http://", "127.0.0.1/update.xml",
                                             str(server.server_address[1]), name, windows_path(log), "explain"],
                                            capture_output=True, timeout=60)
                    out = result.stdout.decode("utf-8", "replace")
                    self.assertIn("error=[" + text, out)
                    self.assertEqual(("\t" + text) in read_log(log), logged)
        finally:
            stop_server(server)
            shutil.rmtree(root, ignore_errors=True)


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class HttpsUpdateTest(HttpUpdateTest):
    """The same client over HTTPS: a certificate from a trusted authority works, others do not."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.certs = Path(tempfile.mkdtemp(prefix="renewix-certs-"))
        c = cls.certs
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
                "-subj", "/CN=Renewix Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=c)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
                "-subj", "/CN=localhost", cwd=c)
        (c / "ext.cnf").write_text("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n")
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-out", "server.pem", "-days", "30", "-extfile", "ext.cnf", cwd=c)
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "stranger.key", "-out", "stranger.pem",
                "-days", "30", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", cwd=c)
        openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=c)
        trusted = subprocess.run([str(WINE_RUN), str(BIN / "trust_certificate.exe"), windows_path(c / "ca.der")],
                                 capture_output=True)
        if trusted.returncode != 0:
            raise AssertionError("cannot trust the test authority: " + trusted.stdout.decode())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, ignore_errors=True)

    certificate = "server"
    host = "localhost"

    def setUp(self):
        super().setUp()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.certs / f"{self.certificate}.pem", self.certs / f"{self.certificate}.key")
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)

    def configure(self, **primary):
        primary.setdefault("DocumentProtocol", "https://")
        primary.setdefault("DocumentAddress", f"{self.host}/updates/update.xml")
        if "FilesAddress" in primary:
            primary["FilesProtocol"] = "https://"
            primary["FilesAddress"] = primary["FilesAddress"].replace("127.0.0.1", self.host)
        super().configure(**primary)

    # Over TLS only fetching differs: the refusals and error texts above are the same code as
    # over HTTP, and run once.
    test_missing_file_is_explained = test_an_error_page_is_never_taken_for_the_file = None
    test_body_cut_short_or_refused = test_credentials_cannot_be_asked_in_a_silent_run = None


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

    def test_unknown_authority(self):
        log = self.check_refused("stranger", "localhost")
        self.assertIn("\tSecurity error:\tThere is no trust authority for the CA root certificate in the HTTPS request\r\n",
                      log)

    def test_name_that_does_not_match(self):
        self.check_refused("server", "127.0.0.1")


if __name__ == "__main__":
    unittest.main(verbosity=2)
