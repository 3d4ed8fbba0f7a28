"""The credentials dialog as a user meets it, driven under Xvfb."""

import subprocess
import unittest

from renewix_e2e import BIN, WINE_RUN


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


if __name__ == "__main__":
    unittest.main(verbosity=2)
