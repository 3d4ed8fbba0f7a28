"""Leaving the wizard before the end, and updates that fail: what the user is asked, what is
left on disk, and that the run still ends in order."""

import unittest

from renewix_e2e import (BACK, CANCEL, FINISH, FtpServer, FULL_DOCUMENT, IDNO, IDOK, IDYES, NEXT, ONE_FILE_DOCUMENT,
                         WAIT, button, file_held, page_kind, text_of, update_document, wait_exit, wait_for,
                         windows_path, WizardTestCase)

# A Cancel cuts a call that waits on the network short: the run ends within this many seconds,
# Wine's own process end included. The servers hold their answer until the test ends, and the
# client itself gives up on a silent server only after a minute (its receive time-out), so a
# Cancel that did not cut the wait would end the run only after this.
CANCEL_LIMIT = 30

CRITICAL_DOCUMENT = update_document(update_type="Critical", restart="No restart")


class CancelTest(WizardTestCase):
    def assert_nothing_installed(self, log):
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        self.assertNotIn("Update was successful!", log)
        self.assertTrue(log.endswith("\tEnd of recording\r\n"), log[-300:])

    def test_cancel_asks_first_no_keeps_the_wizard_and_yes_ends_it(self):
        self.configure(ConfirmCancel="1")
        self.publish(FULL_DOCUMENT)
        client = self.start("CheckNow")
        self.wizard.wait_page("intro")
        for request, answer in (("button", IDNO), ("escape", IDNO), ("close", IDNO), ("button", IDYES)):
            with self.subTest(request=request, answer=answer):
                if request == "button":
                    self.wizard.press(CANCEL)
                else:
                    self.wizard.send(request)
                box = self.wizard.wait_dialog("Example Viewer")
                self.assertIn("It is recommended to finish the update. Are you sure you want to cancel the update?",
                              [item["text"] for item in box["controls"]])
                self.wizard.answer("Example Viewer", answer)
                if answer == IDNO:
                    self.wizard.wait_no_dialog("Example Viewer")
                    self.wizard.wait_page("intro")
        self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assert_nothing_installed(log)
        # The user declined this version: it is not offered again.
        self.assertIn("<NoRepromptForVersion>2.0</NoRepromptForVersion>", self.status())

    def test_cancel_while_the_server_holds_a_request_ends_the_run_at_once(self):
        """The server never answers while the run ends: the blocked read is cut short, and only
        the downloads that finished before it are kept."""
        self.configure()
        # A silent update in a run that stands in for the program downloads like any other.
        self.publish(update_document(files=("data.txt", "more.txt", "Viewer.exe"), license="Use it well."))
        # How the run is ended: the Cancel button, or the close box (WM_CLOSE from outside).
        rows = [("/updates/update.xml", "CheckNow", "cancel", "\tCancelled by the user\r\n",
                 "Unable to load XML configuration", []),
                ("/updates/update.xml", "CheckNow", "close", "\tCancelled by the user\r\n",
                 "Unable to load XML configuration", []),
                ("/updates/files/more.txt", "report.txt", "cancel",
                 "\tCancelled by the user\r\n\tFile transfer cancelled:\tfiles/more.txt\r\n", "File transfer error occured",
                 ["data.txt"])]
        for path, keyword, ending, logged, not_logged, kept in rows:
            with self.subTest(path=path, ending=ending):
                held = self.site.hold(path)
                self.site.asked.discard(path)
                client = self.start(keyword)
                if keyword == "CheckNow":
                    self.wizard.wait_page("checking")
                else:
                    self.wizard.wait_page("intro")
                    self.wizard.press(NEXT)
                    self.wizard.wait_page("terms")
                    self.wizard.click(1030)
                    self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled")
                    self.wizard.press(NEXT)
                wait_for(lambda: path in self.site.asked, f"{path} asked for", limit=WAIT)
                if ending == "cancel":
                    self.wizard.press(CANCEL)
                else:
                    self.wizard.send("close")
                self.assertEqual(wait_exit(client, timeout=CANCEL_LIMIT), 0)
                held.set()
                log = self.log()
                self.assertIn(logged, log)
                self.assertNotIn(not_logged, log)
                self.assert_nothing_installed(log)
                downloads = self.app / "RenewixFiles"
                self.assertEqual(sorted(p.read_bytes() for p in downloads.iterdir()) if downloads.exists() else [],
                                 [(self.release / "files" / name).read_bytes() for name in kept])
        self.assertFalse((self.app / "more.txt").exists())

        # FTP, whose login waits for a greeting that never comes (the client always uses port 21).
        self.configure(protocol="ftp://")
        (self.app / "RenewixLog.txt").unlink(missing_ok=True)
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

    def test_next_cannot_be_forced_past_the_terms_or_an_unfinished_download(self):
        self.configure(ConfirmCancel="1")
        self.publish(FULL_DOCUMENT)
        held = self.site.hold("/updates/files/more.txt")
        client = self.start("CheckNow")
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
        self.wizard.answer("Example Viewer", IDNO)
        self.wizard.wait_no_dialog("Example Viewer")
        self.assertEqual(page_kind(self.wizard.state()["sheets"][0]), "download")
        held.set()
        self.wizard.wait_page("ready")
        self.wizard.send("close-wizard")
        self.assertEqual(wait_exit(client), 0)

    def test_closing_the_wizard_also_closes_the_prompt_over_it(self):
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        self.site.credentials = "reader:open sesame"
        client = self.start("CheckNow")
        self.wizard.wait_dialog("Website username/password")
        self.wizard.send("close-wizard")
        # The check thread that shows the prompt is joined: the prompt goes, the run ends.
        self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assertIn("\tDisplay of website authentication window will not occur. Terminating...\r\n", log)
        self.assert_nothing_installed(log)

    def test_critical_update_cannot_be_cancelled_from_the_first_page(self):
        self.configure(ConfirmCancel="1")
        self.publish(CRITICAL_DOCUMENT)
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

    def test_critical_update_can_be_left_by_declining_its_terms(self):
        self.configure()
        self.publish(update_document(update_type="Critical", restart="No restart", license="Use it well."))
        client = self.start("CheckNow")
        self.wizard.wait_page("intro")
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

    def test_critical_update_found_by_a_check_now_locks_the_intro(self):
        self.configure(ConfirmCancel="1")
        self.publish(CRITICAL_DOCUMENT)
        client = self.start("CheckNow")
        sheet = self.wizard.wait_page("intro")
        self.assertFalse(button(sheet, CANCEL)["enabled"])
        self.wizard.send("escape")
        self.wizard.press(NEXT)
        self.wizard.wait_page("ready")
        self.wizard.press(NEXT)
        self.assertEqual(wait_exit(client), 0)
        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data " * 200)


