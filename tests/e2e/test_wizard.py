"""The update wizard as a user walks through it: the real client under Xvfb, its sheet driven
from outside, against an HTTP server on 127.0.0.1 that the test starts."""

import time
import unittest

from renewix_e2e import (BACK, CANCEL, FINISH, FULL_DOCUMENT, IDOK, NEXT, NO_UPDATE_DOCUMENT, ONE_FILE_DOCUMENT,
                         REGISTRY_KEY, WAIT, button, free_port, page_kind, registry_value, text_of, wait_exit,
                         start_client, wait_for, windows_path, WizardTestCase)

class FullUpdateTest(WizardTestCase):
    def test_check_now_with_terms_downloads_installs_and_restarts(self):
        self.configure()
        self.publish(FULL_DOCUMENT)
        held = self.site.hold("/updates/files/more.txt")
        restarted = self.app / "restarted.txt"
        viewer = start_client(self.app / "Viewer.exe")
        self.processes.append(viewer)
        client = self.start("CheckNow", "record", windows_path(restarted))

        # Pages set the sheet's buttons a moment after they appear: wait for them as a user would.
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "checking" and not button(s, BACK)["visible"] and
                                       not button(s, NEXT)["visible"], "the checking page without Back and Next")
        self.assertIn("Checking for updates...", text_of(sheet, 1037))
        self.assertEqual(text_of(sheet, 1036), "Example Viewer")
        self.assertEqual(sheet["caption"], "Example Viewer")
        self.assertTrue(button(sheet, CANCEL)["enabled"])
        link = next(item for item in sheet["controls"] if item["class"] == "RenewixHyperLink")
        self.assertEqual(link["text"], "<A>Visit Example Ltd on-line</A>")
        self.assertTrue(link["visible"])
        # As wide as its text, left of Back; a tab stop.
        self.assertLess(link["rect"][2], button(sheet, BACK)["rect"][0])
        self.assertTrue(link["tabstop"])

        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "intro" and button(s, NEXT)["enabled"] and
                                       button(s, BACK)["visible"], "the intro with Next")
        self.assertEqual(text_of(sheet, 1037), "Version 2.0 of Example Viewer is here.")
        self.assertEqual(text_of(sheet, 1038), "Faster start-up.\r\nFewer crashes.")
        self.assertFalse(button(sheet, BACK)["enabled"])
        # The sheet's dialog manager takes Tab to the link too.
        for _ in range(6):
            focus = sheet["focus"]
            if focus["class"] == "RenewixHyperLink":
                break
            self.wizard.send("tab")
            sheet = self.wizard.wait_sheet(lambda s: s["focus"] != focus, "the focus moved by Tab")
        self.assertEqual(sheet["focus"]["class"], "RenewixHyperLink")
        self.wizard.press(NEXT)

        # The terms open on the declining choice: only Back.
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "terms" and button(s, BACK)["visible"] and
                                       button(s, BACK)["enabled"] and not button(s, NEXT)["enabled"],
                                       "the terms with Back only")
        self.assertEqual(text_of(sheet, 1016), "Use it well.")
        self.assertEqual(next(c for c in sheet["page"] if c["id"] == 1016)["tabstop"], 0)
        # A click selects in the read-only terms but shows no caret.
        self.wizard.click(1016)
        self.wizard.wait_sheet(lambda s: s["focus"]["id"] == 1016 and s["caret"] == 0, "the terms focused, no caret")
        self.assertEqual(text_of(sheet, 1030), "YES, I accept the terms and conditions of this license agreement!")
        accept, decline = (next(c for c in sheet["page"] if c["id"] == i) for i in (1030, 1031))
        self.assertEqual((accept["checked"], decline["checked"]), (0, 1))
        self.assertTrue(self.wizard.refused(NEXT))
        self.wizard.click(1030)
        sheet = self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled by the accepting choice")
        # Back and forth: the intro comes back as it was, and the choice stays.
        self.wizard.press(BACK)
        self.wizard.wait_page("intro")
        self.wizard.press(NEXT)
        sheet = self.wizard.wait_page("terms")
        self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next still enabled")
        self.wizard.press(NEXT)

        # The second of three files is held by the server: the page counts it.
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "download" and
                                       text_of(s, 1002) == "Downloading file 2 / 3", "the second of three files")
        self.assertEqual(text_of(sheet, 1006), " more.txt")
        self.assertEqual(text_of(sheet, 1005), " 0.0 of 1.9 KB")  # nothing of its 1900 bytes yet
        self.assertEqual((text_of(sheet, 1053), text_of(sheet, 1054)), ("All files", "This file"))
        self.assertTrue(next(c for c in sheet["page"] if c["id"] == 1023)["visible"])
        self.assertFalse(button(sheet, NEXT)["enabled"])
        self.assertTrue(button(sheet, CANCEL)["enabled"])
        data_size = (self.release / "files" / "data.txt").stat().st_size
        self.wizard.wait_sheet(lambda s: next(c for c in s["page"] if c["id"] == 1024)["position"] == data_size,
                               "the total bar at the first file's size")
        held.set()

        # Every file is there: the page moves on by itself to the ready page.
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "ready" and button(s, NEXT)["text"] == "Install" and
                                       not button(s, CANCEL)["visible"], "the ready page with its one button")
        restart = next(c for c in sheet["page"] if c["id"] == 1012)
        self.assertTrue(restart["visible"])
        self.assertEqual(restart["checked"], 1)
        self.assertEqual(restart["text"], "Restart Example Viewer automatically")
        self.assertTrue(text_of(sheet, 1045).startswith("All files for the update have been downloaded."))
        self.assertFalse(next(c for c in sheet["page"] if c["id"] == 1052)["visible"])
        install = button(sheet, NEXT)
        self.assertEqual(install["rect"][:2], button(sheet, CANCEL)["rect"][:2])
        self.assertFalse(button(sheet, CANCEL)["visible"])
        self.assertFalse(button(sheet, BACK)["visible"])
        self.wizard.press(NEXT)

        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "installing" and
                                       not any(b["visible"] and b["rect"][0] >= 0 for b in s["controls"]
                                               if b["class"] == "Button"), "the installing page without buttons")
        self.assertEqual(text_of(sheet, 1045), "Please wait...\r\nUpdating application files...")
        self.assertTrue(next(c for c in sheet["page"] if c["id"] == 1052)["visible"])
        self.assertFalse(next(c for c in sheet["page"] if c["id"] == 1012)["visible"])
        self.assertEqual(wait_exit(client), 0)

        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data " * 200)
        self.assertEqual((self.app / "more.txt").read_text(), "more for version 2 " * 100)
        self.assertIn("2.0", registry_value(REGISTRY_KEY, "Version") or "")
        self.assertIn("<ApplicationVersion>2.0</ApplicationVersion>", self.status())
        self.assertNotIn("NoRepromptForVersion", self.status())
        log = self.log()
        self.assertIn("\r\nChecking for updates...\r\n", log)
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertIn("\tRestarting the main application\r\n", log)
        self.assertTrue(log.endswith("\tEnd of recording\r\n"), log[-300:])
        # The program was closed for the installation and started again with its parameters.
        self.assertEqual(viewer.wait(timeout=60), 7)
        wait_for(lambda: restarted.exists() and restarted.stat().st_size, "the program restarted")
        self.assertTrue(restarted.read_text().rstrip().endswith("record " + windows_path(restarted)))

    def test_without_terms_intro_leads_to_download_and_no_restart_box(self):
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        held = self.site.hold("/updates/files/data.txt")
        client = self.start("CheckNow")
        sheet = self.wizard.wait_page("intro")
        # No "Welcome" in the document: the localised default names the application.
        self.assertTrue(text_of(sheet, 1037).startswith("A new update of Example Viewer is available!"))
        self.assertFalse(next(c for c in sheet["page"] if c["id"] == 1038)["visible"])
        self.wizard.press(NEXT)
        # A single file: no counter, and no bar of its own.
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "download" and text_of(s, 1006) == " data.txt",
                                       "the download of the only file")
        self.assertEqual(text_of(sheet, 1002), "Downloading file")
        self.assertFalse(next(c for c in sheet["page"] if c["id"] == 1023)["visible"])
        held.set()
        sheet = self.wizard.wait_page("ready")
        self.assertFalse(next(c for c in sheet["page"] if c["id"] == 1012)["visible"])
        self.wizard.press(NEXT)
        self.assertEqual(wait_exit(client), 0)
        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data " * 200)
        log = self.log()
        self.assertNotIn("Restarting the main application", log)
        self.assertTrue(log.endswith("\tEnd of recording\r\n"))


