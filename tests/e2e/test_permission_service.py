"""The permission manager as a vendor installs it and a user's client meets it: the real
Renewix.exe installed as a Windows service under Wine, driven by its keywords, and silent
updates carried out through its pipe. Every service a test installs is removed in its
teardown (Wine would start an automatic service again with the next wineserver)."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

from renewix_e2e import BIN, WINE_RUN, configure, log_so_far, publish, read_log, windows_path, wine

BASE_CODE = "2B4D6F80"
# Instance numbers of this run's services, pipes and stop events: no other run uses them.
INSTANCE_BASE = 41000 + (os.getpid() % 4000) * 8

DOCUMENT = """<?xml version="1.0"?>
<Renewix>
  <UpdateVersion>2.0</UpdateVersion>
  <UpdateType>Silent</UpdateType>
  <Restart>No restart</Restart>
  <FileList>
    <Directory Name="&lt;ApplicationDir&gt;">
      <File Name="data.txt" Src="files/"/>
      <File Name="probe.dll" Src="files/" Register="True"/>
      <File Name="help.zip" Src="files/" Action="unzip"/>
    </Directory>
  </FileList>
  <RegList>
    <Key Name="HKEY_LOCAL_MACHINE"><Key Name="Software"><Key Name="{key}"><Key Name="Update">
      <Value Name="Version" Action="Add REG_SZ 2.0"/>
    </Key></Key></Key></Key>
  </RegList>
</Renewix>
"""

ALREADY_INSTALLED = "The update service is already installed or running"
BLOCKED_FOLDER = (
    "Do not install the permission manager in this directory, as it blocks the Renewix configuration tool from "
    "rebuilding the update client executable. For testing, create a separate directory and install the permission "
    "manager over there."
)


def wait_until(condition, limit=30.0):
    """Polls a condition for at most `limit` seconds; its last value."""
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


def helper(*args, timeout=120):
    """pipe_client.exe from the build: a program other than the service's."""
    result = wine(BIN / "pipe_client.exe", *args, timeout=timeout)
    return result.stdout.decode("utf-8", "replace").strip()


def pipe_security(pipe):
    """The pipe's owner and access list once the pipe is there: a service makes it a moment
    after it reports running. "no pipe (...)" when it is not there after a while."""
    text = wait_until(lambda: None if (t := helper("security", pipe)).startswith("no pipe (2)") else t)
    return text or "no pipe (2)"


def service_state(name):
    """{'state': 4, 'pid': 123, 'start': 2, 'path': ...} or None when no such service exists."""
    text = helper("service", name)
    match = re.match(r"state=(\d+) pid=(\d+) start=(\d+) path=(.*)", text)
    if not match:
        return None
    return {"state": int(match[1]), "pid": int(match[2]), "start": int(match[3]), "path": match[4]}


def registry_value(key, value):
    result = subprocess.run([str(WINE_RUN), "reg", "query", key, "/v", value], capture_output=True)
    return result.stdout.decode("utf-8", "replace") if result.returncode == 0 else None


def unix_processes(fragment):
    """Unix ids of the Wine processes whose command line contains `fragment`."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if fragment.lower() in command.lower():
            found.append((int(entry.name), command))
    return found


def holds_open(pid, path):
    """Whether a Unix process has a file open."""
    try:
        links = [os.readlink(link) for link in Path(f"/proc/{pid}/fd").iterdir()]
    except OSError:
        return False
    return str(Path(path).resolve()) in links


class Product:
    """One vendor's client in a folder of its own, with its own instance number."""

    def __init__(self, folder, instance, application, main_application="Viewer.exe", executable="Renewix.exe",
                 settings=None):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.instance = instance
        self.exe = self.folder / executable
        shutil.copy(BIN / executable, self.exe)
        all_settings = {
            "Application": {"MainApplication": main_application, "ApplicationName": application,
                            "CompanyName": "Example Co", "BackgroundKeyword": "0", "DefaultVersion": "1.0",
                            "LogFileName": "RenewixLog.txt", "BaseSecureCode": BASE_CODE},
            "Options": {"LoggingEnabled": "1", "CheckFrequency": "1", "LaunchAfterCheck": "1",
                        "InstanceNumber": str(instance)},
        }
        for section, keys in (settings or {}).items():
            all_settings.setdefault(section, {}).update(keys)
        configure(self.exe, all_settings)
        self.service_name = f"Example Co: {application} update permissions manager. {instance}."
        self.pipe = f"\\\\.\\pipe\\Renewix{instance}"

    def keyword(self, keyword, timeout=60):
        return wine(self.exe, keyword, timeout=timeout)

    def installed(self):
        return self.keyword("-PermissionManagerCheckInstalled").returncode == 1

    def install(self):
        result = self.keyword("-PermissionsManagerInstall")
        assert result.returncode == 0, result
        assert wait_until(self.installed), f"{self.service_name} did not start"

    def uninstall(self):
        self.keyword("-PermissionManagerUninstall", timeout=120)

    def log(self):
        return read_log(self.folder / "RenewixLog.txt")