class FailureTest(WizardTestCase):
    def test_transfer_failure_closes_the_wizard_and_installs_nothing(self):
        self.configure()
        self.publish(FULL_DOCUMENT)
        self.site.cut.add("/updates/files/more.txt")
        client = self.start("CheckNow")
        self.wizard.wait_page("intro")
        self.wizard.press(NEXT)
        self.wizard.wait_page("terms")
        self.wizard.click(1030)
        self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled")
        self.wizard.press(NEXT)
        box = self.wizard.wait_dialog("File download error")
        self.assertTrue(any("Filename: files/more.txt" in item["text"] for item in box["controls"]))
        self.wizard.answer("File download error", IDOK)
        self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assertIn("\tFile transfer error occured\r\n", log)
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        self.assertNotIn("Update was successful!", log)
        self.assertNotIn("<ApplicationVersion>2.0", self.status())

    def test_failed_installation_is_reported_and_the_program_still_started(self):
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        (self.app / "Viewer.exe").unlink()  # a launch then leaves its failure in the log
        with file_held(self.app / "data.txt"):
            # Launch after check: the program starts once the wizard is done, installed or not.
            client = self.start("report.txt")
            self.wizard.wait_page("intro")
            self.wizard.press(NEXT)
            self.wizard.wait_page("ready")
            self.wizard.press(NEXT)
            message = self.wizard.wait_page("message")
            self.assertEqual(text_of(message, 1044), "An error occured during the update process. Check the log "
                                                     "file for details and email support for assistance.")
            self.wizard.press(FINISH)
            self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assertIn("\r\nThe update could not complete due to file errors.\r\n", log)
        self.assertIn("\tUnable to launch:\t" + windows_path(self.app) + "\\Viewer.exe\r\n", log)
        self.assertNotIn("<ApplicationVersion>2.0", self.status())
        self.assertTrue(log.endswith("\tEnd of recording\r\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
