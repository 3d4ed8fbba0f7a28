"""RenewixConfig.exe as a vendor uses it: write settings into a client, read them back."""

import base64
import hashlib
import re
import struct
import subprocess
import unittest

from renewix_e2e import (BIN, UpdateTestCase, describe, openssl_key, run_tool, start_client, wait_exit, wait_for,
                         windows_path, Wizard)

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


def pictures_section(header="the default header bitmap", watermark="the default watermark bitmap",
                     icon="the default icon"):
    """The [Wizard] section that `read` ends with."""
    return (f"\r\n[Wizard]\r\n; the client carries {header}\r\nHeaderBitmap=\r\n"
            f"; the client carries {watermark}\r\nWatermarkBitmap=\r\n; the client carries {icon}\r\nIcon=\r\n")


def bmp(width, height, colour):
    """A 24-bit BMP of one colour (red, green, blue)."""
    stride = (width * 3 + 3) & ~3
    row = bytes(reversed(colour)) * width + b"\0" * (stride - width * 3)
    pixels = row * height
    return (struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)


def ico(*sizes):
    """An ICO file of 32-bit images of one colour, one per size."""
    images = []
    for size in sizes:
        mask = ((size + 31) // 32 * 4) * size
        images.append(struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0) +
                      b"\x20\x80\xf0\xff" * size * size + b"\0" * mask)
    offset, directory = 6 + 16 * len(sizes), struct.pack("<HHH", 0, 1, len(sizes))
    for size, image in zip(sizes, images):
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + b"".join(images)


def icon_images(path):
    """How many icon images (RT_ICON, type 3) the executable's resources hold."""
    # The x86-64 objdump reads both builds; the i686 one only its own.
    lines = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True,
                           timeout=60).stdout.splitlines()
    for line, names in zip(lines, lines[1:]):
        if re.match(r"[0-9a-f]+   Entry: ID: 0x000003,", line):
            return int(re.search(r"IDs: (\d+)", names).group(1))
    return 0


def screen_colour(x, y):
    """The colour of one pixel of the display, as "#RRGGBB"."""
    result = subprocess.run(["import", "-window", "root", "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                            capture_output=True, timeout=60)
    pixel = next(line for line in result.stdout.decode().splitlines() if line.startswith("0,0:"))
    return next(word for word in pixel.split() if word.startswith("#"))


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


class ConfigToolTest(UpdateTestCase):
    def write(self, text, target=None):
        """Writes `text` as the settings file (None: there is none) into `target`, the client by default."""
        ini = self.root / "settings.ini"
        ini.unlink(missing_ok=True)
        if text is not None:
            ini.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
        return run_tool(TOOL, "write", windows_path(target or self.client), windows_path(ini))

    def read(self):
        result = run_tool(TOOL, "read", windows_path(self.client))
        self.assertEqual(result.returncode, 0, describe(result))
        return result.stdout.decode("utf-8")

    def test_refusals_leave_the_executable_untouched_and_the_round_trip_is_exact(self):
        """One refusal of each kind the tool checks before it writes (files, settings, keys,
        pictures, keys it would drop): nothing changes. What each check says is in the settings
        unit tests."""
        _, public = openssl_key(self.root, "vendor")
        keyed = canonical(FULL).replace("TrustedKeys=", "TrustedKeys=" + base64.b64encode(public).decode())
        self.assertEqual(self.write(keyed).returncode, 0)
        (self.root / "photo.bmp").write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 100)
        notes = self.root / "notes.txt"
        notes.write_text("not a program")
        cases = [
            (self.client, "[Application]\r\nMainApp=Viewer.exe\r\n", "unknown key 'MainApp'"),
            (self.client, "[Security]\r\nTrustedKeys=" + "02" + "00" * 31 + "\r\n", "is not an Ed25519 public key"),
            (self.client, canonical(FULL) + "\r\n[Wizard]\r\nHeaderBitmap=photo.bmp\r\n",
             "the header bitmap is not a BMP file"),
            # A settings file silent on the keys never turns signature checking off.
            (self.client, "[Application]\r\nApplicationName=Viewer 2\r\n", "writing would drop them"),
            (self.client, None, "cannot read the settings file"),
            (notes, "[Options]\r\nLoggingEnabled=1\r\n", "the executable was not changed"),
        ]
        for target, text, message in cases:
            with self.subTest(message=message):
                before = digest(target)
                result = self.write(text, target)
                self.assertEqual(result.returncode, 1)
                stderr = result.stderr.decode("utf-8")
                self.assertIn(message, stderr)
                self.assertIn("the executable was not changed", stderr)
                self.assertEqual(digest(target), before)
        self.assertEqual(run_tool(TOOL, "frobnicate").returncode, 2)

        # Said on purpose (TrustedKeys=), the keys go. The round trip is exact, and the settings
        # saved to a file can be written again and give the same record.
        text = canonical(FULL)
        result = self.write(text)
        self.assertEqual(result.returncode, 0, describe(result))
        self.assertNotIn(b"warning", result.stderr)
        saved = self.root / "saved.ini"
        self.assertEqual(run_tool(TOOL, "read", windows_path(self.client), windows_path(saved)).returncode, 0)
        self.assertEqual(saved.read_bytes().decode("utf-8"), text + pictures_section())
        self.assertEqual(self.write(saved.read_bytes()).returncode, 0)
        self.assertEqual(self.read(), text + pictures_section())

    def test_vendor_pictures_replace_the_wizards_own(self):
        (self.root / "art").mkdir()
        (self.root / "art" / "side.bmp").write_bytes(bmp(164, 314, (255, 0, 255)))
        (self.root / "logo.bmp").write_bytes(bmp(40, 30, (0, 128, 0)))
        (self.root / "app.ico").write_bytes(ico(16, 32))
        settings = (canonical(FULL) + "\r\n[Wizard]\r\nHeaderBitmap=logo.bmp\r\nWatermarkBitmap=art\\side.bmp\r\n"
                    "Icon=app.ico\r\n")
        result = self.write(settings)
        self.assertEqual(result.returncode, 0, describe(result))
        vendor = pictures_section("the vendor's header bitmap (40 x 30 pixels)",
                                  "the vendor's watermark bitmap (164 x 314 pixels)", "the vendor's icon (16, 32 pixels)")
        self.assertEqual(self.read(), canonical(FULL) + vendor)
        # The vendor's two images replace all of the client's own sizes.
        self.assertEqual(icon_images(self.client), 2)
        self.assertEqual(self.write(canonical(FULL)).returncode, 0)
        self.assertEqual(self.read(), canonical(FULL) + vendor)
        # The user sees the vendor's watermark beside the schedule page.
        client = start_client(self.client, "Scheduler")
        try:
            wizard = Wizard(self.client)
            sheet = wizard.wait_page("schedule")
            left, top, right, bottom = sheet["client"]
            spot = (left + 60, (top + bottom) // 2)
            # The page is painted a moment after it shows.
            wait_for(lambda: screen_colour(*spot) == "#FF00FF", "the vendor's picture painted")
            wizard.send("close-wizard")
            self.assertEqual(wait_exit(client), 0)
        finally:
            if client.poll() is None:
                client.kill()


if __name__ == "__main__":
    unittest.main(verbosity=2)
