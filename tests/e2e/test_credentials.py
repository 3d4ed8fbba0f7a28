"""The credentials dialog as a user meets it, driven under Xvfb."""

import base64
import http.server
import shutil
import subprocess
import tempfile
import threading
import unittest
from pathlib import Path

from renewix_e2e import BIN, WINE_RUN, read_log, windows_path


def prompt(kind, title, user, password, action):
    dialog = subprocess.Popen([str(WINE_RUN), str(BIN / "credentials_probe.exe"), str(kind)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    driver = subprocess.run([str(WINE_RUN), str(BIN / "dialog_driver.exe"), title, user, password, action],
                            capture_output=True, timeout=60)
    out, _ = dialog.communicate(timeout=60)
    return driver.stdout.decode().strip(), out.decode().strip()


class CredentialsTest(unittest.TestCase):
    def test_proxy_prompt_ok(self):
        seen, result = prompt(1, "Proxy username/password", "proxyuser", "s3cret", "ok")
        self.assertEqual(seen, "prompt=[Enter your proxy logon credentials:] empty=1 masked=1 focus-on-user=1")
        self.assertEqual(result, "result=1 user=[proxyuser] password=[s3cret]")

    def test_website_prompt_cancel_keeps_nothing(self):
        seen, result = prompt(0, "Website username/password", "someone", "typed", "cancel")
        self.assertIn("prompt=[Enter your website logon credentials:]", seen)
        self.assertEqual(result, "result=2 user=[] password=[]")

    def test_enter_is_ok(self):
        _, result = prompt(0, "Website username/password", "u", "p", "enter")
        self.assertEqual(result, "result=1 user=[u] password=[p]")


class Protected(http.server.BaseHTTPRequestHandler):
    """Answers 401 until the right Basic credentials arrive."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.headers.get("Authorization") != "Basic " + base64.b64encode(b"reader:open sesame").decode():
            self.send_response(401)
            self.send_header("WWW-Authenticate", 'Basic realm="updates"')
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        body = b"protected content"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class WebsiteCredentialsTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="renewix-auth-"))
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Protected)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def tearDown(self):
        self.server.shutdown()
        self.server.server_close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def fetch(self, user, password, action):
        log = self.folder / "fetch.log"
        fetch = subprocess.Popen([str(WINE_RUN), str(BIN / "http_fetch.exe"), "http://", "127.0.0.1/update.xml",
                                  str(self.server.server_address[1]), "update.xml", windows_path(log), "wizard"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        subprocess.run([str(WINE_RUN), str(BIN / "dialog_driver.exe"), "Website username/password", user, password,
                        action], capture_output=True, timeout=60)
        out, _ = fetch.communicate(timeout=60)
        return out.decode().strip(), read_log(log)

    def test_credentials_asked_and_given(self):
        result, log = self.fetch("reader", "open sesame", "ok")
        self.assertEqual(result, "connected=1 body=[protected content]")
        self.assertIn("\t-- Website username:\treader\r\n", log)

    def test_credentials_refused(self):
        result, log = self.fetch("reader", "wrong", "cancel")
        self.assertEqual(result, "connected=0 body=[]")
        self.assertIn("\tDisplay of website authentication window will not occur. Terminating...\r\n", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
