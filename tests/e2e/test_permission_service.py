"""The permission manager as a vendor installs it and a user's client meets it: the real
Renewix.exe installed as a Windows service under Wine, driven by its keywords, and silent
updates carried out through its pipe. Every product signs its updates with a key of its own,
which its client and so its service trust. Every service a test installs is removed in its
teardown (Wine would start an automatic service again with the next wineserver)."""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile
from pathlib import Path

from renewix_e2e import (BIN, WINE_RUN, client_settings, configure, delete_registry, file_entry, log_so_far,
                         openssl_key, publish, read_log, registry_value, run_tool, update_document, wait_for, windows_path, wine)

BASE_CODE = "2B4D6F80"
# Instance numbers of this run's services, pipes and stop events: no other run uses them.
INSTANCE_BASE = 41000 + (os.getpid() % 4000) * 16

ALREADY_INSTALLED = "The update service is already installed or running"
BLOCKED_FOLDER = (
    "Do not install the permission manager in this directory, as it blocks the Renewix configuration tool from "
    "rebuilding the update client executable. For testing, create a separate directory and install the permission "
    "manager over there."
)


def helper(*args, timeout=120):
    """test_tool.exe from the build: a program other than the service's."""
    result = run_tool(BIN / "test_tool.exe", *args, timeout=timeout)
    return result.stdout.decode("utf-8", "replace").strip()


def pipe_security(pipe):
    """The pipe's owner and access list once the pipe is there: a service makes it a moment
    after it reports running."""
    return wait_for(lambda: None if (t := helper("security", pipe)).startswith("no pipe (2)") else t, pipe, limit=30)


def service_state(name):
    """{'state': 4, 'pid': 123, 'start': 2, 'path': ...} or None when no such service exists."""
    text = helper("service", name)
    match = re.match(r"state=(\d+) pid=(\d+) start=(\d+) path=(.*)", text)
    if not match:
        return None
    return {"state": int(match[1]), "pid": int(match[2]), "start": int(match[3]), "path": match[4]}


def snapshot(folder):
    """Every file and folder under `folder`, with the files' hashes."""
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest() if p.is_file() else None
            for p in Path(folder).rglob("*")}


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

    def __init__(self, folder, instance, application, key=None, main_application="Viewer.exe",
                 executable="Renewix.exe", server=None):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.instance = instance
        self.exe = self.folder / executable
        shutil.copy(BIN / executable, self.exe)
        all_settings = client_settings(
            PrimaryServer=server, Options={"InstanceNumber": str(instance)},
            Application={"MainApplication": main_application, "ApplicationName": application,
                         "CompanyName": "Example Co", "BaseSecureCode": BASE_CODE},
            Security={"TrustedKeys": base64.b64encode(key[1]).decode() if key else ""})
        configure(self.exe, all_settings)
        self.settings, self.key = all_settings, key
        self.service_name = f"Example Co: {application} update permissions manager. {instance}."
        self.pipe = f"\\\\.\\pipe\\Renewix{instance}"

    def keyword(self, keyword, timeout=60):
        return run_tool(self.exe, keyword, timeout=timeout)

    def installed(self):
        # Not run_tool: "installed" is a silent exit code 1, which it takes for a start that failed.
        return wine(self.exe, "-PermissionManagerCheckInstalled").returncode == 1

    def install(self):
        result = self.keyword("-PermissionsManagerInstall")
        assert result.returncode == 0, result
        wait_for(self.installed, f"{self.service_name} started", limit=30)

    def uninstall(self):
        self.keyword("-PermissionManagerUninstall", timeout=120)

    def probe(self, *request):
        """One request from this program (when it is the test tool) to its own service."""
        # A start that never reached the program (no output at all) is tried once more.
        return run_tool(self.exe, "probe", self.pipe, *request).stdout.decode("utf-8", "replace").strip()


