"""Renders every page of the wizard from the real client under Xvfb and writes PNG pictures of
them, in English and in German, so that a vendor sees what their users will see. It drives the
wizard with the end-to-end tests' harness (tests/e2e). Run through
scripts/screenshots, which builds the client, provides the display and sets the scale (the
prefix's DPI) before each run; the pictures are never edited by hand.
    render_wizard_pages.py OUTPUT_FOLDER SCALE
writes OUTPUT_FOLDER/en-SCALE/*.png and OUTPUT_FOLDER/de-SCALE/*.png."""

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from renewix_e2e import (BACK, BIN, CANCEL, FINISH, NEXT, button, configure, control, page_kind, publish,
                         require_connected_wine, serve, Site, start_client, stop_server, text_of, wait_exit, Wizard)

DOCUMENT = """<?xml version="1.0"?>
<Renewix>
  <UpdateVersion>2.0</UpdateVersion>
  <Welcome>Version 2.0 of %ApplicationName% is ready for you.

It opens large pictures twice as fast and remembers the folders you use most.</Welcome>
  <Reason>What is new in 2.0:
- faster opening of large pictures
- recent folders in the Open dialog
- fixes for printing on A3 paper</Reason>
  <License>EXAMPLE LTD SOFTWARE LICENCE

You may install and use Example Viewer on any computer you own. You may not sell it or
pass it on as your own. The software comes as it is, without any warranty.</License>
  <FileList>
    <Directory Name="&lt;ApplicationDir&gt;">
      <File Name="Viewer.exe" Src="files/"/>
      <File Name="viewer-help.txt" Src="files/"/>
      <File Name="viewer-data.txt" Src="files/"/>
    </Directory>
  </FileList>
</Renewix>
"""


def close_viewer():
    subprocess.run([str(ROOT / "scripts" / "wine-run"), "taskkill", "/F", "/IM", "Viewer.exe"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def settled(wizard, kind, buttons_set):
    return wizard.wait_sheet(lambda s: page_kind(s) == kind and buttons_set(s), f"the {kind} page")


class Camera:
    def __init__(self, wizard, folder):
        self.wizard, self.folder = wizard, folder

    def shoot(self, sheet, name):
        """A picture of the sheet's client area (no window manager draws a frame here)."""
        self.wizard.act("paint")
        left, top, right, bottom = sheet["client"]
        path = self.folder / f"{name}.png"
        # Taken until two pictures in a row agree: the screen has settled.
        previous = None
        for _ in range(20):
            subprocess.run(["import", "-window", "root", "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                            "+repage", "-strip", str(path)], check=True, timeout=60)
            picture = path.read_bytes()
            if picture == previous:
                break
            previous = picture
        print(f"wrote {path}")


# The client takes its language from the user's; Wine follows the locale of the environment.
LANGUAGES = {"en": "en_US.UTF-8", "de": "de_DE.UTF-8"}


def main(output, scale):
    require_connected_wine()
    for language, locale in LANGUAGES.items():
        folder = Path(output).resolve() / f"{language}-{scale}"
        folder.mkdir(parents=True, exist_ok=True)
        render(folder, {"LC_ALL": locale, "LANG": locale})


def render(output, env):
    root = Path(tempfile.mkdtemp(prefix="renewix-screens-"))
    site = Site(root / "site")
    server = None
    try:
        app, release = root / "app", root / "release"
        for folder in (app, release / "files", site.folder / "updates"):
            folder.mkdir(parents=True)
        client = app / "Renewix.exe"
        shutil.copy(BIN / "Renewix.exe", client)
        shutil.copy(BIN / "window_app.exe", release / "files" / "Viewer.exe")
        (release / "files" / "viewer-help.txt").write_text("Help for Example Viewer 2.0\n" * 400)
        (release / "files" / "viewer-data.txt").write_text("data for version 2.0\n" * 3000)
        server = serve(site)
        configure(client, {
            "PrimaryServer": {"DocumentProtocol": "http://", "DocumentAddress": "127.0.0.1/updates/update.xml",
                              "DocumentPort": str(server.server_address[1])},
            "Application": {"MainApplication": "Viewer.exe", "ApplicationName": "Example Viewer",
                            "CompanyName": "Example Ltd", "CompanyWebAddress": "http://127.0.0.1:9/",
                            "CheckNowKeyword": "CheckNow", "DefaultVersion": "1.0", "LogFileName": "RenewixLog.txt"},
            "Options": {"LoggingEnabled": "1", "CheckFrequency": "1", "LaunchAfterCheck": "1"},
        })
        (root / "update.xml").write_text(DOCUMENT)
        publish(root / "update.xml", release, "0", site.folder / "updates" / "update.xml")
        shutil.copytree(release / "files", site.folder / "updates" / "files", dirs_exist_ok=True)
        held = site.hold("/updates/files/viewer-help.txt")

        wizard = Wizard(client)
        camera = Camera(wizard, output)
        process = start_client(client, "CheckNow", env=env)
        # Each page once its buttons are set, which happens a moment after it appears.
        camera.shoot(settled(wizard, "checking", lambda s: not button(s, NEXT)["visible"]), "checking")
        camera.shoot(settled(wizard, "intro", lambda s: button(s, NEXT)["enabled"]), "intro")
        wizard.press(NEXT)
        camera.shoot(settled(wizard, "terms", lambda s: button(s, BACK)["enabled"]), "terms")
        wizard.click(1030)
        wizard.wait_sheet(lambda s: button(s, NEXT)["enabled"], "Next enabled")
        wizard.press(NEXT)
        first = (release / "files" / "Viewer.exe").stat().st_size
        sheet = wizard.wait_sheet(lambda s: text_of(s, 1002).endswith(" 2 / 3") and
                                  control(s["page"], 1024)["position"] == first, "the second of three files")
        camera.shoot(sheet, "download")
        held.set()
        camera.shoot(settled(wizard, "ready", lambda s: not button(s, CANCEL)["visible"]), "ready")
        wizard.press(NEXT)
        camera.shoot(settled(wizard, "installing", lambda s: button(s, NEXT)["rect"][0] < 0), "installing")
        wait_exit(process)
        # The update restarted the program: it must not stand in the later pictures.
        close_viewer()

        # Version 2.0 is installed now: the next check finds nothing to do.
        process = start_client(client, "CheckNow", env=env)
        camera.shoot(settled(wizard, "message", lambda s: button(s, FINISH)["visible"]), "message")
        wizard.press(FINISH)
        wait_exit(process)

        process = start_client(client, "Scheduler", env=env)
        camera.shoot(settled(wizard, "schedule", lambda s: button(s, FINISH)["visible"]), "schedule")
        wizard.send("close-wizard")
        wait_exit(process)
    finally:
        site.release_all()
        if server:
            stop_server(server)
        close_viewer()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
