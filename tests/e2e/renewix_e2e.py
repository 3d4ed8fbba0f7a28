"""Helpers for end-to-end tests: real Renewix.exe and RenewixConfig.exe under Wine."""

import contextlib
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = ROOT / "scripts" / "wine-run"
BIN = Path(os.environ.get("RENEWIX_BIN", ROOT / "build" / "bin"))


def windows_path(path):
    """Wine maps the Unix root to drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine(exe, *args, timeout=60, cwd=None, capture=True):
    """Runs a Windows program. Programs it starts inherit its output, so a run that
    starts another program must not capture, or the pipes stay open after it ends."""
    output = subprocess.PIPE if capture else subprocess.DEVNULL
    return subprocess.run([str(WINE_RUN), str(exe), *args], stdout=output, stderr=output, timeout=timeout, cwd=cwd)


def run_tool(exe, *args, **options):
    """Runs a tool that prepares a test (configuration, publishing). A tool that fails
    always says why; a run with no output at all never reached the tool (Wine has been
    seen to end a start that way on a loaded machine), so it is tried once more."""
    result = wine(exe, *args, **options)
    if result.returncode != 0 and not result.stdout and not result.stderr:
        print(f"note: {Path(exe).name} ended with {result.returncode} and no output; running it again",
              file=sys.stderr)
        result = wine(exe, *args, **options)
    return result


def run_logged_client(exe, log, *args, timeout=180):
    """Runs the client, whose output is not captured (see wine), and returns its log. A run
    that ends with a failure code before the client wrote its log never reached the client
    (a Wine start failing on a loaded machine): it is tried once more."""
    log = Path(log)
    for attempt in (1, 2):
        log.unlink(missing_ok=True)
        code = wine(exe, *args, timeout=timeout, capture=False).returncode
        if code == 0 or log.exists() or attempt == 2:
            break
        print(f"note: {Path(exe).name} ended with {code} before writing its log; running it again", file=sys.stderr)
    if code != 0:
        raise AssertionError(f"{exe} ended with exit code {code}")
    text = read_log(log)
    # Every run ends its log, whatever happened in it.
    if not text.endswith("\tEnd of recording\r\n"):
        raise AssertionError(f"the log does not end its recording: {text[-300:]!r}")
    return text


def client_settings(**sections):
    """The settings of a client at version 1.0 that checks on every start and logs; `sections`
    (PrimaryServer among them) add to them or override them, section by section."""
    settings = {
        "Application": {"MainApplication": "Viewer.exe", "BackgroundKeyword": "0", "DefaultVersion": "1.0",
                        "LogFileName": "RenewixLog.txt"},
        "Options": {"LoggingEnabled": "1", "CheckFrequency": "1", "LaunchAfterCheck": "1"},
    }
    for section, keys in sections.items():
        if keys:
            settings.setdefault(section, {}).update(keys)
    return settings


def file_entry(name, src="files/", **attributes):
    """One <File> of a document's list; a src of None leaves Src out."""
    attributes = ({"Src": src} if src is not None else {}) | attributes
    return f'<File Name="{name}"' + "".join(f' {key}="{value}"' for key, value in attributes.items()) + "/>"


def update_document(version="2.0", files=("data.txt",), update_type="Silent", license=None, restart=None,
                    registry=None, extra=""):
    """An update document. `files` go to the application's folder: a name is fetched from files/,
    an entry starting with "<" is taken as it stands. `registry` is (key path, value, action);
    `extra` elements go before the file list."""
    entries = "".join(entry if entry.startswith("<") else file_entry(entry) for entry in files)
    text = f'<?xml version="1.0"?>\r\n<Renewix><UpdateVersion>{version}</UpdateVersion>'
    for element, value in (("UpdateType", update_type), ("Restart", restart), ("License", license)):
        if value:
            text += f"<{element}>{value}</{element}>"
    text += f'{extra}<FileList><Directory Name="&lt;ApplicationDir&gt;">{entries}</Directory></FileList>'
    if registry:
        path, value, action = registry
        keys = path.split("\\")
        text += ("<RegList>" + "".join(f'<Key Name="{key}">' for key in keys) +
                 f'<Value Name="{value}" Action="{action}"/>' + "</Key>" * len(keys) + "</RegList>")
    return text + "</Renewix>\r\n"


@contextlib.contextmanager
def file_held(path):
    """Another program holds the file open, sharing nothing, while the block runs."""
    holder = subprocess.Popen([str(WINE_RUN), str(BIN / "hold_file.exe"), windows_path(path), "120000"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        if holder.stdout.readline().strip() != b"held":
            raise AssertionError(f"{path} could not be held")
        yield
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)


def wait_for(condition, what, limit=60):
    """Polls until condition() holds and returns its value; fails after `limit` seconds."""
    deadline = time.monotonic() + limit
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {limit} s: {what}")
        time.sleep(0.05)
    return value


def registry_value(key, value=None):
    """The value's line as `reg` shows it (or the key's listing); None when it does not exist."""
    result = subprocess.run([str(WINE_RUN), "reg", "query", key, *(("/v", value) if value else ())],
                            capture_output=True)
    return result.stdout.decode("utf-8", "replace") if result.returncode == 0 else None


def delete_registry(key="HKCU\\Software\\RenewixTest", value=None):
    subprocess.run([str(WINE_RUN), "reg", "delete", key, *(("/v", value) if value else ()), "/f"], capture_output=True)


def describe(result):
    """A failed run for an assertion message: its code and everything it printed."""
    def text(data):
        return data.decode("utf-8", "replace") if data else ""
    return f"exit code {result.returncode}; stdout: {text(result.stdout)!r}; stderr: {text(result.stderr)!r}"


def settings_text(settings):
    """settings: {section: {key: value}} -> INI text."""
    lines = []
    for section, keys in settings.items():
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in keys.items())
        lines.append("")
    return "\r\n".join(lines)


