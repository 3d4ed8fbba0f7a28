"""Silent updates over FTP from a real FTP server (pyftpdlib) on 127.0.0.1 port 21, which
each test starts with the users, files and misbehaviour it needs and stops afterwards."""

import base64
import os
import time
import unittest

from renewix_e2e import (NEXT, commands, FtpServer, openssl_key, read_log, release_files, require_connected_wine,
                         start_client, update_document, UpdateTestCase, wait_exit, wait_for, windows_path, Wizard)

# 2020-05-17 00:00 UTC: old enough to be listed with its day only. The client takes the
# listed day (Wine reads such a listing as noon of that day).
STAMP = 1_589_673_600
DAY = 24 * 60 * 60
BIG_SIZE = 3 * 1024 * 1024
# The server resets the big file's data connection after this much: far more than the
# socket buffers hold, so the client has accepted the connection and is reading.
DROP_AFTER = 1024 * 1024

# A source folder written the Windows way: the client asks the server for it with slashes.
FILES = release_files("files\\sub\\")
# Servers drop idle control connections; this one soon, so that a test can wait for it.
IDLE_TIMEOUT = 10
IDLE_DROP_LIMIT = 60


class FtpUpdateTest(UpdateTestCase):
    @classmethod
    def setUpClass(cls):
        require_connected_wine()

    def setUp(self):
        super().setUp()
        self.started = time.time()
        self.home = self.root / "home"
        self.home.mkdir()
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.stop()
        super().tearDown()

    def start_server(self, *options):
        self.server = FtpServer(self.root, "--user", f"renewix:s3cret:{self.home}", *options)

    def configure(self, security=None, application=None, **primary):
        server = {"DocumentProtocol": "ftp://", "DocumentAddress": "127.0.0.1/upd/update.xml",
                  "DocumentUser": "renewix", "DocumentPassword": "s3cret", **primary}
        self.configure_client(PrimaryServer=server, Security=security or {}, Application=application or {})

    def publish(self, folder, files=FILES, update_type="Silent", options=("--utf16",)):
        self.publish_to(update_document(files=files, update_type=update_type), folder / "update.xml", *options)

    def test_document_in_a_folder_shares_one_connection_with_the_files(self):
        # Its data.txt is left out of the server's listings: fetched anyway, it keeps its own time.
        self.publish(self.home / "upd")
        for name in ("data.txt", "sub/more.txt"):
            os.utime(self.home / "upd" / "files" / name, (STAMP, STAMP))
        self.start_server("--hide", "data.txt")
        # The client always uses port 21, whatever is configured.
        self.configure(DocumentPort="2121")
        log = self.run_client()
        self.assert_updated(log)
        # The time the directory search listed became the file's time.
        listed = (self.app / "more.txt").stat().st_mtime
        self.assertTrue(STAMP <= listed < STAMP + DAY, listed)
        self.assertGreaterEqual((self.app / "data.txt").stat().st_mtime, self.started - 2)

        sessions = self.server.sessions()
        self.assertEqual(len(sessions), 1, self.server.log())
        session = sessions[0]
        self.assertEqual(commands(session, "USER"), ["renewix"])
        self.assertEqual(commands(session, "RETR"), ["upd/update.xml", "upd/files/data.txt", "upd/files/sub/more.txt"])
        self.assertIn("I", commands(session, "TYPE"))
        # Active mode: the client listens, the server connects.
        self.assertTrue(commands(session, "PORT") or commands(session, "EPRT"))
        self.assertFalse(commands(session, "PASV") or commands(session, "EPSV"))

    def test_document_published_without_utf16_is_refused_with_the_reason(self):
        self.publish(self.home / "upd", options=())
        self.start_server()
        self.configure()
        log = self.run_client()
        self.assertIn("\tUpdate document is not UTF-16LE text with a byte order mark:\t"
                      "ftp://127.0.0.1/upd/update.xml\r\n\tA document served over FTP must be stored as UTF-16LE text with a byte order mark "
                      "(RenewixPublish.exe --utf16).\r\n", log)
        self.assert_nothing_installed(log)

    def test_signed_document_and_connection_dropped_while_the_user_reads_the_first_page(self):
        # The check's connection waits for the downloads as long as the user reads the pages. A
        # client that carries a key checks the UTF-16 document before parsing it; one changed
        # after signing is refused in SessionTest.WithTrustedKeysOnlySignedBytesAreUsed.
        pem, public = openssl_key(self.root, "vendor")
        self.publish(self.home / "upd", update_type=None,
                     options=("--utf16", "--key", windows_path(pem), "--expires", "1d"))
        self.start_server("--idle-timeout", str(IDLE_TIMEOUT))
        self.configure(application={"CheckNowKeyword": "CheckNow", "ApplicationName": "Example Viewer"},
                       security={"TrustedKeys": base64.b64encode(public).decode()})
        wizard = Wizard(self.client)
        client = start_client(self.client, "CheckNow", log=self.app / "RenewixLog.txt")
        try:
            wizard.wait_page("intro")
            wait_for(lambda: "421 Control connection timed out." in self.server.log(), "the idle connection dropped",
                     limit=IDLE_DROP_LIMIT)
            wizard.press(NEXT)
            wizard.wait_page("ready")
            wizard.press(NEXT)
            self.assertEqual(wait_exit(client), 0)
        finally:
            if client.poll() is None:
                client.kill()
                client.wait()
        log = read_log(self.app / "RenewixLog.txt")
        self.assertIn("\tSignature verified, signing key:\t", log)
        self.assertIn("\tConnecting again to:\tftp://127.0.0.1/upd/update.xml\r\n", log)
        self.assert_updated(log)
        sessions = self.server.sessions()
        self.assertEqual(len(sessions), 2)
        self.assertEqual(commands(sessions[1], "RETR"), ["upd/files/data.txt", "upd/files/sub/more.txt"])

    def test_data_connection_dropped_mid_file(self):
        line = b"Renewix FTP test data, line after line.\n"
        (self.release / "files" / "big.bin").write_bytes((line * (BIG_SIZE // len(line) + 1))[:BIG_SIZE])
        self.publish(self.home / "upd", files=FILES + ("big.bin",))
        big = self.home / "upd" / "files" / "big.bin"
        self.start_server("--drop", f"{big}:{DROP_AFTER}")
        self.configure()
        log = self.run_client()
        self.assertIn("reset the data connection after", self.server.log())
        # Fetched again over a new connection, the part that had arrived skipped.
        self.assertIn("\tConnecting again to:\tftp://127.0.0.1/upd/update.xml\r\n", log)
        self.assertNotIn("File download errors", log)
        self.assert_updated(log)
        self.assertEqual((self.app / "big.bin").read_bytes(), big.read_bytes())
        fetches = [name for session in self.server.sessions() for name in commands(session, "RETR")]
        self.assertEqual(fetches.count("upd/files/big.bin"), 2)
        # The second fetch asked the server to start where the first stopped.
        restarts = [int(at) for session in self.server.sessions() for at in commands(session, "REST")]
        self.assertEqual(len(restarts), 1, self.server.log())
        self.assertTrue(0 < restarts[0] <= DROP_AFTER, restarts)


if __name__ == "__main__":
    unittest.main(verbosity=2)
