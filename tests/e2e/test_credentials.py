"""The credentials dialog as a user meets it, driven under Xvfb."""

import base64
import http.server
import shutil
import subprocess
import tempfile
import unittest
import urllib.request
from pathlib import Path

from renewix_e2e import BIN, WINE_RUN, read_log, start_server, stop_server, windows_path


def answer(title, user, password, action):
    """Acts as the user at a credentials dialog another program shows: (exit code, what it saw)."""
    driver = subprocess.run([str(WINE_RUN), str(BIN / "test_tool.exe"), "answer-credentials", title, user, password,
                             action], capture_output=True, timeout=180)
    return driver.returncode, driver.stdout.decode().strip()


def prompt(kind, title, user, password, action):
    dialog = subprocess.Popen([str(WINE_RUN), str(BIN / "test_tool.exe"), "credentials", str(kind)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    code, seen = answer(title, user, password, action)
    out, _ = dialog.communicate(timeout=60)
    return (seen if code == 0 else f"driver failed ({code}): {seen}"), out.decode().strip()


def drive(title, user, password, action):
    """Fails the test when the user cannot answer the dialog."""
    code, seen = answer(title, user, password, action)
    if code != 0:
        raise AssertionError(f"answering the dialog failed ({code}): {seen}")


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


class Quiet(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def challenged(self, header, secret, status, challenge):
        """Answers `status` with a Basic challenge unless `header` carries `secret`; true when it did."""
        if self.headers.get(header) == "Basic " + base64.b64encode(secret).decode():
            return False
        self.send_response(status)
        self.send_header(challenge, 'Basic realm="updates"')
        self.send_header("Content-Length", "0")
        self.end_headers()
        return True

    def answer(self, body):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Protected(Quiet):
    """Answers 401 until the right Basic credentials arrive."""

    def do_GET(self):
        if not self.challenged("Authorization", b"reader:open sesame", 401, "WWW-Authenticate"):
            self.answer(b"protected content")


class WebsiteCredentialsTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="renewix-auth-"))
        self.server = start_server(Protected)

    def tearDown(self):
        stop_server(self.server)
        shutil.rmtree(self.folder, ignore_errors=True)

    def fetch(self, user, password, action):
        log = self.folder / "fetch.log"
        fetch = subprocess.Popen([str(WINE_RUN), str(BIN / "test_tool.exe"), "http-fetch", "http://",
                                  "127.0.0.1/update.xml", str(self.server.server_address[1]), "update.xml",
                                  windows_path(log), "wizard"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        drive("Website username/password", user, password, action)
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


class Proxy(Quiet):
    """A proxy that answers 407 until the right proxy credentials arrive, then fetches for the client."""

    def do_GET(self):
        if self.challenged("Proxy-Authorization", b"proxyuser:pw", 407, "Proxy-Authenticate"):
            return
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(self.path, timeout=10) as answer:
            self.answer(answer.read())


class Plain(Quiet):
    def do_GET(self):
        self.answer(b"through the proxy")


SETTINGS_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"


def reg(*args):
    subprocess.run([str(WINE_RUN), "reg", *args], capture_output=True)


class ProxyCredentialsTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="renewix-proxy-"))
        self.target, self.proxy = start_server(Plain), start_server(Proxy)
        reg("add", SETTINGS_KEY, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
        reg("add", SETTINGS_KEY, "/v", "ProxyServer", "/t", "REG_SZ", "/d",
            "127.0.0.1:%d" % self.proxy.server_address[1], "/f")

    def tearDown(self):
        reg("add", SETTINGS_KEY, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "0", "/f")
        reg("delete", SETTINGS_KEY, "/v", "ProxyServer", "/f")
        stop_server(self.target)
        stop_server(self.proxy)
        shutil.rmtree(self.folder, ignore_errors=True)

    def fetch(self, *wizard):
        log = self.folder / "proxy.log"
        return subprocess.Popen([str(WINE_RUN), str(BIN / "test_tool.exe"), "http-fetch", "http://",
                                 "127.0.0.1/update.xml", str(self.target.server_address[1]), "update.xml",
                                 windows_path(log), *wizard],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL), log

    def test_proxy_credentials_asked_and_given(self):
        fetch, log = self.fetch("wizard")
        drive("Proxy username/password", "proxyuser", "pw", "ok")
        out, _ = fetch.communicate(timeout=60)
        self.assertEqual(out.decode().strip(), "connected=1 body=[through the proxy]")
        self.assertIn("\t-- Proxy username:\tproxyuser\r\n", read_log(log))

    def test_silent_run_meets_a_proxy_that_wants_credentials(self):
        fetch, log = self.fetch()
        out, _ = fetch.communicate(timeout=60)
        self.assertEqual(out.decode().strip(), "connected=0 body=[]")
        self.assertIn("\tDisplay of proxy window will not occur. Terminating...\r\n", read_log(log))


if __name__ == "__main__":
    unittest.main(verbosity=2)
