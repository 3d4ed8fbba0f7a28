"""The end-to-end tests' one fixture module: real Renewix.exe, RenewixConfig.exe and
RenewixPublish.exe under Wine, client folders, documents, servers on 127.0.0.1, and the wizard
of a running client seen and driven from outside the way a user would, through
tools/wizard_driver, which finds the client's windows by class and process."""

import base64
import contextlib
import ctypes
import http.server
import json
import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request
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


def never_reached(code, trace):
    """Wine has been seen to end a start on a loaded machine before the program ran: it ends
    with a failure code and the program left no trace (no output from a tool, no log from a
    client). Such a start is made once more; a program that failed always leaves a trace."""
    return code != 0 and not trace


def run_tool(exe, *args, capture=True, **options):
    """Runs a tool that prepares a test (configuration, publishing); a start that never reached
    the tool is made once more. Uncaptured, a run leaves no output to tell by: it is not."""
    result = wine(exe, *args, capture=capture, **options)
    if capture and never_reached(result.returncode, result.stdout or result.stderr):
        print(f"note: {Path(exe).name} ended with {result.returncode} and no output; running it again",
              file=sys.stderr)
        result = wine(exe, *args, capture=capture, **options)
    return result


def run_logged_client(exe, log, *args, timeout=180):
    """Runs the client, whose output is not captured (see wine), and returns its log, which each
    run writes anew; a start that never reached the client is made once more."""
    log = Path(log)
    for attempt in (1, 2):
        log.unlink(missing_ok=True)
        code = wine(exe, *args, timeout=timeout, capture=False).returncode
        if attempt == 2 or not never_reached(code, log.exists()):
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
    """One <File>; a src of None leaves Src out."""
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


def release_files(sub="files/sub/"):
    """The list for the release's data.txt and sub/more.txt (UpdateTestCase), more.txt taken
    from `sub`."""
    return ("data.txt", file_entry("more.txt", sub))


FILES = release_files()