def configure(exe, settings):
    """Writes settings into a client executable with the configuration tool."""
    ini = Path(exe).with_suffix(".ini")
    ini.write_text(settings_text(settings), encoding="utf-8")
    result = run_tool(BIN / "RenewixConfig.exe", "write", windows_path(exe), windows_path(ini))
    if result.returncode != 0:
        raise AssertionError(f"RenewixConfig failed: {describe(result)}")
    ini.unlink()


def publish(document, release, base_code, output, *options):
    """Publishes a document from a release folder with the publishing tool."""
    result = run_tool(BIN / "RenewixPublish.exe", windows_path(document), windows_path(release), base_code,
                      windows_path(output), *options)
    if result.returncode != 0:
        raise AssertionError(f"RenewixPublish failed: {describe(result)}")


def openssl_key(folder, name):
    """An Ed25519 key pair made by OpenSSL, independently of our tools: (private key PEM, raw public key)."""
    pem = Path(folder) / f"{name}.pem"
    subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", str(pem)], check=True, capture_output=True)
    der = subprocess.run(["openssl", "pkey", "-in", str(pem), "-pubout", "-outform", "DER"], check=True,
                         capture_output=True).stdout
    return pem, der[-32:]


def send_cut_answer(handler):
    """Answers a request with less than the announced length and closes: a short download."""
    body = b"only part of it"
    handler.send_response(200)
    handler.send_header("Content-Length", str(len(body) + 100))
    handler.end_headers()
    handler.wfile.write(body)
    handler.close_connection = True


def send_basic_challenge(handler):
    """Answers 401, asking for Basic credentials."""
    handler.send_response(401)
    handler.send_header("WWW-Authenticate", 'Basic realm="updates"')
    handler.send_header("Content-Length", "0")
    handler.end_headers()


def start_server(handler):
    """An HTTP server on 127.0.0.1 at a free port, answering from a thread of its own."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def stop_server(server):
    server.shutdown()
    server.server_close()


def log_so_far(path):
    """What a log that may be being written holds so far: empty while it is missing or its
    byte order mark is not written yet, and a half-written last character is left out."""
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        return ""
    if data[:2] != b"\xff\xfe":
        return ""
    body = data[2:]
    return body[:len(body) & ~1].decode("utf-16-le", "replace")


def read_log(path):
    """The UTF-16 log as text; fails when the byte order mark is missing."""
    data = Path(path).read_bytes()
    if data[:2] != b"\xff\xfe":
        raise AssertionError(f"{path} does not start with the UTF-16 byte order mark")
    return data[2:].decode("utf-16-le")


class ClientTestCase(unittest.TestCase):
    """Each test gets its own folder with a copy of the client."""

    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="renewix-e2e-"))
        self.client = self.folder / "Renewix.exe"
        shutil.copy(BIN / "Renewix.exe", self.client)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def run_client(self, *args, timeout=60, capture=True):
        return wine(self.client, *args, timeout=timeout, capture=capture)


class UpdateTestCase(unittest.TestCase):
    """A client in app/ at version 1.0 beside its data.txt, and release/files/ holding version 2.0:
    data.txt and sub/more.txt."""

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="renewix-e2e-"))
        self.app, self.release = self.root / "app", self.root / "release"
        for folder in (self.app, self.release / "files" / "sub"):
            folder.mkdir(parents=True)
        shutil.copy(BIN / "Renewix.exe", self.app / "Renewix.exe")
        (self.app / "data.txt").write_text("version 1 data")
        (self.release / "files" / "data.txt").write_text("version 2 data")
        (self.release / "files" / "sub" / "more.txt").write_text("more for version 2")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def configure_client(self, **sections):
        configure(self.app / "Renewix.exe", client_settings(**sections))

    def publish_to(self, document, target, *options, base_code="0", files_folder=None):
        """Publishes the document as `target`, with the release's files in files/ beside it or
        under files_folder."""
        (self.root / "update.xml").write_text(document)
        Path(target).parent.mkdir(parents=True, exist_ok=True)
        publish(self.root / "update.xml", self.release, base_code, target, *options)
        shutil.copytree(self.release / "files", (files_folder or Path(target).parent) / "files", dirs_exist_ok=True)

    def run_client(self, *args, background=True):
        """With `args`, or else with the background keyword or, as the program's stand-in, none; the log."""
        args = args or (("0",) if background else ())
        return run_logged_client(self.app / "Renewix.exe", self.app / "RenewixLog.txt", *args)

    def recorded_version(self):
        status = self.app / "RenewixStatus.xml"
        found = re.search(r"<ApplicationVersion>(.*?)</ApplicationVersion>",
                          status.read_text(encoding="cp1252") if status.exists() else "")
        return found.group(1) if found else ""

    def assert_updated(self, log):
        self.assertIn("\r\nUpdate was successful!\r\n", log)
        self.assertEqual((self.app / "data.txt").read_text(), (self.release / "files" / "data.txt").read_text())
        self.assertEqual((self.app / "more.txt").read_text(), "more for version 2")
        self.assertEqual(self.recorded_version(), "2.0")

    def assert_nothing_installed(self, log):
        self.assertNotIn("Update was successful!", log)
        self.assertEqual((self.app / "data.txt").read_text(), "version 1 data")
        self.assertFalse((self.app / "more.txt").exists())
        self.assertNotEqual(self.recorded_version(), "2.0")
