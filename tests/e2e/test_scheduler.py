"""The schedule page as a user meets it. What its choices write to the Task Scheduler, and its
refusals, are read back by the unit tests (ScheduledTaskTest)."""

import os
import subprocess
import unittest

from renewix_e2e import FINISH, IDOK, WINE_RUN, button, control, page_kind, text_of, wait_exit, WizardTestCase


class SchedulerTest(WizardTestCase):
    def setUp(self):
        super().setUp()
        # A name of this run's own, ending in ".exe" like every real one: tasks are machine-wide.
        self.application = f"Viewer{os.getpid()}.exe"

    def tearDown(self):
        # Wine's scheduler refuses a name with a dot, as every real one has, and keeps the task as its job file.
        subprocess.run([str(WINE_RUN), "cmd", "/c", "del",
                        f"C:\\windows\\Tasks\\Automatic Updates Checking for {self.application}.job"],
                       capture_output=True, timeout=60)
        super().tearDown()

    def schedule_page(self):
        """The client showing the schedule page, and the page once Finish is there."""
        client = self.start("Scheduler")
        return client, self.wizard.wait_sheet(lambda s: page_kind(s) == "schedule" and button(s, FINISH)["enabled"],
                                              "the schedule page with Finish")

    def test_no_schedule_without_a_background_keyword(self):
        self.configure(MainApplication=self.application, BackgroundKeyword="")
        client, sheet = self.schedule_page()
        radio = next(item["id"] for item in sheet["page"] if item["text"] == "Daily")
        self.wizard.click(radio)
        self.wizard.wait_sheet(lambda s: control(s["page"], radio)["checked"] == 1, "the choice made")
        self.wizard.press(FINISH)
        message = "The schedule cannot be saved because no background keyword is configured."
        box = self.wizard.wait_dialog("An error occured")
        self.assertIn(message, [item["text"] for item in box["controls"]])
        self.wizard.answer("An error occured", IDOK)
        self.assertEqual(wait_exit(client), 0)

    def test_the_page_opens_on_the_schedule_that_is_set(self):
        # Whatever the check frequency says about this run: the page is asked for, so it opens.
        self.configure(MainApplication=self.application, CheckFrequency="5")
        (self.app / "RenewixStatus.xml").write_text("<Configuration>\r\n\t<NumExecutions>1</NumExecutions>\r\n"
                                                    "</Configuration>\r\n")
        client, sheet = self.schedule_page()
        self.assertEqual([item["text"] for item in sheet["page"] if item.get("checked") == 1], ["Never!"])
        self.assertEqual(text_of(sheet, 1051), "")
        # Chosen by its label, as a user does.
        radio = next(item["id"] for item in sheet["page"] if item["text"] == "Weekly")
        self.wizard.click(radio)
        self.wizard.wait_sheet(lambda s: control(s["page"], radio)["checked"] == 1, "the choice made")
        self.wizard.press(FINISH)
        self.assertEqual(wait_exit(client), 0)
        client, sheet = self.schedule_page()
        self.assertEqual([item["text"] for item in sheet["page"] if item.get("checked") == 1], ["Weekly"])
        self.assertTrue(text_of(sheet, 1051).startswith("Next scheduled check: "), text_of(sheet, 1051))
        self.wizard.press(FINISH)
        self.assertEqual(wait_exit(client), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
