"""The schedule page as a user meets it, and the tasks it leaves in the Task Scheduler, read back
by a program of their own through the scheduler's interfaces."""

import datetime
import itertools
import json
import os
import subprocess
import unittest

from renewix_e2e import (BIN, FINISH, WINE_RUN, button, control, page_kind, text_of, wait_exit, windows_path,
                         WizardTestCase)

DAILY, WEEKLY, MONTHLY, NEVER = 1027, 1028, 1029, 1031
IDOK = 1
TASK_DAILY, TASK_WEEKLY, TASK_MONTHLY_DATE = 1, 2, 3
SUNDAY = 1
NAMES = itertools.count()


def task_reader(*args):
    result = subprocess.run([str(WINE_RUN), str(BIN / "task_reader.exe"), *args], capture_output=True, timeout=60)
    if result.returncode != 0:
        raise AssertionError(f"task_reader {args} failed with {result.returncode}")
    return result.stdout.decode("utf-8").strip()


class SchedulerTest(WizardTestCase):
    def setUp(self):
        super().setUp()
        # A name of this test's own, ending in ".exe" like every real one: tasks are machine-wide.
        self.application = f"Viewer{os.getpid()}-{next(NAMES)}.exe"
        self.task = "Automatic Updates Checking for " + self.application

    def tearDown(self):
        task_reader("delete", self.task)
        super().tearDown()

    def configure_application(self, application):
        self.configure(MainApplication=application)

    def task_now(self):
        return json.loads(task_reader("show", self.task))

    def choose(self, radio):
        """Opens the schedule page, chooses, presses Finish; the sheet as it was first seen."""
        client = self.start("Scheduler")
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "schedule" and button(s, FINISH)["enabled"],
                                       "the schedule page with Finish")
        self.wizard.click(radio)
        self.wizard.wait_sheet(lambda s: control(s["page"], radio)["checked"] == 1, "the choice made")
        self.wizard.press(FINISH)
        self.assertEqual(wait_exit(client), 0)
        return sheet

    def test_each_frequency_writes_one_task_that_reads_back(self):
        self.configure_application(self.application)
        cases = [(DAILY, TASK_DAILY, "Daily"), (WEEKLY, TASK_WEEKLY, "Weekly"), (MONTHLY, TASK_MONTHLY_DATE, "Monthly")]
        for radio, kind, label in cases:
            with self.subTest(label=label):
                before = datetime.datetime.now(datetime.timezone.utc).replace(second=0, microsecond=0)
                self.choose(radio)
                after = datetime.datetime.now(datetime.timezone.utc)
                task = self.task_now()
                self.assertTrue(task["exists"])
                self.assertEqual(task["program"], windows_path(self.client))
                self.assertEqual(task["parameters"], "0")
                self.assertEqual(task["directory"], windows_path(self.app) + "\\")
                self.assertEqual(task["comment"], f"Automatic update checking for {self.application}.")
                self.assertEqual(task["flags"], 0x2001)
                self.assertEqual(task["triggers"], 1)
                self.assertEqual(task["type"], kind)
                # Started when it was saved, in UTC figures.
                start = datetime.datetime(task["year"], task["month"], task["day"], task["hour"], task["minute"],
                                          tzinfo=datetime.timezone.utc)
                self.assertTrue(before <= start <= after, f"{start} not between {before} and {after}")
                if kind == TASK_DAILY:
                    self.assertEqual(task["interval"], 1)
                if kind == TASK_WEEKLY:
                    self.assertEqual((task["interval"], task["weekdays"]), (1, SUNDAY))
                if kind == TASK_MONTHLY_DATE:
                    self.assertEqual((task["days"], task["months"]), (1 << (task["day"] - 1), 0xFFF))
                # Saving again replaced it: never more than one task per program.
                self.assertEqual(task_reader("count", self.task), "1")

    def test_the_page_opens_on_the_schedule_that_is_set(self):
        self.configure_application(self.application)
        first = self.choose(WEEKLY)
        self.assertEqual([item["text"] for item in first["page"] if item.get("checked") == 1], ["Never!"])
        self.assertEqual(text_of(first, 1051), "")
        client = self.start("Scheduler")
        sheet = self.wizard.wait_sheet(lambda s: page_kind(s) == "schedule" and button(s, FINISH)["enabled"],
                                       "the schedule page again")
        self.assertEqual([item["text"] for item in sheet["page"] if item.get("checked") == 1], ["Weekly"])
        self.assertTrue(text_of(sheet, 1051).startswith("Next scheduled check: "), text_of(sheet, 1051))
        self.wizard.press(FINISH)
        self.assertEqual(wait_exit(client), 0)

    def test_never_deletes_and_needs_no_task(self):
        self.configure_application(self.application)
        self.choose(DAILY)
        self.assertTrue(self.task_now()["exists"])
        self.choose(NEVER)
        self.assertFalse(self.task_now()["exists"])
        self.assertEqual(task_reader("count", self.task), "0")
        # Never! again, with nothing left to delete: no error, the wizard just closes.
        self.choose(NEVER)
        self.assertNotIn("Schedule not applied", self.log())
        self.assertIn("\tSchedule chosen:\t3\r\n", self.log())

    def test_the_page_opens_whatever_the_check_frequency(self):
        self.configure(MainApplication=self.application, CheckFrequency="5")
        (self.app / "RenewixStatus.xml").write_text("<Configuration>\r\n\t<NumExecutions>1</NumExecutions>\r\n"
                                                    "</Configuration>\r\n")
        self.choose(DAILY)
        self.assertTrue(self.task_now()["exists"])

    def test_an_empty_application_name(self):
        self.task = "Automatic Updates Checking for "
        self.configure_application("")
        self.choose(MONTHLY)
        task = self.task_now()
        self.assertTrue(task["exists"])
        self.assertEqual(task["comment"], "Automatic update checking for .")

    def test_no_schedule_without_a_background_keyword(self):
        self.configure(MainApplication=self.application, BackgroundKeyword="")
        client = self.start("Scheduler")
        self.wizard.wait_sheet(lambda s: page_kind(s) == "schedule" and button(s, FINISH)["enabled"],
                               "the schedule page with Finish")
        self.wizard.click(DAILY)
        self.wizard.press(FINISH)
        message = "The schedule cannot be saved because no background keyword is configured."
        box = self.wizard.wait_dialog("An error occured")
        self.assertIn(message, [item["text"] for item in box["controls"]])
        self.wizard.answer("An error occured", IDOK)
        self.assertEqual(wait_exit(client), 0)
        self.assertIn(f"\tSchedule not applied:\t{message}\r\n", self.log())
        self.assertFalse(self.task_now()["exists"])

    def test_the_stored_command_line_starts_a_background_check(self):
        self.configure_application(self.application)
        self.choose(DAILY)
        task = self.task_now()
        # Run as the scheduler would: the program with its parameters, in its directory.
        result = subprocess.run([str(WINE_RUN), task["program"], task["parameters"]], cwd=str(self.app),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        self.assertEqual(result.returncode, 0)
        self.assertIn("\tCheckBackground mode detected\r\n", self.log())


if __name__ == "__main__":
    unittest.main(verbosity=2)
