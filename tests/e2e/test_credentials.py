"""The credentials dialog as a user meets it, driven under Xvfb."""

import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from renewix_e2e import (BIN, WINE_RUN, delete_registry, read_log, serve, set_registry, Site, stop_server,
                         windows_path)


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


SETTINGS_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"


class ServerCredentialsTest(unittest.TestCase):
    """A web site and a proxy that want Basic credentials, asked of the user in a wizard."""

    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="renewix-auth-"))
        (self.folder / "update.xml").write_text("the update document")
        self.site, self.proxy_site = Site(self.folder), Site(self.folder)
        self.target, self.proxy = serve(self.site), serve(self.proxy_site)

    def tearDown(self):
        set_registry(SETTINGS_KEY, "ProxyEnable", "REG_DWORD", "0")
        delete_registry(SETTINGS_KEY, "ProxyServer")
        stop_server(self.target)
        stop_server(self.proxy)
        shutil.rmtree(self.folder, ignore_errors=True)

    def use_proxy(self, credentials):
        self.proxy_site.proxy_credentials = credentials
        set_registry(SETTINGS_KEY, "ProxyEnable", "REG_DWORD", "1")
        set_registry(SETTINGS_KEY, "ProxyServer", "REG_SZ", "127.0.0.1:%d" % self.proxy.server_address[1])

    def test_credentials_asked_and_given(self):
        for named, user, password in (("Website", "reader", "open sesame"), ("Proxy", "proxyuser", "pw")):
            with self.subTest(named):
                if named == "Proxy":
                    self.use_proxy(f"{user}:{password}")
                else:
                    self.site.credentials = f"{user}:{password}"
                out, log = fetch(self.target.server_address[1], self.folder / "fetch.log",
                                 f"{named} username/password", user, password)
                self.assertEqual(out, "connected=1 body=[the update document]")
                self.assertIn(f"\t-- {named} username:\t{user}\r\n", log)
                self.site.credentials = None

    def test_silent_run_meets_a_proxy_that_wants_credentials(self):
        self.use_proxy("proxyuser:pw")
        out, log = fetch(self.target.server_address[1], self.folder / "proxy.log")
        self.assertEqual(out, "connected=0 body=[]")
        self.assertIn("\tDisplay of proxy window will not occur. Terminating...\r\n", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
