"""The update wizard as a user walks through it: the real client under Xvfb, its sheet driven
from outside, against an HTTP server on 127.0.0.1 that the test starts."""

import unittest

from renewix_e2e import (BACK, CANCEL, FINISH, FULL_DOCUMENT, IDOK, NEXT, NO_UPDATE_DOCUMENT, ONE_FILE_DOCUMENT,
                         REGISTRY_KEY, button, control, delete_registry, file_held, free_port, page_kind,
                         registry_value, serve, set_registry, Site, start_client, stop_server, text_of, wait_exit,
                         wait_for, windows_path, WizardTestCase)


class FullUpdateTest(WizardTestCase):
    def test_check_now_with_terms_downloads_installs_and_restarts(self):
        self.configure()
        self.publish(FULL_DOCUMENT)
        held = self.site.hold("/updates/files/more.txt")
        restarted = self.app / "restarted.txt"
        viewer = start_client(self.app / "Viewer.exe")
        self.processes.append(viewer)
        client = self.start("CheckNow", "record", windows_path(restarted))

        # What each page shows is decided in the wizard's unit tests; here the real sheet's
        # window: its pages, their controls and the dialog manager. Pages set the sheet's
        # buttons a moment after they appear: wait for them as a user would.
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "checking" and not button(s, BACK)["visible"] and
                                       not button(s, NEXT)["visible"] and button(s, CANCEL)["enabled"],
                                       "the checking page with Cancel alone")
        self.assertEqual(sheet["caption"], "Example Viewer")
        link = next(item for item in sheet["controls"] if item["class"] == "RenewixHyperLink")
        # As wide as its text, left of Back; a tab stop.
        self.assertLess(link["rect"][2], button(sheet, BACK)["rect"][0])
        self.assertTrue(link["tabstop"])
        self.assertTrue(link["visible"])

        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "intro" and button(s, NEXT)["enabled"],
                                       "the intro with Next")
        self.assertEqual(text_of(sheet, 1037), "Version 2.0 of Example Viewer is here.")
        self.assertEqual(text_of(sheet, 1038), "Faster start-up.\r\nFewer crashes.")
        self.wizard.press(NEXT)

        # The terms open on the declining choice: Next is refused until the user accepts.
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "terms" and button(s, BACK)["enabled"], "the terms")
        self.assertEqual(text_of(sheet, 1016), "Use it well.")
        self.assertEqual(control(sheet["page"], 1016)["tabstop"], 0)
        self.assertTrue(self.wizard.refused(NEXT))
        # A click selects in the read-only terms but shows no caret.
        self.wizard.click(1016)
        self.wizard.wait_sheet(lambda s: s["focus"]["id"] == 1016 and s["caret"] == 0, "the terms focused, no caret")
        self.wizard.click(1030)
        self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled by the accepting choice")
        # Back and forth: the choice stays.
        self.wizard.press(BACK)
        self.wizard.wait_page("intro")
        self.wizard.press(NEXT)
        self.wizard.wait_sheet(lambda s: page_kind(s) == "terms" and button(s, NEXT)["enabled"], "Next still enabled")
        self.wizard.press(NEXT)

        # The server holds the second of three files; once it lets go, the page moves on by itself.
        sheet = self.wizard.wait_sheet(lambda s: text_of(s, 1002) == "Downloading file 2 / 3",
                                       "the second of three files")
        self.assertEqual(text_of(sheet, 1005), " 0.0 of 1.9 KB")  # nothing of its 1900 bytes yet
        self.assertTrue(control(sheet["page"], 1023)["visible"])  # the file bar, shown for several files
        held.set()
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "ready" and button(s, NEXT)["text"] == "Install" and
                                       not button(s, CANCEL)["visible"], "the ready page with its one button")
        self.assertEqual(control(sheet["page"], 1012)["checked"], 1)
        self.assertFalse(control(sheet["page"], 1052)["visible"])  # the installing bar
        self.assertEqual(button(sheet, NEXT)["rect"][:2], button(sheet, CANCEL)["rect"][:2])
        self.assertFalse(button(sheet, BACK)["visible"])
        self.wizard.press(NEXT)
        # Nothing to press while files are replaced.
        self.wizard.wait_sheet(lambda s: page_kind(s) == "installing" and not any(
            b["visible"] and b["rect"][0] >= 0 for b in s["controls"] if b["class"] == "Button"),
            "the installing page without buttons")
        self.assertEqual(wait_exit(client), 0)

        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data " * 200)
        self.assertEqual((self.app / "more.txt").read_text(), "more for version 2 " * 100)
        self.assertIn("2.0", registry_value(REGISTRY_KEY, "Version") or "")
        self.assertIn("<ApplicationVersion>2.0</ApplicationVersion>", self.status())
        self.assertNotIn("NoRepromptForVersion", self.status())
        self.assertTrue(self.log().endswith("\tEnd of recording\r\n"))
        # The program was closed for the installation and started again with its parameters.
        self.assertEqual(viewer.wait(timeout=60), 7)
        wait_for(lambda: restarted.exists() and restarted.stat().st_size, "the program restarted")
        self.assertTrue(restarted.read_text().rstrip().endswith("record " + windows_path(restarted)))


