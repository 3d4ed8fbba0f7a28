"""The credentials dialog as a user meets it, driven under Xvfb. The client asking for them over
its wizard, of a web site and of a proxy, is in test_wizard."""

import subprocess
import unittest

from renewix_e2e import BIN, WINE_RUN


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


if __name__ == "__main__":
    unittest.main(verbosity=2)