@contextlib.contextmanager
def file_held(path):
    """Another program holds the file open, sharing nothing, while the block runs. A holder that
    ends without holding (a Wine start that never reached it) is started once more."""
    for _ in range(2):
        holder = subprocess.Popen([str(WINE_RUN), str(BIN / "test_tool.exe"), "hold-file", windows_path(path),
                                   str(HOLD_LIMIT * 1000)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if holder.stdout.readline().strip() == b"held":
            break
        holder.stdin.close()
        holder.wait(timeout=60)
    else:
        raise AssertionError(f"{path} could not be held")
    try:
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


def set_registry(key, value, kind, data):
    subprocess.run([str(WINE_RUN), "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"], capture_output=True)


def delete_registry(key="HKCU\\Software\\RenewixTest", value=None):
    subprocess.run([str(WINE_RUN), "reg", "delete", key, *(("/v", value) if value else ()), "/f"], capture_output=True)


def describe(result):
    """A failed run for an assertion message: its code and everything it printed."""
    out, err = ((data or b"").decode("utf-8", "replace") for data in (result.stdout, result.stderr))
    return f"exit code {result.returncode}; stdout: {out!r}; stderr: {err!r}"


def configure(exe, settings):
    """Writes settings ({section: {key: value}}) into a client executable with the configuration tool."""
    ini = Path(exe).with_suffix(".ini")
    ini.write_text("".join(f"[{section}]\r\n" + "".join(f"{key}={value}\r\n" for key, value in keys.items())
                           for section, keys in settings.items()), encoding="utf-8")
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


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def trusted_test_authority(folder):
    """Makes in `folder` a test authority that the prefix is made to trust, with a certificate
    for localhost from it ("server") and a self-signed one for localhost ("stranger"); see serve_tls."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
            "-subj", "/CN=Renewix Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=localhost", cwd=folder)
    (Path(folder) / "ext.cnf").write_text("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "30", "-extfile", "ext.cnf", cwd=folder)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "stranger.key", "-out", "stranger.pem",
            "-days", "30", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", cwd=folder)
    openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=folder)
    trusted = run_tool(BIN / "test_tool.exe", "trust-certificate", windows_path(Path(folder) / "ca.der"))
    if trusted.returncode != 0:
        raise AssertionError(f"cannot trust the test authority: {describe(trusted)}")


def serve_tls(server, folder, certificate="server"):
    """Makes a server of serve answer over TLS with a certificate of trusted_test_authority."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(Path(folder) / f"{certificate}.pem", Path(folder) / f"{certificate}.key")
    server.socket = context.wrap_socket(server.socket, server_side=True)
    return server


def log_so_far(path):
    """What a log that may be being written holds so far: empty while it is missing or its
    byte order mark is not written yet, and a half-written last character is left out."""
    try:  # the client may replace the log between a look and a read
        data = Path(path).read_bytes()
    except FileNotFoundError:
        data = b""
    body = data[2:] if data[:2] == b"\xff\xfe" else b""
    return body[:len(body) & ~1].decode("utf-16-le", "replace")


def read_log(path):
    """The UTF-16 log as text; fails when the byte order mark is missing."""
    data = Path(path).read_bytes()
    if data[:2] != b"\xff\xfe":
        raise AssertionError(f"{path} does not start with the UTF-16 byte order mark")
    return data[2:].decode("utf-16-le")


class UpdateTestCase(unittest.TestCase):
    """A client in app/ at version 1.0 beside its data.txt, and release/files/ holding version 2.0:
    data.txt and sub/more.txt."""

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="renewix-e2e-"))
        self.app, self.release = self.root / "app", self.root / "release"
        for folder in (self.app, self.release / "files" / "sub"):
            folder.mkdir(parents=True)
        self.client = self.app / "Renewix.exe"
        shutil.copy(BIN / "Renewix.exe", self.client)
        (self.app / "data.txt").write_text("version 1 data")
        (self.release / "files" / "data.txt").write_text("version 2 data")
        (self.release / "files" / "sub" / "more.txt").write_text("more for version 2")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def configure_client(self, **sections):
        configure(self.client, client_settings(**sections))

    def publish_to(self, document, target, *options, base_code="0"):
        """Publishes the document as `target`, with the release's files in files/ beside it."""
        (self.root / "update.xml").write_text(document)
        Path(target).parent.mkdir(parents=True, exist_ok=True)
        publish(self.root / "update.xml", self.release, base_code, target, *options)
        shutil.copytree(self.release / "files", Path(target).parent / "files", dirs_exist_ok=True)

    def run_client(self, *args):
        """With `args`, or else as a background check (keyword 0); the log."""
        return run_logged_client(self.client, self.app / "RenewixLog.txt", *(args or ("0",)))

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


BACK, NEXT, FINISH, CANCEL = 0x3023, 0x3024, 0x3025, 2
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7

# How long a page may take to appear. Generous: a loaded machine runs several Wine programs.
WAIT = 60


def start_client(exe, *args, env=None, log=None):
    """Starts a client without capturing its output (programs it starts inherit it). Given its
    `log`, waits until the client has written it or ended: a start that never reached the
    client is made once more. (Without: a client that waits for another one's lock, or runs
    in test mode, writes no log while it runs.)"""
    environment = dict(os.environ)
    if env:
        environment.update(env)
    for attempt in (1, 2):
        if log:
            Path(log).unlink(missing_ok=True)
        process = subprocess.Popen([str(WINE_RUN), str(exe), *args], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=environment)
        if not log or attempt == 2:
            return process
        try:
            wait_for(lambda: process.poll() is not None or Path(log).exists(), "the client's start", limit=WAIT)
        except AssertionError:
            # Left running, it would hold the single-instance mutex against the suite's next tests.
            process.kill()
            process.wait()
            raise
        if not never_reached(process.poll() or 0, Path(log).exists()):
            return process
        print(f"note: {Path(exe).name} ended with {process.returncode} before writing its log; starting it again",
              file=sys.stderr)