class ServiceTestCase(unittest.TestCase):
    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="renewix-service-"))
        self.products = []

    def tearDown(self):
        for product in self.products:
            product.uninstall()
            if service_state(product.service_name) is not None:
                subprocess.run([str(WINE_RUN), "sc", "delete", product.service_name], capture_output=True)
            delete_registry("HKLM\\SOFTWARE\\Renewix\\PermissionManager", f"VersionFloor{product.instance}")
            delete_registry(f"HKLM\\SOFTWARE\\Renewix\\PermissionManager\\SetAside{product.instance}")
        shutil.rmtree(self.root, ignore_errors=True)

    def product(self, folder, offset, application="Viewer", keyed=True, **options):
        key = openssl_key(self.root, f"signing-{offset}") if keyed else None
        product = Product(self.root / folder, INSTANCE_BASE + offset, application, key, **options)
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

        state = service_state(product.service_name) or {}
        self.assertEqual(state.get("state"), 4)
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

    def test_installations_that_are_refused(self):
        (self.root / "UpdateServer").mkdir()
        rows = [("beside an update server", "UpdateClient", 1, True, "^" + re.escape(BLOCKED_FOLDER) + r"\|Error ID: -?\d+$"),
                ("without trusted keys", "Keyless", 2, False, r"(?i)trust|key")]
        for name, folder, offset, keyed, shown in rows:
            with self.subTest(name):
                refused = self.product(folder, offset, keyed=keyed)
                self.assertRegex(self.run_showing_error(refused.exe, "-PermissionManagerInstall"), shown)
                self.assertFalse(refused.installed())
                self.assertIsNone(service_state(refused.service_name))
        # The same client anywhere else installs.
        elsewhere = self.product("Client", 1)
        elsewhere.install()
        self.assertEqual(service_state(elsewhere.service_name)["state"], 4)


