"""RenewixConfig.exe as a vendor uses it: write settings into a client, read them back."""

import base64
import hashlib
import unittest

from renewix_e2e import BIN, ClientTestCase, describe, openssl_key, settings_text, windows_path, wine

TOOL = BIN / "RenewixConfig.exe"

FULL = {
    "PrimaryServer": {
        "DocumentProtocol": "http://", "DocumentAddress": "127.0.0.1/updates/viewer/", "DocumentPort": "8080",
        "DocumentUser": "reader", "DocumentPassword": "p@ss word", "FilesProtocol": "file:",
        "FilesAddress": "\\\\server\\share\\viewer", "FilesPort": "", "FilesUser": "", "FilesPassword": "",
        "SeparateFilesLocation": "1",
    },
    "BackupServer": {
        "DocumentProtocol": "ftp://", "DocumentAddress": "127.0.0.1/pub/", "DocumentPort": "2121",
        "DocumentUser": "anonymous", "DocumentPassword": "", "FilesProtocol": "", "FilesAddress": "",
        "FilesPort": "", "FilesUser": "", "FilesPassword": "", "SeparateFilesLocation": "0", "Enabled": "1",
    },
    "Application": {
        "MainApplication": "Viewer.exe", "ApplicationName": "Example Viewer " + "x" * 112,
        "CompanyWebAddress": "http://www.example.invalid/", "CompanyName": "Exämple Ltd", "Reserved1": "",
        "CompanyEmail": "support@example.invalid", "Reserved2": "", "CheckNowKeyword": "CheckNow",
        "BackgroundKeyword": "0", "BaseSecureCode": "1F2E3D4C", "DefaultVersion": "1.0",
        "LogFileName": "RenewixLog.txt", "StatusFileName": "",
    },
    "Options": {
        "LoggingEnabled": "1", "ConfirmCancel": "1", "CheckFrequency": "3", "RememberDeclinedVersion": "1",
        "LaunchAfterCheck": "0", "WizardAlwaysOnTop": "0", "InstanceNumber": "4294967295",
    },
    "Security": {"TrustedKeys": ""},
}


def canonical(settings):
    """The tool's own layout: every key in order, a blank line between sections."""
    return "\r\n".join(
        "".join([f"[{section}]\r\n"] + [f"{k}={v}\r\n" for k, v in keys.items()]) for section, keys in settings.items()
    )


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