class CheckOutcomeTest(WizardTestCase):
    def finish_message(self, client, request="press"):
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "message" and button(s, FINISH)["visible"] and
                                       not button(s, CANCEL)["visible"], "the message with Finish alone")
        finish = button(sheet, FINISH)
        self.assertTrue(finish["enabled"])
        self.assertEqual(finish["rect"][:2], button(sheet, CANCEL)["rect"][:2])
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
        checking = self.wizard.watch_page("checking")
        client = self.start("record", windows_path(launched))
        checking()
        seen = set()
        deadline = time.monotonic() + WAIT
        while client.poll() is None and time.monotonic() < deadline:
            state = self.wizard.state()
            # A sheet caught while it is being destroyed shows no page ("unknown").
            seen.update(page_kind(sheet) for sheet in state["sheets"])
            seen.discard("unknown")
            time.sleep(0.1)
        self.assertEqual(wait_exit(client), 0)
        self.assertEqual(seen - {"checking"}, set())
        self.assertIn("\tA software update is not available\r\n", self.log())
        # The program is launched after the check, with the client's own arguments.
        wait_for(lambda: launched.exists() and launched.stat().st_size, "the program launched")
        self.assertTrue(launched.read_text().rstrip().endswith("record " + windows_path(launched)))


class CredentialsTest(WizardTestCase):
    def test_website_credentials_asked_over_the_wizard_and_used(self):
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        self.site.credentials = "reader:open sesame"
        client = self.start("CheckNow")
        prompt = self.wizard.wait_dialog("Website username/password")
        self.assertEqual(prompt["ownedBySheet"], 1)
        self.wizard.type("Website username/password", 1053, "reader")
        self.wizard.type("Website username/password", 1054, "open sesame")
        self.wizard.answer("Website username/password", IDOK)
        self.wizard.wait_page("intro")
        self.wizard.press(NEXT)
        self.wizard.wait_page("ready")
        self.wizard.press(NEXT)
        self.assertEqual(wait_exit(client), 0)
        # The credentials given for the document fetched the update's file too.
        self.assertEqual((self.app / "data.txt").read_text(), "version 2 data " * 200)


if __name__ == "__main__":
    unittest.main(verbosity=2)