class ServiceTestCase(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="renewix-service-"))
        self.products = []

    def tearDown(self):
        for product in self.products:
            product.uninstall()
            if service_state(product.service_name) is not None:
                subprocess.run([str(WINE_RUN), "sc", "delete", product.service_name], capture_output=True)
        shutil.rmtree(self.root, ignore_errors=True)

    def product(self, folder, offset, application="Viewer", **options):
        product = Product(self.root / folder, INSTANCE_BASE + offset, application, **options)
        self.products.append(product)
        return product

    def run_showing_error(self, exe, keyword):
        """Runs a keyword that shows an error box; returns the box's text (lines joined by |)."""
        process = subprocess.Popen([str(WINE_RUN), str(exe), keyword], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            text = helper("error-box")
            self.assertEqual(process.wait(timeout=60), 0)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        return text


class KeywordTest(ServiceTestCase):
    def test_install_check_refuse_a_second_install_and_uninstall_while_running(self):
        product = self.product("Program Files/Example Viewer", 0)
        self.assertFalse(product.installed())
        product.install()
        self.assertFalse((product.folder / "RenewixLog.txt").exists())  # the keywords write no log

        state = service_state(product.service_name)
        self.assertIsNotNone(state)
        self.assertEqual(state["state"], 4)
        self.assertEqual(state["start"], 2)  # automatic
        # Quoted: a path with blanks can never start another program.
        self.assertEqual(state["path"], f'"{windows_path(product.exe)}" -PermissionManagerRun')

        # The pipe admits only the system, administrators and interactive users, who may not
        # make instances of it; a program other than the client is refused all the same.
        descriptor = pipe_security(product.pipe)
        self.assertEqual(descriptor, "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12008b;;;IU)")
        self.assertEqual(helper("greet", product.pipe), "refused")

        text = self.run_showing_error(product.exe, "/PermissionManagerInstall")
        self.assertRegex(text, "^" + re.escape(ALREADY_INSTALLED) + r"\|Error ID: \d+$")
        self.assertEqual(service_state(product.service_name)["pid"], state["pid"])

        result = product.keyword("-PermissionManagerUninstall", timeout=120)
        self.assertEqual(result.returncode, 0)
        self.assertFalse(product.installed())
        self.assertIsNone(service_state(product.service_name))
        self.assertTrue(helper("security", product.pipe).startswith("no pipe"))

    def test_an_update_client_beside_an_update_server_refuses_to_install(self):
        (self.root / "UpdateServer").mkdir()
        blocked = self.product("UpdateClient", 1)
        text = self.run_showing_error(blocked.exe, "-PermissionManagerInstall")
        self.assertRegex(text, "^" + re.escape(BLOCKED_FOLDER) + r"\|Error ID: -?\d+$")
        self.assertFalse(blocked.installed())
        self.assertIsNone(service_state(blocked.service_name))

        # The same client anywhere else installs.
        elsewhere = self.product("Client", 1)
        elsewhere.install()
        self.assertEqual(service_state(elsewhere.service_name)["state"], 4)


class UpdateThroughServiceTest(ServiceTestCase):
    """Two products on one machine, each updated silently through its own service."""

    def released_product(self, folder, offset, application, **options):
        """A product whose update 2.0 waits in a server folder: a data file, a library to
        register, an archive and a machine-wide registry value."""
        instance = INSTANCE_BASE + offset
        key = f"RenewixServiceTest{instance}"
        self.keys.append(key)
        server = self.root / f"server-{instance}"
        release = self.root / f"release-{instance}"
        (server / "files").mkdir(parents=True)
        (release / "files").mkdir(parents=True)
        (release / "files" / "data.txt").write_text(f"version 2 data of {instance}")
        shutil.copy(BIN / "host_probe.dll", release / "files" / "probe.dll")
        with zipfile.ZipFile(release / "files" / "help.zip", "w") as archive:
            archive.writestr("help/", "")
            archive.writestr("help/index.txt", "help for version 2")
        document = self.root / f"update-{instance}.xml"
        document.write_text(DOCUMENT.replace("{key}", key))
        publish(document, release, BASE_CODE, server / "update.xml")
        shutil.copytree(release / "files", server / "files", dirs_exist_ok=True)
        product = self.product(folder, offset, application, settings={
            "PrimaryServer": {"DocumentProtocol": "file:", "DocumentAddress": windows_path(server / "update.xml")}},
            **options)
        (product.folder / "data.txt").write_text("version 1 data")
        return product, key

    def setUp(self):
        super().setUp()
        self.keys = []

    def tearDown(self):
        for key in self.keys:
            subprocess.run([str(WINE_RUN), "reg", "delete", "HKLM\\Software\\" + key, "/f"], capture_output=True)
        super().tearDown()

    def update(self, product, viewer, while_waiting=None):
        """A background run that waits for the user to close the program before installing.
        While it waits, the log it writes is held open by the service, not by the client;
        then `while_waiting` runs, and the user closes the program."""
        shutil.copy(BIN / "window_app.exe", product.folder / viewer)
        program = subprocess.Popen([str(WINE_RUN), str(product.folder / viewer)], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        client = None
        try:
            self.assertTrue(wait_until(lambda: unix_processes(viewer)), "the program did not start")
            client = subprocess.Popen([str(WINE_RUN), str(product.exe), "0"], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            log = product.folder / "RenewixLog.txt"
            service = [pid for pid, command in unix_processes(windows_path(product.exe))
                       if "PermissionManagerRun" in command]
            self.assertEqual(len(service), 1, unix_processes(windows_path(product.exe)))
            self.assertTrue(wait_until(lambda: "Terminating main application" in log_so_far(log)),
                            "the client did not reach the program")
            self.assertTrue(holds_open(service[0], log), "the service does not hold the log")
            clients = [pid for pid, command in unix_processes(str(product.exe)) + unix_processes(windows_path(product.exe))
                       if "PermissionManagerRun" not in command and "wine-run" not in command]
            self.assertTrue(clients, unix_processes("Renewix.exe"))
            self.assertFalse(any(holds_open(pid, log) for pid in clients), "the client wrote its log itself")
            if while_waiting:
                while_waiting()
            subprocess.run([str(WINE_RUN), "taskkill", "/IM", viewer], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.assertEqual(client.wait(timeout=120), 0)
        finally:
            for process in (program, client):
                if process and process.poll() is None:
                    process.kill()
                    process.wait()
        return product.log()

    def check_installed_through(self, product, key):
        log = product.log()
        self.assertTrue(log.startswith("Logging started\r\n\r\nPermission management service is active\r\n"), log)
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertEqual((product.folder / "data.txt").read_text(), f"version 2 data of {product.instance}")
        self.assertEqual((product.folder / "help" / "index.txt").read_text(), "help for version 2")
        self.assertFalse((product.folder / "help.zip").exists())
        self.assertFalse((product.folder / "RenewixFiles").exists())
        # The library was registered inside this product's service, not in the client.
        host = (product.folder / "probe.dll.host").read_text(errors="replace")
        self.assertIn(f'"{windows_path(product.exe)}" -PermissionManagerRun', host)
        self.assertIn("2.0", registry_value(f"HKLM\\Software\\{key}\\Update", "Version") or "")
        self.assertIn(f"\tUpdated registry:\tHKEY_LOCAL_MACHINE\\Software\\{key}\\Update\r\n", log)
        self.assertIn("<ApplicationVersion>2.0</ApplicationVersion>",
                      (product.folder / "RenewixStatus.xml").read_text(encoding="cp1252"))

    def test_two_products_update_through_their_own_services(self):
        first, first_key = self.released_product("first", 2, "Viewer A", main_application="ViewerA.exe")
        second, second_key = self.released_product("second", 3, "Viewer B", main_application="ViewerB.exe")
        keys = [first_key, second_key]
        for product in (first, second):
            product.install()
        states = [service_state(product.service_name) for product in (first, second)]
        self.assertNotEqual(states[0]["pid"], states[1]["pid"])
        for product in (first, second):
            security = pipe_security(product.pipe)
            self.assertTrue(security.startswith("O:BA"), f"{product.pipe}: {security}")

        self.update(first, "ViewerA.exe")
        self.check_installed_through(first, keys[0])
        # The other product was not touched.
        self.assertEqual((second.folder / "data.txt").read_text(), "version 1 data")
        self.assertIsNone(registry_value(f"HKLM\\Software\\{keys[1]}\\Update", "Version"))

        self.update(second, "ViewerB.exe")
        self.check_installed_through(second, keys[1])
        for product, state in zip((first, second), states):
            self.assertEqual(service_state(product.service_name)["pid"], state["pid"])

    def test_a_client_whose_service_went_away_places_nothing_itself(self):
        # The service is stopped while the client waits for the program: every file and
        # registry operation of the installation went to the pipe, so nothing is placed.
        product, key = self.released_product("orphan", 5, "Viewer C", main_application="ViewerC.exe")
        product.install()
        self.update(product, "ViewerC.exe", while_waiting=product.uninstall)
        self.assertFalse(product.installed())
        self.assertEqual((product.folder / "data.txt").read_text(), "version 1 data")
        self.assertFalse((product.folder / "help").exists())
        self.assertFalse((product.folder / "probe.dll.host").exists())
        self.assertIsNone(registry_value(f"HKLM\\Software\\{key}\\Update", "Version"))
        self.assertNotIn("Update was successful!", product.log())

    def test_without_the_service_the_client_works_in_its_own_process(self):
        product, _ = self.released_product("plain", 4, "Viewer")
        result = wine(product.exe, "0", timeout=120, capture=False)
        self.assertEqual(result.returncode, 0)
        log = product.log()
        self.assertNotIn("Permission management service is active", log)
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertNotIn("PermissionManagerRun", (product.folder / "probe.dll.host").read_text(errors="replace"))


class FuzzTest(ServiceTestCase):
    """Random and damaged requests against the running service, from a client it accepts:
    a copy of the pipe client installed as the service itself."""

    REQUESTS = 20000

    def listing(self, path):
        try:
            return sorted(os.listdir(path))
        except OSError:
            return None

    def test_the_service_survives_malformed_requests_and_writes_only_where_asked(self):
        host = self.product("host", 6, "Pipe Client", executable="pipe_client.exe")
        sandbox = self.root / "sandbox"
        sandbox.mkdir()
        key = f"RenewixFuzz{host.instance}"
        prefix = Path(os.environ.get("WINEPREFIX", Path(BIN).parent / "wineprefix"))
        # The test's folder beside the sandbox, and where a relative path would land.
        watched = [self.root, host.folder, prefix / "drive_c", prefix / "drive_c" / "windows" / "system32"]
        before = {path: self.listing(path) for path in watched}
        host.install()
        state = service_state(host.service_name)

        result = wine(host.exe, "fuzz", host.pipe, str(self.REQUESTS), "20260512", windows_path(sandbox),
                      "HKEY_LOCAL_MACHINE\\Software\\" + key, timeout=800)
        output = result.stdout.decode("utf-8", "replace")
        subprocess.run([str(WINE_RUN), "reg", "delete", "HKLM\\Software\\" + key, "/f"], capture_output=True)
        self.assertEqual(result.returncode, 0, output)
        self.assertRegex(output, rf"sent={self.REQUESTS} connections=\d+")

        # Still the same process, still serving its own client, still refusing others.
        after = service_state(host.service_name)
        self.assertEqual((after["state"], after["pid"]), (4, state["pid"]))
        self.assertEqual(wine(host.exe, "exercise", host.pipe, windows_path(sandbox)).stdout.strip(), b"ok")
        self.assertEqual(helper("greet", host.pipe), "refused")
        self.assertEqual(pipe_security(host.pipe), "O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12008b;;;IU)")
        # Nothing appeared beside the sandbox, nor where a relative or cut path would land.
        for path in watched:
            self.assertEqual(self.listing(path), before[path], path)


if __name__ == "__main__":
    unittest.main(verbosity=2)
