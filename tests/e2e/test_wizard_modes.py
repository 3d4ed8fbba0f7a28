"""The wizard in the other run modes and a language: a vendor's test of a local document, the
one-page message wizard, how a run standing in for the program ends, and the German texts
(the locale reaching the tables)."""

import unittest

from renewix_e2e import (CANCEL, FINISH, NEXT, ONE_FILE_DOCUMENT, REGISTRY_KEY, button, file_entry, registry_value,
                         text_of, update_document, wait_exit, windows_path, WizardTestCase)

TEST_DOCUMENT = update_document(
    update_type=None, files=(file_entry("data.txt", Size="5"),), license="Test terms.",
    registry=(REGISTRY_KEY.replace("HKCU", "HKEY_CURRENT_USER"), "Version", "Add REG_SZ 2.0"),
    extra="<Welcome>Try version 2.0 of %ApplicationName%.</Welcome><Reason>Only a test.</Reason>")


class TestRunTest(WizardTestCase):
    def test_local_document_is_shown_and_nothing_is_installed_or_recorded(self):
        self.configure()
        document = self.root / "local update.xml"
        document.write_text(TEST_DOCUMENT)
        # The blank in the path makes Wine quote it on the command line.
        client = self.start("testMode", windows_path(document))
        sheet = self.wizard.wait_page("intro")
        self.assertEqual(text_of(sheet, 1037), "Try version 2.0 of Example Viewer.")
        self.assertEqual(text_of(sheet, 1038), "Only a test.")
        self.wizard.press(NEXT)
        self.wizard.wait_page("terms")
        self.wizard.click(1030)
        self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled")
        self.wizard.press(NEXT)
        # Nothing is downloaded: the page ends at once and waits for the user.
        sheet = self.wizard.wait_sheet(lambda s: text_of(s, 1048) is not None and button(s, NEXT)["enabled"],
                                       "the download page done")
        self.assertTrue(button(sheet, CANCEL)["enabled"])
        self.assertEqual(self.wizard.wait_page("download")["page"], sheet["page"])
        self.wizard.press(NEXT)
        self.wizard.wait_page("ready")
        # The installing page shows although there is nothing to install.
        installing = self.wizard.watch_page("installing")
        self.wizard.press(NEXT)
        installing()
        self.assertEqual(wait_exit(client), 0)
        self.assertEqual(sorted(path.name for path in self.app.iterdir()), ["Renewix.exe", "Viewer.exe", "data.txt"])
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        self.assertIsNone(registry_value(REGISTRY_KEY, "Version"))


class OnePageWizardTest(WizardTestCase):
    def test_main_application_named_like_the_client_is_refused_in_the_message_wizard(self):
        self.configure(MainApplication="Renewix.exe")
        client = self.start("CheckNow")
        sheet = self.wizard.wait_page("message")
        self.assertEqual(text_of(sheet, 1044),
                         f"You have specified the name of your main application to be '{windows_path(self.client)}' "
                         "which is the same name as the Renewix client that is now running. The main application "
                         "executable should point to the .exe file that launches your application.\r\n\r\n"
                         "Correct the error and try again")
        self.assertEqual(sheet["caption"], "Example Viewer")
        self.wizard.press(FINISH)
        self.assertEqual(wait_exit(client), 0)
        self.assertFalse((self.app / "RenewixStatus.xml").exists())


class StartupVariantTest(WizardTestCase):
    """How a run that stands in for the program ends."""

    def test_a_completed_update_skips_the_late_launch_and_a_cancelled_one_does_not(self):
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        (self.app / "Viewer.exe").unlink()  # a launch then leaves its failure in the log
        client = self.start("report.txt")
        self.wizard.wait_page("intro")
        self.wizard.press(CANCEL)
        self.assertEqual(wait_exit(client), 0)
        self.assertIn("\tUnable to launch:\t" + windows_path(self.app) + "\\Viewer.exe\r\n", self.log())

        # The declined version would not be offered again.
        (self.app / "RenewixStatus.xml").unlink()
        client = self.start("report.txt")
        self.wizard.wait_page("intro")
        self.wizard.press(NEXT)
        self.wizard.wait_page("ready")
        self.wizard.press(NEXT)
        self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertNotIn("Unable to launch", log)
        self.assertTrue(log.endswith("\tEnd of recording\r\n"))


class LanguageTest(WizardTestCase):
    def test_german_texts(self):
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        checking = self.wizard.watch_page("checking")
        client = self.start("CheckNow", env={"LC_ALL": "de_DE.UTF-8"})
        sheet = checking()
        self.assertTrue(text_of(sheet, 1037).startswith("Es wird nach Updates gesucht..."))
        sheet = self.wizard.wait_page("intro")
        self.assertTrue(text_of(sheet, 1037).startswith("Ein neues Update f\u00fcr Example Viewer ist verf\u00fcgbar!"))
        link = next(item for item in sheet["controls"] if item["class"] == "RenewixHyperLink")
        self.assertEqual(link["text"], "<A>Besuchen Sie Example Ltd online</A>")
        self.wizard.press(NEXT)
        sheet = self.wizard.wait_page("ready")
        self.assertTrue(text_of(sheet, 1045).startswith("Alle Dateien f\u00fcr das Update wurden heruntergeladen."))
        self.wizard.send("close-wizard")
        self.assertEqual(wait_exit(client), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
