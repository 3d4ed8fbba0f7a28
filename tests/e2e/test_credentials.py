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


def fetch(port, log, *user):
    """Fetches update.xml from 127.0.0.1:`port` with the client's downloader; given a user
    (dialog title, name, password), beside a stand-in wizard, whose dialog that user answers
    with OK. What the fetch printed, and its log."""
    running = subprocess.Popen([str(WINE_RUN), str(BIN / "test_tool.exe"), "http-fetch", "http://", "127.0.0.1/update.xml",
                                str(port), "update.xml", windows_path(log), *(["wizard"] if user else [])],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if user:
        code, seen = answer(*user, "ok")
        if code != 0:
            raise AssertionError(f"answering the dialog failed ({code}): {seen}")
    out, _ = running.communicate(timeout=60)
    return out.decode().strip(), read_log(log)


class CredentialsTest(unittest.TestCase):
    def test_the_dialog_as_the_user_answers_it(self):
        # The prompt, an empty user name with the caret in it and a masked password, whatever
        # the kind; only OK or Enter gives what was typed.
        rows = [(1, "proxy", "proxyuser", "s3cret", "ok", "result=1 user=[proxyuser] password=[s3cret]"),
                (0, "website", "someone", "typed", "cancel", "result=2 user=[] password=[]"),
                (0, "website", "u", "p", "enter", "result=1 user=[u] password=[p]")]
        for kind, named, user, password, action, result in rows:
            with self.subTest(named, action=action):
                seen = prompt(kind, f"{named.capitalize()} username/password", user, password, action)
                self.assertEqual(seen, (f"prompt=[Enter your {named} logon credentials:] empty=1 masked=1 "
                                        "focus-on-user=1", result))


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

    def test_credentials_asked_and_given(self):
        out, log = fetch(self.server.server_address[1], self.folder / "fetch.log", "Website username/password",
                         "reader", "open sesame")
        self.assertEqual(out, "connected=1 body=[protected content]")
        self.assertIn("\t-- Website username:\treader\r\n", log)


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

    def test_proxy_credentials_asked_and_given(self):
        out, log = fetch(self.target.server_address[1], self.folder / "proxy.log", "Proxy username/password",
                         "proxyuser", "pw")
        self.assertEqual(out, "connected=1 body=[through the proxy]")
        self.assertIn("\t-- Proxy username:\tproxyuser\r\n", log)

    def test_silent_run_meets_a_proxy_that_wants_credentials(self):
        out, log = fetch(self.target.server_address[1], self.folder / "proxy.log")
        self.assertEqual(out, "connected=0 body=[]")
        self.assertIn("\tDisplay of proxy window will not occur. Terminating...\r\n", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
