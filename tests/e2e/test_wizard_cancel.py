"""Leaving the wizard before the end: what the user is asked, what is left on disk, and that the
run still ends in order. Which page refuses what is decided in the wizard's unit tests (PageFlow,
Cancel); here the requests come through the real sheet's window."""

import unittest

from renewix_e2e import (BACK, CANCEL, FtpServer, FULL_DOCUMENT, IDNO, IDYES, NEXT, WAIT, button, page_kind, text_of,
                         update_document, wait_exit, wait_for, WizardTestCase)

# A Cancel cuts a call that waits on the network short: the run ends within this many seconds,
# Wine's own process end included. The client gives up on a silent server only after a minute
# (its receive time-out), so a Cancel that did not cut the wait would end the run only after this.
CANCEL_LIMIT = 30


class CancelTest(WizardTestCase):
    def assert_nothing_installed(self, log):
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        self.assertNotIn("Update was successful!", log)
        self.assertTrue(log.endswith("\tEnd of recording\r\n"), log[-300:])

    def test_cancel_cuts_an_ftp_login_that_waits_for_its_greeting(self):
        # The client always uses port 21; the server never greets. The HTTP calls a Cancel cuts
        # are in DownloaderCancel.ACancelEndsACallBlockedOnASilentServer.
        self.configure(protocol="ftp://")
        server = FtpServer(self.root, "--silent")
        self.addCleanup(server.stop)
        client = self.start("CheckNow")
        self.wizard.wait_page("checking")
        wait_for(lambda: "test server: no greeting" in server.log(), "the FTP login begun", limit=WAIT)
        self.wizard.press(CANCEL)
        self.assertEqual(wait_exit(client, timeout=CANCEL_LIMIT), 0)
        log = self.log()
        self.assertIn("\tCancelled by the user\r\n", log)
        self.assertNotIn("No internet connection to", log)
        self.assert_nothing_installed(log)

    def test_cancel_asks_first_and_next_cannot_be_forced_past_the_terms_or_an_unfinished_download(self):
        self.configure(ConfirmCancel="1")
        self.publish(FULL_DOCUMENT)
        self.site.hold("/updates/files/more.txt")
        client = self.start("CheckNow")
        self.wizard.wait_page("intro")
        # Whatever asks to cancel, the user is asked first, and No keeps the wizard.
        for request in ("button", "escape", "close"):
            with self.subTest(request):
                if request == "button":
                    self.wizard.press(CANCEL)
                else:
                    self.wizard.send(request)
                self.wizard.wait_dialog("Example Viewer")
                self.wizard.answer("Example Viewer", IDNO)
                self.wizard.wait_no_dialog("Example Viewer")
                self.wizard.wait_page("intro")
        self.wizard.press(NEXT)
        self.wizard.wait_sheet(lambda s: page_kind(s) == "terms" and button(s, BACK)["enabled"], "the terms")
        # Requests are handled in order: Back after a refused Next (or a refused choice of the
        # download page by another program) leads to the intro; on the download page it would
        # do nothing.
        self.wizard.send("force-next")
        self.wizard.act("set-page", "4")
        self.wizard.press(BACK)
        self.wizard.wait_page("intro")
        self.wizard.press(NEXT)
        self.wizard.wait_page("terms")
        self.wizard.click(1030)
        self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled")
        self.wizard.press(NEXT)
        self.wizard.wait_sheet(lambda s: text_of(s, 1002) == "Downloading file 2 / 3", "the second file")
        # Escape after a refused Next or choice of the ready page asks to cancel the download;
        # on the ready page it could not.
        self.wizard.send("force-next")
        self.wizard.act("set-page", "5")
        self.wizard.send("escape")
        self.wizard.wait_dialog("Example Viewer")
        # The close box pressed while the question is up is the same request: no second box.
        self.wizard.send("close-now")
        self.assertEqual([d["caption"] for d in self.wizard.state()["dialogs"]], ["Example Viewer"])
        self.assertEqual(page_kind(self.wizard.state()["sheets"][0]), "download")
        # Yes cuts the held download short.
        self.wizard.answer("Example Viewer", IDYES)
        self.assertEqual(wait_exit(client, timeout=CANCEL_LIMIT), 0)
        self.assert_nothing_installed(self.log())
        # The user declined this version: it is not offered again.
        self.assertIn("<NoRepromptForVersion>2.0</NoRepromptForVersion>", self.status())

    def test_critical_update_cannot_be_cancelled_from_the_first_page(self):
        self.configure(ConfirmCancel="1")
        self.publish(update_document(update_type="Critical", restart="No restart"))
        # In the background the document is read before the wizard: the first page is locked.
        checking = self.wizard.watch_page("checking")
        client = self.start("0")
        sheet = checking()
        self.assertTrue(button(sheet, CANCEL)["visible"])
        self.assertFalse(button(sheet, CANCEL)["enabled"])
        self.assertTrue(self.wizard.refused(CANCEL))
        # Another process cannot read the sheet's system menu under Wine; the close request
        # (what the Close box sends) is refused exactly while that menu's Close is greyed.
        for request in ("escape", "close", "cancel-command"):
            self.wizard.send(request)
        # Requests are handled in order: had one ended the wizard, the intro would never show.
        sheet = self.wizard.wait_page("intro")
        self.assertFalse(button(sheet, CANCEL)["enabled"])
        self.assertEqual(self.wizard.state()["dialogs"], [])
        self.wizard.send("close-wizard")
        self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assertIn("\tCritical update: disabling close buttons\r\n", log)
        self.assert_nothing_installed(log)

    def test_critical_update_found_by_a_check_now_locks_the_intro_and_only_declined_terms_cancel(self):
        self.configure()
        self.publish(update_document(update_type="Critical", restart="No restart", license="Use it well."))
        client = self.start("CheckNow")
        # Only the intro tells a check now that the update is critical.
        sheet = self.wizard.wait_page("intro")
        self.assertFalse(button(sheet, CANCEL)["enabled"])
        # Had Escape ended the wizard, the terms would never show.
        self.wizard.send("escape")
        self.wizard.press(NEXT)
        # NO is selected at first: Cancel is there; accepting takes it away again.
        self.wizard.wait_sheet(lambda s: page_kind(s) == "terms" and button(s, CANCEL)["enabled"], "Cancel on the terms")
        self.wizard.click(1030)
        self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"] and not button(s, CANCEL)["enabled"],
                               "Next without Cancel")
        self.wizard.click(1031)
        self.wizard.press(CANCEL)
        self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assertIn("\tThe user declined the terms\r\n", log)
        self.assert_nothing_installed(log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
