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
import zlib
from pathlib import Path

from renewix_e2e import (BIN, WINE_RUN, UpdateTestCase, describe, file_entry, openssl_key, read_log, run_tool,
                         send_basic_challenge, send_cut_answer, start_server, stop_server, update_document,
                         windows_path)
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


BIG = "/updates/files/big.bin"
BLOCK = 256 * 1024  # the client's largest read: what a cut may cost twice


class RangeHandler(Handler):
    """The big file answers Range and If-Range (a strong ETag) and follows the test's plan, one
    step per request: "cut" (stop at 40% and close), "stale cut" (the same, of an older version
    under another ETag), "fail" (503) or, when the plan is done, "serve"."""

    plan = []
    stale = b""
    sent = []  # per request of the big file: (Range, If-Range, status, body bytes sent)

    def do_GET(self):
        if self.path != BIG:
            super().do_GET()
            return
        action = self.plan.pop(0) if self.plan else "serve"
        body = (Path(self.directory) / BIG.lstrip("/")).read_bytes()
        tag = '"%08x"' % zlib.crc32(body)
        if action == "stale cut":
            body, tag = self.stale, '"old"'
        asked, condition = self.headers.get("Range"), self.headers.get("If-Range")
        if action == "fail":
            self.send_error(503)
            self.sent.append((asked, condition, 503, 0))
            return
        start = int(asked[6:].split("-")[0]) if asked and asked.startswith("bytes=") and condition == tag else 0
        self.send_response(206 if start else 200)
        self.send_header("Content-Length", str(len(body) - start))
        self.send_header("ETag", tag)
        if start:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body)))
        self.end_headers()
        end = len(body) if action == "serve" else start + len(body) * 2 // 5
        self.wfile.write(body[start:end])
        self.sent.append((asked, condition, 206 if start else 200, end - start))
        if end < len(body):
            self.close_connection = True


class BigFileTestCase(UpdateTestCase):
    """2.0 with a 20 MiB big.bin beside data.txt and sub/more.txt, served from site/updates by
    the class's handler."""

    SIZE = 20 << 20
    handler = Handler

    @classmethod
    def setUpClass(cls):
        require_connected_wine()

    def serve(self, big, *publish_options, **sections):
        self.site = self.root / "site"
        (self.release / "files" / "big.bin").write_bytes(big)
        self.server = start_server(functools.partial(self.handler, directory=str(self.site)))
        self.configure_client(PrimaryServer={"DocumentProtocol": "http://",
                                             "DocumentPort": str(self.server.server_address[1]),
                                             "DocumentAddress": "127.0.0.1/updates/update.xml"}, **sections)
        self.publish_to(update_document(files=("data.txt", file_entry("more.txt", "files/sub/"), "big.bin")),
                        self.site / "updates" / "update.xml", *publish_options)

    def tearDown(self):
        stop_server(self.server)
        super().tearDown()


