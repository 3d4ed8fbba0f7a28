"""A vendor's test of a local document, in German, and how a run standing in for the program ends.
The one-page message is decided in StartUp.EachModeShowsAndStartsWhatItShould."""

import unittest

from renewix_e2e import (NEXT, ONE_FILE_DOCUMENT, REGISTRY_KEY, button, control, file_entry, registry_value, text_of,
                         update_document, wait_exit, windows_path, WizardTestCase)

TEST_DOCUMENT = update_document(
    update_type=None, files=(file_entry("data.txt", Size="5"),), license="Test terms.",
    registry=(REGISTRY_KEY.replace("HKCU", "HKEY_CURRENT_USER"), "Version", "Add REG_SZ 2.0"),
    extra="<Welcome>Try version 2.0 of %ApplicationName%.</Welcome>")


class TestRunTest(WizardTestCase):
    def test_local_document_is_shown_and_nothing_is_installed_or_recorded(self):
        self.configure()
        document = self.root / "local update.xml"
        document.write_text(TEST_DOCUMENT)
        # The blank in the path makes Wine quote it on the command line. In German: the locale
        # reaches the tables.
        client = self.start("testMode", windows_path(document), env={"LC_ALL": "de_DE.UTF-8"})
        sheet = self.wizard.wait_page("intro")
        self.assertEqual(text_of(sheet, 1037), "Try version 2.0 of Example Viewer.")
        self.wizard.press(NEXT)
        terms = self.wizard.wait_page("terms")
        self.assertEqual(text_of(terms, 1030), "JA, ich akzeptiere die Bedingungen dieser Lizenzvereinbarung!")
        self.wizard.click(1030)
        self.wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled")
        self.wizard.press(NEXT)
        # Nothing is downloaded: the page ends at once and waits for the user.
        self.wizard.wait_sheet(lambda s: text_of(s, 1048) is not None and button(s, NEXT)["enabled"],
                               "the download page done")
        self.wizard.press(NEXT)
        sheet = self.wizard.wait_page("ready")
        self.assertTrue(text_of(sheet, 1045).startswith("Alle Dateien f\u00fcr das Update wurden heruntergeladen."))
        # The installing page shows although there is nothing to install.
        installing = self.wizard.watch_page("installing")
        self.wizard.press(NEXT)
        installing()
        self.assertEqual(wait_exit(client), 0)
        self.assertEqual(sorted(path.name for path in self.app.iterdir()), ["Renewix.exe", "Viewer.exe", "data.txt"])
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        self.assertIsNone(registry_value(REGISTRY_KEY, "Version"))


class StartupVariantTest(WizardTestCase):
    def test_a_completed_update_skips_the_late_launch(self):
        # A run standing in for the program that installed the update without restarting it does
        # not start it again; the other endings are in LaunchAtTheEnd.
        self.configure()
        self.publish(ONE_FILE_DOCUMENT)
        (self.app / "Viewer.exe").unlink()  # a launch then leaves its failure in the log
        client = self.start("report.txt")
        intro = self.wizard.wait_page("intro")
        self.assertTrue(text_of(intro, 1037).startswith("A new update of Example Viewer is available!"))
        self.wizard.press(NEXT)
        ready = self.wizard.wait_page("ready")
        self.assertFalse(control(ready["page"], 1012)["visible"])  # no restart offered, none to click
        self.wizard.press(NEXT)
        self.assertEqual(wait_exit(client), 0)
        log = self.log()
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertNotIn("Unable to launch", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