def control(controls, control_id):
    return next((item for item in controls if item["id"] == control_id), None)


# The wizard's pages by their dialog templates.
TEMPLATE_PAGES = {129: "download", 202: "terms", 208: "message", 230: "schedule"}


def page_kind(sheet):
    """Which page a sheet shows, told by the current page's template and place in the sheet
    (the buttons follow a moment later)."""
    templates, index = sheet["templates"], sheet["index"]
    if not 0 <= index < len(templates):
        return "unknown"
    template = templates[index]
    if template == 206:
        return "checking" if index == 0 else "intro"
    if template == 207:
        return "ready" if templates[:index].count(207) == 0 else "installing"
    return TEMPLATE_PAGES.get(template, "unknown")


class Wizard:
    """The wizard of the client at `exe` (a path on this machine)."""

    def __init__(self, exe):
        self.image = windows_path(exe)

    def driver(self, *args):
        # The answer goes to a file, not a pipe: a GUI program may be the one that starts
        # Wine's desktop process, which inherits its output and would hold a pipe open.
        with tempfile.TemporaryFile() as output:
            process = subprocess.Popen([str(WINE_RUN), str(BIN / "wizard_driver.exe"), self.image, *args],
                                       stdout=output, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            try:
                code = process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise AssertionError(f"wizard_driver {args} did not end within 60 s")
            output.seek(0)
            lines = output.read().decode("utf-8", "replace").strip().splitlines()
        if not lines:
            raise AssertionError(f"wizard_driver {args} printed nothing (exit code {code})")
        return json.loads(lines[-1])

    def state(self):
        # Only reads: a start that never reached the driver (no output at all, as Wine ends a
        # start on a loaded machine now and then) is tried once more.
        try:
            return self.driver("state")
        except AssertionError as error:
            if "printed nothing" not in str(error):
                raise
            print(f"note: {error}; asking again", file=sys.stderr)
            return self.driver("state")

    def watch_page(self, kind, timeout=WAIT):
        """For a page that shows only for a moment (checking, installing): starts looking for
        it before what brings it up, and returns a function that waits for it and gives its
        sheet. The looking is done inside Wine, so the page cannot come and go unseen."""
        folder = Path(tempfile.mkdtemp(prefix="renewix-watch-"))
        path = folder / "answer.txt"
        with open(path, "ab") as output:
            process = subprocess.Popen(
                [str(WINE_RUN), str(BIN / "wizard_driver.exe"), self.image, "wait-page", kind,
                 str(int(timeout * 1000))],
                stdout=output, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

        def lines():
            return path.read_bytes().decode("utf-8", "replace").strip().splitlines()

        def stop():
            if process.poll() is None:
                process.kill()
                process.wait()
            shutil.rmtree(folder, ignore_errors=True)

        deadline = time.monotonic() + WAIT
        while not lines():
            if process.poll() is not None or time.monotonic() >= deadline:
                stop()
                raise AssertionError(f"the watch for the {kind} page did not start")
            time.sleep(0.05)

        def result():
            try:
                process.wait(timeout=timeout + 60)
            except subprocess.TimeoutExpired:
                raise AssertionError(f"the watch for the {kind} page did not end")
            finally:
                answer = lines()
                stop()
            state = json.loads(answer[-1])
            if "sheets" not in state:
                raise AssertionError(f"the {kind} page not seen within {timeout} s; last seen: "
                                     f"{summary(state.get('last'))}")
            return next(sheet for sheet in state["sheets"] if page_kind(sheet) == kind)

        return result

    def wait(self, condition, what, timeout=WAIT):
        """Polls the client's windows until `condition(state)` holds; fails after `timeout`."""
        deadline = time.monotonic() + timeout
        state = None
        while time.monotonic() < deadline:
            state = self.state()
            if condition(state):
                return state
            time.sleep(0.1)
        raise AssertionError(f"{what} not seen within {timeout} s; last seen: {summary(state)}")

    def wait_page(self, kind, timeout=WAIT):
        """The sheet once one shows the page `kind`."""
        return self.wait_sheet(lambda sheet: page_kind(sheet) == kind, f"the {kind} page", timeout)

    def wait_sheet(self, condition, what, timeout=WAIT):
        """The first sheet for which `condition(sheet)` holds, once there is one."""
        state = self.wait(lambda s: any(condition(sheet) for sheet in s["sheets"]), what, timeout)
        return next(sheet for sheet in state["sheets"] if condition(sheet))

    def wait_dialog(self, caption, timeout=WAIT):
        state = self.wait(lambda s: any(d["caption"] == caption for d in s["dialogs"]), f"the dialog '{caption}'",
                          timeout)
        return next(d for d in state["dialogs"] if d["caption"] == caption)

    def wait_no_dialog(self, caption, timeout=WAIT):
        self.wait(lambda s: all(d["caption"] != caption for d in s["dialogs"]), f"'{caption}' closed", timeout)

    def act(self, *args):
        answer = self.driver(*args)
        if not answer.get("done"):
            raise AssertionError(f"wizard_driver {args}: {answer.get('why')}")

    def act_when_available(self, *args, timeout=WAIT):
        """Like a user, waits until the control is there and enabled, then uses it."""
        deadline = time.monotonic() + timeout
        while True:
            answer = self.driver(*args)
            if answer.get("done"):
                return
            if time.monotonic() >= deadline:
                raise AssertionError(f"wizard_driver {args}: {answer.get('why')} for {timeout} s")
            time.sleep(0.1)

    def press(self, button):
        self.act_when_available("press", str(button))

    def refused(self, button):
        """True when the user cannot press `button` now."""
        return not self.driver("press", str(button)).get("done")

    def click(self, control_id):
        self.act_when_available("click", str(control_id))

    def answer(self, caption, button):
        self.act("answer", caption, str(button))

    def type(self, caption, control_id, text):
        self.act("type", caption, str(control_id), text)

    def send(self, what):
        """escape, tab, close (WM_CLOSE posted), close-now (WM_CLOSE sent), cancel-command or close-wizard (WM_CLOSE_WIZARD)."""
        self.act(what)


def text_of(sheet, control_id):
    item = control(sheet["page"], control_id) or control(sheet["controls"], control_id)
    return item["text"] if item else None


def button(sheet, control_id):
    return control(sheet["controls"], control_id)


def summary(state):
    if not state:
        return "nothing"
    parts = [f"{state['processes']} process(es)"]
    for sheet in state["sheets"]:
        texts = [f"{item['id']}={item['text'][:40]!r}" for item in sheet["page"] if item["text"]]
        parts.append(f"sheet on the {page_kind(sheet)} page: " + ", ".join(texts))
    for dialog in state["dialogs"]:
        parts.append(f"dialog '{dialog['caption']}'")
    return "; ".join(parts)


def wait_exit(process, timeout=WAIT):
    """The client's exit code; fails when it is still running after `timeout`."""
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise AssertionError(f"the client did not end within {timeout} s")


class Site:
    """What an update server on 127.0.0.1 does with particular paths: `held` paths wait until
    the test releases them before answering, with `credentials` every path wants Basic
    authentication, and with `proxy_credentials` it is a proxy that wants them and then fetches
    for the client. `sent` counts the body bytes sent for each path."""

    def __init__(self, folder):
        self.folder = folder
        self.held = {}
        self.credentials = None
        self.proxy_credentials = None
        self.sent = {}

    def hold(self, path):
        self.held[path] = threading.Event()
        return self.held[path]

    def release_all(self):
        for event in self.held.values():
            event.set()


# A held request waits for the test this long at most: far longer than any test's limit.
HOLD_LIMIT = 600


class SiteHandler(http.server.SimpleHTTPRequestHandler):
    site = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=str(self.site.folder), **kwargs)

    def log_message(self, *args):
        pass

    def challenged(self, credentials, status, asked, answered):
        """Answers `status` asking for Basic credentials unless the request brings them."""
        if self.headers.get(answered) == "Basic " + base64.b64encode(credentials.encode()).decode():
            return False
        self.send_response(status)
        self.send_header(asked, 'Basic realm="updates"')
        self.send_header("Content-Length", "0")
        self.end_headers()
        return True

    def do_GET(self):
        site = self.site
        if site.proxy_credentials:
            if self.challenged(site.proxy_credentials, 407, "Proxy-Authenticate", "Proxy-Authorization"):
                return
            with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(self.path, timeout=WAIT) as answer:
                body = answer.read()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if site.credentials and self.challenged(site.credentials, 401, "WWW-Authenticate", "Authorization"):
            return
        path = self.path.split("?")[0]
        if path in site.held:
            site.held[path].wait(HOLD_LIMIT)
        super().do_GET()

    def copyfile(self, source, outputfile):
        # In pieces, as the standard handler sends: release files run to tens of MiB.
        path = self.path.split("?")[0]
        while data := source.read(1 << 16):
            outputfile.write(data)
            self.site.sent[path] = self.site.sent.get(path, 0) + len(data)


def serve(site):
    """An HTTP server for `site` on 127.0.0.1 at a free port, answering from a thread of its own."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), type("Handler", (SiteHandler,), {"site": site}))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def stop_server(server):
    server.shutdown()
    server.server_close()


FTP_SERVER_SCRIPT = ROOT / "scripts" / "ftp_server.py"
# Debian's interpreter, which has python3-pyftpdlib; the tests themselves may run under another.
FTP_SERVER_PYTHON = "/usr/bin/python3"
# Long enough for a concurrent run on this machine to finish with port 21.
FTP_SERVER_START_LIMIT = 660

FTP_SESSION_LINE = re.compile(r"^(\d+\.\d+\.\d+\.\d+:\d+)-\[[^\]]*\] <- (\S+) ?(.*)$")


def read_line(stream, limit):
    """One line of a child's output, waiting at most `limit` seconds for it."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        if ready:
            return stream.readline()
    return b""


def die_with_parent():
    """Run in the server's process before it starts: a server that outlived a killed test would
    hold the FTP port against the next run's."""
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class FtpServer:
    """scripts/ftp_server.py (the client's FTP port is always 21) under Debian's Python, its
    files in `folder`; its log holds every command each session sent."""

    def __init__(self, folder, *options):
        self.log_path = Path(folder) / "ftp-server.log"
        self.errors_path = Path(folder) / "ftp-server.err"
        with open(self.errors_path, "wb") as errors:
            self.process = subprocess.Popen(
                [FTP_SERVER_PYTHON, str(FTP_SERVER_SCRIPT), "--log", str(self.log_path), *options],
                stdout=subprocess.PIPE, stderr=errors, preexec_fn=die_with_parent)
        if read_line(self.process.stdout, FTP_SERVER_START_LIMIT) != b"ready\n":
            self.stop()
            raise AssertionError("the FTP server did not start: " + self.errors_path.read_text(errors="replace"))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()

    def log(self):
        return self.log_path.read_text(errors="replace")

    def sessions(self):
        """The commands of each control connection, in the order the connections were made."""
        sessions = {}
        for line in self.log().splitlines():
            match = FTP_SESSION_LINE.match(line)
            if match:
                sessions.setdefault(match.group(1), []).append((match.group(2), match.group(3)))
        return list(sessions.values())


def commands(session, name):
    """The arguments of the FTP command `name` in one of FtpServer.sessions()."""
    return [argument for command, argument in session if command == name]


def require_connected_wine():
    """The client asks public web sites only when Wine reports no connection: refuse to run then."""
    state = subprocess.run([str(WINE_RUN), str(BIN / "test_tool.exe"), "connected-state"], capture_output=True)
    if state.returncode != 0:
        raise AssertionError("Wine reports no Internet connection; the client would probe public sites")


REGISTRY_KEY = "HKCU\\Software\\RenewixTest\\Wizard"

FULL_DOCUMENT = update_document(
    files=("data.txt", "more.txt", "Viewer.exe"), update_type=None, license="Use it well.",
    registry=(REGISTRY_KEY.replace("HKCU", "HKEY_CURRENT_USER"), "Version", "Add REG_SZ 2.0"),
    extra="<Welcome>Version 2.0 of %ApplicationName% is here.</Welcome><Reason>Faster start-up.\nFewer crashes.</Reason>")

ONE_FILE_DOCUMENT = update_document(update_type=None, restart="No restart")

NO_UPDATE_DOCUMENT = update_document(
    version="1.0", files=(), update_type=None,
    extra="<UpdateNotNeeded>Nothing new for %ApplicationName% today.</UpdateNotNeeded>")


OPTION_KEYS = {"LoggingEnabled", "ConfirmCancel", "CheckFrequency", "RememberDeclinedVersion", "LaunchAfterCheck",
               "WizardAlwaysOnTop"}


def free_port():
    """A port nothing listens on."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class WizardTestCase(unittest.TestCase):
    """A client beside a stand-in program, and an update site on 127.0.0.1."""

    @classmethod
    def setUpClass(cls):
        require_connected_wine()

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="renewix-wizard-"))
        self.app, self.release = self.root / "app", self.root / "release"
        self.site = Site(self.root / "site")
        for folder in (self.app, self.release / "files", self.site.folder / "updates"):
            folder.mkdir(parents=True)
        self.client = self.app / "Renewix.exe"
        shutil.copy(BIN / "Renewix.exe", self.client)
        shutil.copy(BIN / "window_app.exe", self.app / "Viewer.exe")
        (self.app / "data.txt").write_text("version 1 data")
        (self.release / "files" / "data.txt").write_text("version 2 data " * 200)
        (self.release / "files" / "more.txt").write_text("more for version 2 " * 100)
        shutil.copy(BIN / "window_app.exe", self.release / "files" / "Viewer.exe")
        self.server = serve(self.site)
        self.port = self.server.server_address[1]
        self.wizard = Wizard(self.client)
        self.processes = []
        delete_registry()

    def tearDown(self):
        self.site.release_all()
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        subprocess.run([str(WINE_RUN), "taskkill", "/F", "/IM", "Viewer.exe"], capture_output=True)
        delete_registry()
        stop_server(self.server)
        shutil.rmtree(self.root, ignore_errors=True)

    def configure(self, port=None, protocol="http://", **options):
        application = {"ApplicationName": "Example Viewer", "CompanyName": "Example Ltd",
                       "CompanyWebAddress": "http://127.0.0.1:9/", "CheckNowKeyword": "CheckNow"}
        extra = {"RememberDeclinedVersion": "1"}
        for key, value in options.items():
            (extra if key in OPTION_KEYS else application)[key] = value
        configure(self.client, client_settings(
            PrimaryServer={"DocumentProtocol": protocol, "DocumentAddress": "127.0.0.1/updates/update.xml",
                           "DocumentPort": str(port or self.port)},
            Application=application, Options=extra))

    def publish(self, document):
        (self.root / "update.xml").write_text(document)
        publish(self.root / "update.xml", self.release, "0", self.site.folder / "updates" / "update.xml")
        shutil.copytree(self.release / "files", self.site.folder / "updates" / "files", dirs_exist_ok=True)

    def start(self, *args, env=None):
        process = start_client(self.client, *args, env=env)
        self.processes.append(process)
        return process

    def log(self):
        return read_log(self.app / "RenewixLog.txt")

    def status(self):
        return (self.app / "RenewixStatus.xml").read_text(encoding="cp1252")