class ResumeTest(BigFileTestCase):
    """The server cuts the big file's transfer: the client goes on from where it stopped."""

    handler = RangeHandler

    def setUp(self):
        super().setUp()
        RangeHandler.plan, RangeHandler.sent, RangeHandler.stale = [], [], b""
        self.big = os.urandom(self.SIZE)
        self.serve(self.big)

    def assert_big_installed(self, log):
        self.assert_updated(log)
        self.assertEqual((self.app / "big.bin").read_bytes(), self.big)
        # Written once: WinINet kept no copy of it in its cache.
        cache = Path(os.environ["WINEPREFIX"]) / "drive_c" / "users"
        cached = [p for p in cache.glob("*/AppData/Local/Microsoft/Windows/INetCache/**/*")
                  if p.is_file() and p.stat().st_size >= self.SIZE // 2]
        self.assertEqual(cached, [])
        # The server sent the file once, but for what a cut cost.
        self.assertLessEqual(sum(sent for *_, sent in RangeHandler.sent), self.SIZE + BLOCK)

    def test_a_cut_transfer_goes_on_in_the_same_run(self):
        RangeHandler.plan = ["cut"]
        log = self.run_client()
        self.assert_big_installed(log)
        (first, _, _, cut), (asked, condition, status, _) = RangeHandler.sent
        self.assertEqual(first, None)
        self.assertEqual(status, 206)
        self.assertEqual(condition, '"%08x"' % zlib.crc32(self.big))
        start = int(asked[6:-1])
        self.assertTrue(cut - BLOCK <= start <= cut, (start, cut))
        self.assertIn("\tDownload continued from byte:\tfiles/big.bin, %d\r\n" % start, log)

    def test_a_file_that_changed_meanwhile_is_fetched_whole(self):
        RangeHandler.plan, RangeHandler.stale = ["stale cut"], os.urandom(self.SIZE)
        log = self.run_client()
        self.assertEqual([(condition, status) for _, condition, status, _ in RangeHandler.sent],
                         [(None, 200), ('"old"', 200)])
        self.assert_updated(log)
        self.assertEqual((self.app / "big.bin").read_bytes(), self.big)

    def test_the_next_run_goes_on_from_what_the_last_one_kept(self):
        # The new attempt after the cut meets an error page: the run fails and keeps the bytes.
        RangeHandler.plan = ["cut", "fail"]
        log = self.run_client()
        self.assert_nothing_installed(log)
        kept = list((self.app / "RenewixFiles").glob("*.partial"))
        self.assertEqual(len(kept), 1, log)
        size = kept[0].stat().st_size
        self.assertEqual(kept[0].read_bytes(), self.big[:size])
        log = self.run_client()
        self.assert_big_installed(log)
        self.assertIn("\tDownload continued from byte:\tfiles/big.bin, %d\r\n" % size, log)
        self.assertEqual(RangeHandler.sent[-1][:3], ("bytes=%d-" % size, '"%08x"' % zlib.crc32(self.big), 206))


class CountingHandler(Handler):
    """Counts the body bytes sent for each path."""

    sent = {}

    def copyfile(self, source, outputfile):
        data = source.read()
        outputfile.write(data)
        CountingHandler.sent[self.path] = CountingHandler.sent.get(self.path, 0) + len(data)


class PatchTest(BigFileTestCase):
    """A signed 2.0 whose big file changed in 1% of its bytes, published with patches against
    1.0: a client with 1.0 installed fetches the patch, any other fetches the file."""

    handler = CountingHandler

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
        CountingHandler.sent = {}
        self.serve(self.v2, "--key", windows_path(key), "--previous", windows_path(self.root / "previous"),
                   Security={"TrustedKeys": self.public})
        self.patch = self.site / "updates" / "files" / "big.bin.patch"

    def test_verify_checks_the_patches_beside_the_document(self):
        document = windows_path(self.site / "updates" / "update.xml")
        checked = run_tool(BIN / "RenewixPublish.exe", "verify", document, "--public-key", self.public)
        self.assertEqual(checked.returncode, 0, describe(checked))
        self.assertIn(b"patches: 1 listed, 1 found beside the document", checked.stdout)
        patch = self.patch.read_bytes()
        self.patch.write_bytes(patch[:-1] + bytes([patch[-1] ^ 1]))
        damaged = run_tool(BIN / "RenewixPublish.exe", "verify", document, "--public-key", self.public)
        self.assertEqual(damaged.returncode, 1, describe(damaged))
        self.assertIn(b"big.bin.patch' is not the one listed for big.bin", damaged.stderr)

    def test_only_a_client_with_the_base_installed_fetches_the_patch(self):
        self.assertLess(self.patch.stat().st_size, self.SIZE // 20)
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
                CountingHandler.sent = {}
                log = self.run_client()
                self.assert_updated(log)
                self.assertEqual((self.app / "big.bin").read_bytes(), self.v2)
                fetched = sum(CountingHandler.sent.values())
                if patched:
                    self.assertIn("\tFile patched from a download of:\tfiles/big.bin.patch, %d\r\n" % len(patch), log)
                    self.assertNotIn("/updates/files/big.bin", CountingHandler.sent)
                    self.assertLess(fetched, self.SIZE // 20)
                else:
                    self.assertNotIn("File patched", log)
                    self.assertEqual(CountingHandler.sent.get("/updates/files/big.bin"), self.SIZE)


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
