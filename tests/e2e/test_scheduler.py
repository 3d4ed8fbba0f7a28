"""The schedule page as a user meets it. What its choices write to the Task Scheduler is read
back by the unit tests (ScheduledTaskTest)."""

import itertools
import os
import subprocess
import unittest

from renewix_e2e import BIN, FINISH, IDOK, WINE_RUN, button, control, page_kind, text_of, wait_exit, WizardTestCase

NAMES = itertools.count()


def delete_task(name):
    result = subprocess.run([str(WINE_RUN), str(BIN / "test_tool.exe"), "delete-task", name], capture_output=True,
                            timeout=60)
    if result.returncode != 0:
        raise AssertionError(f"deleting the task {name} failed with {result.returncode}")


class SchedulerTest(WizardTestCase):
    def setUp(self):
        super().setUp()
        # A name of this test's own, ending in ".exe" like every real one: tasks are machine-wide.
        self.application = f"Viewer{os.getpid()}-{next(NAMES)}.exe"
        self.task = "Automatic Updates Checking for " + self.application

    def tearDown(self):
        delete_task(self.task)
        super().tearDown()

    def choose(self, label):
        """Opens the schedule page, chooses by its label as a user does, presses Finish; the
        client and the sheet as it was first seen."""
        client = self.start("Scheduler")
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "schedule" and button(s, FINISH)["enabled"],
                                       "the schedule page with Finish")
        radio = next(item["id"] for item in sheet["page"] if item["text"] == label)
        self.wizard.click(radio)
        self.wizard.wait_sheet(lambda s: control(s["page"], radio)["checked"] == 1, "the choice made")
        self.wizard.press(FINISH)
        return client, sheet

    def test_the_page_opens_on_the_schedule_that_is_set(self):
        # Whatever the check frequency says about this run: the page is asked for, so it opens.
        self.configure(MainApplication=self.application, CheckFrequency="5")
        (self.app / "RenewixStatus.xml").write_text("<Configuration>\r\n\t<NumExecutions>1</NumExecutions>\r\n"
                                                    "</Configuration>\r\n")
        client, first = self.choose("Weekly")
        self.assertEqual(wait_exit(client), 0)
        self.assertEqual([item["text"] for item in first["page"] if item.get("checked") == 1], ["Never!"])
        self.assertEqual(text_of(first, 1051), "")
        client = self.start("Scheduler")
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "schedule" and button(s, FINISH)["enabled"],
                                       "the schedule page again")
        self.assertEqual([item["text"] for item in sheet["page"] if item.get("checked") == 1], ["Weekly"])
        self.assertTrue(text_of(sheet, 1051).startswith("Next scheduled check: "), text_of(sheet, 1051))
        self.wizard.press(FINISH)
        self.assertEqual(wait_exit(client), 0)

    def test_no_schedule_without_a_background_keyword(self):
        self.configure(MainApplication=self.application, BackgroundKeyword="")
        client, _ = self.choose("Daily")
        message = "The schedule cannot be saved because no background keyword is configured."
        box = self.wizard.wait_dialog("An error occured")
        self.assertIn(message, [item["text"] for item in box["controls"]])
        self.wizard.answer("An error occured", IDOK)
        self.assertEqual(wait_exit(client), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