class ConfigToolTest(ClientTestCase):
    def write(self, text, name="settings.ini"):
        ini = self.folder / name
        ini.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
        return wine(TOOL, "write", windows_path(self.client), windows_path(ini))

    def read(self):
        result = wine(TOOL, "read", windows_path(self.client))
        self.assertEqual(result.returncode, 0, describe(result))
        return result.stdout.decode("utf-8")

    def test_round_trip_is_exact(self):
        text = canonical(FULL)
        result = self.write(text)
        self.assertEqual(result.returncode, 0, describe(result))
        self.assertEqual(self.read(), text)
        # Saved to a file, the settings can be written again and give the same record.
        saved = self.folder / "saved.ini"
        self.assertEqual(wine(TOOL, "read", windows_path(self.client), windows_path(saved)).returncode, 0)
        self.assertEqual(saved.read_bytes().decode("utf-8"), text)
        self.assertEqual(self.write(saved.read_bytes(), "again.ini").returncode, 0)
        self.assertEqual(self.read(), text)

    def test_rewriting_replaces_the_record(self):
        self.assertEqual(self.write(canonical(FULL)).returncode, 0)
        self.assertEqual(self.write("[Application]\r\nMainApplication=Other.exe\r\n").returncode, 0)
        text = self.read()
        self.assertIn("MainApplication=Other.exe\r\n", text)
        self.assertIn("CheckNowKeyword=\r\n", text)
        self.assertIn("LoggingEnabled=0\r\n", text)

    def test_unconfigured_client_reads_as_empty(self):
        result = wine(TOOL, "read", windows_path(self.client))
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"holds no settings yet", result.stderr)
        template = wine(TOOL, "template").stdout
        self.assertEqual(result.stdout, template)
        self.assertIn(b"InstanceNumber=0\r\n", template)

    def test_bad_settings_leave_the_executable_untouched(self):
        self.assertEqual(self.write(canonical(FULL)).returncode, 0)
        before = digest(self.client)
        cases = [
            ("[Application]\r\nMainApp=Viewer.exe\r\n", "unknown key 'MainApp' in section [Application]"),
            ("[Application]\r\nDefaultVersion=" + "9" * 32 + "\r\n",
             "Application.DefaultVersion is 32 bytes long; it holds at most 31"),
            ("[Options]\r\nLoggingEnabled=on\r\n",
             "Options.LoggingEnabled must be a whole number from 0 to 4294967295, not 'on'"),
            (b"[Application]\r\nCompanyName=\xff\xfe\xfd\r\n", "not valid UTF-8"),
        ]
        for text, message in cases:
            with self.subTest(message=message):
                result = self.write(text)
                self.assertEqual(result.returncode, 1)
                stderr = result.stderr.decode("utf-8")
                self.assertIn(message, stderr)
                self.assertIn("the executable was not changed", stderr)
                self.assertEqual(digest(self.client), before)
        self.assertEqual(sorted(p.name for p in self.folder.iterdir()), ["Renewix.exe", "settings.ini"])

    def test_trusted_keys_are_checked_written_and_dropped(self):
        a = base64.b64encode(openssl_key(self.folder, "a")[1]).decode()
        b = openssl_key(self.folder, "b")[1]
        settings = dict(FULL, Security={"TrustedKeys": f"{a}, {b.hex()}"})
        self.assertEqual(self.write(canonical(settings)).returncode, 0)
        self.assertIn(f"[Security]\r\nTrustedKeys={a}, {base64.b64encode(b).decode()}\r\n", self.read())
        before = digest(self.client)
        bad = [
            ("02" + "00" * 31, "is not an Ed25519 public key"),  # 32 bytes, but no point of the curve
            (a[:-4] + "AA==", "holds 31 bytes"),
            (b.hex()[:-1], "is neither 64 hexadecimal digits nor base64"),
            (a, "is given twice"),
        ]
        for key, message in bad:
            with self.subTest(key=key):
                result = self.write(canonical(dict(FULL, Security={"TrustedKeys": f"{a} {key}"})))
                self.assertEqual(result.returncode, 1, describe(result))
                self.assertIn(f"Security.TrustedKeys: key 2 ('{key}') {message}", result.stderr.decode("utf-8"))
                self.assertIn("the executable was not changed", result.stderr.decode("utf-8"))
                self.assertEqual(digest(self.client), before)
        # The vendor rotates: the next client carries B alone, and one without keys none at all.
        self.assertEqual(self.write(canonical(dict(FULL, Security={"TrustedKeys": b.hex()}))).returncode, 0)
        self.assertIn(f"TrustedKeys={base64.b64encode(b).decode()}\r\n", self.read())
        result = self.write(canonical(FULL))
        self.assertEqual(result.returncode, 0, describe(result))
        self.assertEqual(self.read(), canonical(FULL))

    def test_a_settings_file_silent_on_keys_never_drops_them(self):
        _, public = openssl_key(self.folder, "vendor")
        key = base64.b64encode(public).decode()
        result = self.write(f"[Application]\r\nApplicationName=Viewer\r\n[Security]\r\nTrustedKeys={key}\r\n")
        self.assertEqual(result.returncode, 0, describe(result))
        before = self.client.read_bytes()
        result = self.write("[Application]\r\nApplicationName=Viewer 2\r\n")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"writing would drop them and the client would check no signatures", result.stderr)
        self.assertEqual(self.client.read_bytes(), before)
        # Said on purpose, the keys go.
        result = self.write("[Application]\r\nApplicationName=Viewer 2\r\n[Security]\r\nTrustedKeys=\r\n")
        self.assertEqual(result.returncode, 0, describe(result))
        self.assertIn("TrustedKeys=\r\n", self.read())

    def test_files_that_are_not_clients_are_refused(self):
        not_exe = self.folder / "notes.txt"
        not_exe.write_text("not a program")
        ini = self.folder / "s.ini"
        ini.write_text("[Options]\nLoggingEnabled=1\n")
        result = wine(TOOL, "write", windows_path(not_exe), windows_path(ini))
        self.assertEqual(result.returncode, 1)
        self.assertEqual(not_exe.read_text(), "not a program")
        result = wine(TOOL, "write", windows_path(self.client), windows_path(self.folder / "missing.ini"))
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"cannot read the settings file", result.stderr)
        self.assertEqual(wine(TOOL, "frobnicate").returncode, 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
