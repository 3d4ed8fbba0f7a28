"""The status file across real runs: counts, frequency, declined versions and repair."""

import shutil
import unittest

from renewix_e2e import BIN, ClientTestCase, configure, describe, file_held, read_log, wine

HEADER = "<Configuration>\r\n"
FOOTER = "</Configuration>\r\n"


def lines(count, frequency, version, declined=None):
    text = HEADER + f"\t<NumExecutions>{count}</NumExecutions>\r\n\t<CheckFrequency>{frequency}</CheckFrequency>\r\n"
    text += f"\t<ApplicationVersion>{version}</ApplicationVersion>\r\n"
    if declined is not None:
        text += f"\t<NoRepromptForVersion>{declined}</NoRepromptForVersion>\r\n"
    return (text + FOOTER).encode("cp1252")


class StatusFileTest(ClientTestCase):
    def setUp(self):
        super().setUp()
        self.runner = self.folder / "status_runner.exe"
        shutil.copy(BIN / "status_runner.exe", self.runner)

    def configure(self, frequency=1, remember=1, name=""):
        configure(self.runner, {
            "Application": {"StatusFileName": name},
            "Options": {"CheckFrequency": str(frequency), "RememberDeclinedVersion": str(remember)},
        })

    def run_once(self, *args):
        result = wine(self.runner, *args)
        self.assertEqual(result.returncode, 0, describe(result))
        return result.stdout.decode().strip()

    @property
    def status(self):
        return self.folder / "RenewixStatus.xml"

    def test_first_run_and_the_check_frequency(self):
        self.configure(frequency=3)
        self.assertEqual(self.run_once("--version", "1.0"), "due version=1.0")
        self.assertEqual(self.status.read_bytes(), lines(1, 3, "1.0"))
        self.assertEqual(self.run_once(), "not due version=1.0")
        self.assertEqual(self.run_once(), "not due version=1.0")
        self.assertEqual(self.status.read_bytes(), lines(3, 3, "1.0"))
        self.assertEqual(self.run_once(), "due version=1.0")
        self.assertEqual(self.status.read_bytes(), lines(1, 3, "1.0"))
        log = read_log(self.folder / "runner.log")
        self.assertIn("\tExecution #:\t3\r\n\tCheck frequency:\t3\r\n", log)

    def test_declined_version_is_remembered_only_when_asked(self):
        self.configure(remember=1)
        self.run_once("--version", "1.0", "--offered", "2.0", "--server-reached")
        self.assertEqual(self.status.read_bytes(), lines(1, 1, "1.0", "2.0"))
        self.assertEqual(self.run_once(), "due version=2.0")
        self.assertIn("\t** Detected - previously cancelled update version:\t2.0\r\n", read_log(self.folder / "runner.log"))
        # The declined version is now the one compared against, and is kept as such.
        self.assertEqual(self.status.read_bytes(), lines(1, 1, "2.0"))

        self.run_once("--offered", "3.0", "--server-reached", "--install-started")
        self.assertNotIn(b"NoReprompt", self.status.read_bytes())
        self.run_once("--offered", "3.0")  # no server reached
        self.assertNotIn(b"NoReprompt", self.status.read_bytes())
        self.configure(remember=2)
        self.run_once("--offered", "3.0", "--server-reached")
        self.assertNotIn(b"NoReprompt", self.status.read_bytes())

    def test_unreadable_file_skips_the_check_and_is_repaired(self):
        self.configure()
        self.status.write_bytes(b"<Configuration><NumExecutions>4</Num")
        self.assertEqual(self.run_once(), "not due version=")
        self.assertIn("\tUnable to read config file:\t", read_log(self.folder / "runner.log"))
        self.assertEqual(self.status.read_bytes(), lines(1, 1, ""))
        self.assertEqual(self.run_once(), "due version=")
        # A file cut short keeps the version it still shows.
        self.status.write_bytes(lines(4, 1, "3.1")[:-8])
        self.assertEqual(self.run_once(), "not due version=3.1")
        self.assertEqual(self.status.read_bytes(), lines(1, 1, "3.1"))

    def test_a_save_cut_short_before_the_new_file_took_the_place_of_the_old(self):
        self.configure()
        replacement = self.folder / "RenewixStatus.xml.new"
        replacement.write_bytes(lines(4, 1, "3.1"))
        self.assertEqual(self.run_once(), "due version=3.1")
        self.assertIn("\tConfig file read from the replacement an interrupted save left:\t",
                      read_log(self.folder / "runner.log"))
        self.assertEqual(self.status.read_bytes(), lines(1, 1, "3.1"))
        self.assertFalse(replacement.exists())

    def test_a_locked_file_is_kept_as_it_is(self):
        """A file another program holds open is neither read nor rewritten: the recorded
        version survives the run."""
        self.configure()
        self.status.write_bytes(lines(4, 1, "3.1"))
        with file_held(self.status):
            self.assertEqual(self.run_once("--version", "9.9"), "not due version=9.9")
        self.assertEqual(self.status.read_bytes(), lines(4, 1, "3.1"))
        self.assertIn("\tUnable to read config file:\t", read_log(self.folder / "runner.log"))
        self.assertEqual(self.run_once(), "due version=3.1")

    def test_an_empty_version_never_replaces_the_recorded_one(self):
        self.configure()
        self.status.write_bytes(lines(1, 1, "2.0"))
        self.assertEqual(self.run_once("--version", ""), "due version=2.0")
        self.assertEqual(self.status.read_bytes(), lines(1, 1, "2.0"))

    def test_missing_count_reads_as_one(self):
        self.configure(frequency=1)
        self.status.write_bytes(b"<Configuration>\r\n\t<ApplicationVersion>1.5</ApplicationVersion>\r\n</Configuration>\r\n")
        self.assertEqual(self.run_once(), "due version=1.5")

    def test_versions_with_markup_characters_survive(self):
        self.configure()
        self.run_once("--version", "2.0 <beta> & more")
        self.assertIn(b"<ApplicationVersion>2.0 &lt;beta&gt; &amp; more</ApplicationVersion>", self.status.read_bytes())
        self.assertEqual(self.run_once(), "due version=2.0 <beta> & more")

    def test_test_mode_neither_reads_nor_writes(self):
        self.configure(frequency=5)
        self.status.write_bytes(lines(1, 5, "1.0"))
        self.assertEqual(self.run_once("--test-mode", "--version", "9.9"), "due version=9.9")
        self.assertEqual(self.status.read_bytes(), lines(1, 5, "1.0"))

    def test_configured_file_name(self):
        self.configure(name="state.xml")
        self.run_once("--version", "1.0")
        self.assertTrue((self.folder / "state.xml").exists())
        self.assertFalse(self.status.exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