class TransferFailureTest(WizardTestCase):
    def test_transfer_failure_closes_the_wizard_and_installs_nothing(self):
        self.configure()
        self.publish(FULL_DOCUMENT)
        # Shorter than the document lists: the transfer refuses it at once.
        (self.site.folder / "updates" / "files" / "more.txt").write_text("only part of it")
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
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        self.assertNotIn("Update was successful!", log)
        self.assertNotIn("<ApplicationVersion>2.0", self.status())


class FailedInstallationTest(WizardTestCase):
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
        self.assertIn("\tUnable to launch:\t" + windows_path(self.app) + "\\Viewer.exe\r\n", log)
        self.assertNotIn("<ApplicationVersion>2.0", self.status())
        self.assertTrue(log.endswith("\tEnd of recording\r\n"))


class CheckOutcomeTest(WizardTestCase):
    def finish_message(self, client, request="press"):
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "message" and button(s, FINISH)["visible"] and
                                       not button(s, CANCEL)["visible"], "the message with Finish alone")
        self.assertEqual(button(sheet, FINISH)["rect"][:2], button(sheet, CANCEL)["rect"][:2])
        self.assertFalse(button(sheet, BACK)["visible"])
        if request == "press":
            self.wizard.press(FINISH)
        else:
            # Sent: a question about cancelling would keep this waiting.
            self.wizard.send(request)
        self.assertEqual(wait_exit(client), 0)
        return sheet

    def test_check_outcomes_are_said_on_the_message_page(self):
        self.publish(NO_UPDATE_DOCUMENT)
        # Asked to confirm cancelling, the close box still ends the message at once, like its Finish.
        rows = [({"ConfirmCancel": "1"}, "close-now", "Nothing new for Example Viewer today."),
                ({"port": free_port()}, "press", "The update server cannot be reached.\r\nPlease try again later.")]
        for options, request, text in rows:
            with self.subTest(text):
                self.configure(**options)
                sheet = self.finish_message(self.start("CheckNow"), request)
                self.assertEqual(text_of(sheet, 1044), text)

    def test_default_mode_without_update_closes_by_itself(self):
        self.configure()
        self.publish(NO_UPDATE_DOCUMENT.replace("<UpdateNotNeeded>", "<Other>").replace("</UpdateNotNeeded>", "</Other>"))
        launched = self.app / "launched.txt"
        # Which page, if any, follows the check is in CheckDone.NextPageAndMessageFollowFromTheFacts.
        self.assertEqual(wait_exit(self.start("record", windows_path(launched))), 0)
        self.assertIn("\tA software update is not available\r\n", self.log())
        # The program is launched after the check, with the client's own arguments.
        wait_for(lambda: launched.exists() and launched.stat().st_size, "the program launched")
        self.assertTrue(launched.read_text().rstrip().endswith("record " + windows_path(launched)))


SETTINGS_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"


class CredentialsTest(WizardTestCase):
    def tearDown(self):
        set_registry(SETTINGS_KEY, "ProxyEnable", "REG_DWORD", "0")
        delete_registry(SETTINGS_KEY, "ProxyServer")
        super().tearDown()

    def test_credentials_asked_over_the_wizard_and_used(self):
        """A web site, then a proxy, that want Basic credentials. A silent run that meets a
        challenge is in HttpConnect.AChallengeInASilentRunStopsWithoutCredentials."""
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        proxy_site = Site(self.site.folder)
        proxy = serve(proxy_site)
        self.addCleanup(stop_server, proxy)
        for named, user, password in (("Website", "reader", "open sesame"), ("Proxy", "proxyuser", "pw")):
            with self.subTest(named):
                if named == "Proxy":
                    self.site.credentials, proxy_site.proxy_credentials = None, f"{user}:{password}"
                    set_registry(SETTINGS_KEY, "ProxyEnable", "REG_DWORD", "1")
                    set_registry(SETTINGS_KEY, "ProxyServer", "REG_SZ", "127.0.0.1:%d" % proxy.server_address[1])
                else:
                    self.site.credentials = f"{user}:{password}"
                (self.app / "data.txt").write_text("version 1 data")
                (self.app / "RenewixStatus.xml").unlink(missing_ok=True)
                client = self.start("CheckNow")
                caption = f"{named} username/password"
                prompt = self.wizard.wait_dialog(caption)
                self.assertEqual(prompt["ownedBySheet"], 1)
                self.wizard.type(caption, 1053, user)
                self.wizard.type(caption, 1054, password)
                self.wizard.answer(caption, IDOK)
                self.wizard.wait_page("intro")
                self.wizard.press(NEXT)
                self.wizard.wait_page("ready")
                self.wizard.press(NEXT)
                self.assertEqual(wait_exit(client), 0)
                self.assertIn(f"\t-- {named} username:\t{user}\r\n", self.log())
                # The credentials given for the document fetched the update's file too.
                self.assertEqual((self.app / "data.txt").read_text(), "version 2 data " * 200)


if __name__ == "__main__":
    unittest.main(verbosity=2)