class UpdateThroughServiceTest(ServiceTestCase):
    """Two products on one machine, each updated silently through its own service."""

    def released_product(self, folder, offset, application, **options):
        """A product whose update 2.0, signed with its key, waits in a server folder: a data file,
        a library to register, an archive and a machine-wide registry value."""
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
        product = self.product(folder, offset, application, server={
            "DocumentProtocol": "file:", "DocumentAddress": windows_path(server / "update.xml")}, **options)
        (product.folder / "data.txt").write_text("version 1 data")
        files = ["data.txt", file_entry("probe.dll", Register="True"), file_entry("help.zip", Action="unzip")]
        document = self.root / f"update-{instance}.xml"
        document.write_text(update_document(files=files, restart="No restart", registry=(
            f"HKEY_LOCAL_MACHINE\\Software\\{key}\\Update", "Version", "Add REG_SZ 2.0")))
        publish(document, release, BASE_CODE, server / "update.xml", "--key", windows_path(product.key[0]),
                "--expires", "30d")
        shutil.copytree(release / "files", server / "files", dirs_exist_ok=True)
        return product, key

    def setUp(self):
        super().setUp()
        self.keys = []

    def tearDown(self):
        for key in self.keys:
            delete_registry("HKLM\\Software\\" + key)
        super().tearDown()

    def update(self, product, viewer):
        """A background run that waits for the user to close the program before installing.
        While it waits, the log it writes is held open by the service, not by the client; then
        the user closes the program."""
        shutil.copy(BIN / "window_app.exe", product.folder / viewer)
        program = subprocess.Popen([str(WINE_RUN), str(product.folder / viewer)], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        client = None
        try:
            wait_for(lambda: unix_processes(viewer), "the program started", limit=30)
            client = subprocess.Popen([str(WINE_RUN), str(product.exe), "0"], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            log = product.folder / "RenewixLog.txt"
            service = [pid for pid, command in unix_processes(windows_path(product.exe))
                       if "PermissionManagerRun" in command]
            self.assertEqual(len(service), 1, unix_processes(windows_path(product.exe)))
            wait_for(lambda: "Terminating main application" in log_so_far(log), "the client reached the program",
                     limit=30)
            # Under Wine the service's descriptor for the log may show a moment after its lines do.
            wait_for(lambda: holds_open(service[0], log), "the service holding the log", limit=30)
            clients = [pid for pid, command in unix_processes(str(product.exe)) + unix_processes(windows_path(product.exe))
                       if "PermissionManagerRun" not in command and "wine-run" not in command]
            self.assertTrue(clients, unix_processes("Renewix.exe"))
            self.assertFalse(any(holds_open(pid, log) for pid in clients), "the client wrote its log itself")
            subprocess.run([str(WINE_RUN), "taskkill", "/IM", viewer], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.assertEqual(client.wait(timeout=120), 0)
        finally:
            for process in (program, client):
                if process and process.poll() is None:
                    process.kill()
                    process.wait()

    def check_installed_through(self, product, key):
        log = read_log(product.folder / "RenewixLog.txt")
        self.assertTrue(log.startswith("Logging started\r\n\r\nPermission management service is active\r\n"), log)
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertEqual((product.folder / "data.txt").read_text(), f"version 2 data of {product.instance}")
        self.assertEqual((product.folder / "help" / "index.txt").read_text(), "help for version 2")
        self.assertFalse((product.folder / "help.zip").exists())
        staging = product.folder / "RenewixFiles"
        self.assertEqual(os.listdir(staging) if staging.exists() else [], [])
        # The library was registered by the service, not in the client ("Renewix.exe 0").
        host = (product.folder / "probe.dll.host").read_text(errors="replace")
        self.assertNotRegex(host, r'(?i)Renewix\.exe"?\s+0\s*$')
        self.assertIn("2.0", registry_value(f"HKLM\\Software\\{key}\\Update", "Version") or "")
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

        self.update(first, "ViewerA.exe")
        self.check_installed_through(first, keys[0])
        # The other product was not touched.
        self.assertEqual((second.folder / "data.txt").read_text(), "version 1 data")
        self.assertIsNone(registry_value(f"HKLM\\Software\\{keys[1]}\\Update", "Version"))

        self.update(second, "ViewerB.exe")
        self.check_installed_through(second, keys[1])
        for product, state in zip((first, second), states):
            self.assertEqual(service_state(product.service_name)["pid"], state["pid"])


class LinkTest(ServiceTestCase):
    """One request at a time against the real service, from the one program it serves: a copy
    of the test tool installed as the service, so R is that copy's folder."""

    def setUp(self):
        super().setUp()
        self.host = self.product("host", 8, "Test Tool", executable="test_tool.exe")
        self.r, self.outside = windows_path(self.host.folder), self.root / "outside"
        self.staging = self.r + "\\RenewixFiles"
        self.source = self.root / "source.txt"
        for path, text in ((self.source, "source"), (self.outside / "keep.txt", "kept")):
            path.parent.mkdir(exist_ok=True)
            path.write_text(text)
        self.host.install()

    def test_links_lead_no_request_out_of_r(self):
        """Links to outside R: a folder link and a file link in staging, a hard link there to a
        file outside, and staging itself a link. Removing a link may be served; nothing outside
        may change, not even for a moment before a check."""
        s, source, before = self.staging, windows_path(self.source), snapshot(self.outside)
        rows = [("link", ["Write", s + "\\link\\x.txt", source], "ended"),
                ("link", ["Open", s + "\\link\\keep.txt", "read"], "ended"),
                ("link", ["MakeDirectories", s + "\\link\\made"], "0"),
                ("link", ["Move", s + "\\link\\keep.txt", s + "\\moved.txt"], "0"),
                ("link", ["Delete", s + "\\link\\keep.txt"], "0"),
                ("link", ["DeleteTree", s + "\\link"], None),
                ("file.txt", ["Write", s + "\\file.txt", source], "ended"),
                ("file.txt", ["Open", s + "\\file.txt", "read"], "ended"),
                ("hard.txt", ["Write", s + "\\hard.txt", source], "ended"),
                ("", ["Write", s + "\\y.txt", source], "ended"),
                ("", ["Delete", s + "\\keep.txt"], "0"),
                ("", ["DeleteTree", s], None)]
        staging = self.host.folder / "RenewixFiles"
        for link, request, answer in rows:
            with self.subTest(link=link or "staging", request=request[0]):
                (self.outside / "keep.txt").write_text("kept")
                if staging.is_symlink():
                    staging.unlink()
                shutil.rmtree(staging, ignore_errors=True)
                if not link:
                    staging.symlink_to(self.outside, target_is_directory=True)
                elif staging.mkdir() or link == "hard.txt":
                    os.link(self.outside / "keep.txt", staging / link)
                else:
                    (staging / link).symlink_to(self.outside / ("keep.txt" if link == "file.txt" else ""))
                reply = self.host.probe(*request)
                if answer is not None:
                    self.assertEqual(reply, answer)
                self.assertEqual(snapshot(self.outside), before)


if __name__ == "__main__":
    unittest.main(verbosity=2)
