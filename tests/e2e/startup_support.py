"""Scenes for the start-up tests: an install folder with the updater and a stand-in client, a
separate current directory, stand-in client processes, and a launcher that starts the updater with
an exact command line and reports when it started and ended.

Everything is observed from outside the updater: mutex ownership, the stand-ins' logs (wake-up
messages received, the client started at the end of a run), which processes are still alive, file
changes and their timing."""
import binascii
import http.server
import os
import shutil
import stat
import struct
import subprocess
import threading
import time
from pathlib import Path

CATALOGUE_PATH = "/dedivur/update/pim"
STANDIN = "standin_client.exe"
UPDATER = "TarnFileUpdater.exe"
OBSOLETE = ["Cmp32_v2.dll", "Probe.exe", "rvxcodec.dll", "DigestGen.dll"]


class LogLine:
    def __init__(self, raw):
        parts = raw.split("\t")
        self.ms = int(parts[0])
        self.pid = int(parts[1])
        self.image = parts[2]
        self.event = parts[3]
        self.fields = {}
        for item in parts[4:]:
            if "=" in item:
                k, v = item.split("=", 1)
                self.fields[k] = v
        self.raw = raw

    @property
    def time(self):
        return self.ms / 1000.0

    def __repr__(self):
        return f"LogLine({self.raw!r})"


def read_log(path):
    """The lines of a stand-in log; the texts are CP949, like everything the programs write."""
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        return []
    lines = []
    for raw in data.decode("cp949", errors="replace").split("\r\n"):
        if raw.count("\t") >= 3:
            lines.append(LogLine(raw))
    return lines


class CatalogueServer:
    """The update server on 127.0.0.1: answers the catalogue request with a catalogue without
    entries (nothing to download), records every request, and can hold the reply back until the
    test lets it go."""

    def __init__(self, port):
        self.port = port
        self.requests = []  # (time, path)
        self.hold = threading.Event()
        self.hold.set()
        base = f"http://127.0.0.1:{port}/files/".encode()
        self.catalogue = b"Update Info" + struct.pack("<i", 1) + base + b"\0"
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.requests.append((time.time(), self.path))
                if self.path == CATALOGUE_PATH:
                    server.hold.wait(30)
                    body = server.catalogue
                    self.send_response(200)
                else:
                    body = b"not here"
                    self.send_response(404)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        class Server(http.server.ThreadingHTTPServer):
            allow_reuse_address = True
            daemon_threads = True

        deadline = time.time() + 60
        while True:
            try:
                self.httpd = Server(("127.0.0.1", port), Handler)
                break
            except OSError:
                # Another test run on this machine has the port; the URL is compiled in.
                if time.time() > deadline:
                    raise
                time.sleep(0.5)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def catalogue_requests(self):
        return [t for t, path in self.requests if path == CATALOGUE_PATH]

    def close(self):
        self.hold.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def wait_until(predicate, timeout, interval=0.01):
    """Polls predicate until it is true; returns the moment it became true, or None."""
    deadline = time.time() + timeout
    while True:
        if predicate():
            return time.time()
        if time.time() > deadline:
            return None
        time.sleep(interval)


class Standin:
    """One stand-in client process started by the test."""

    def __init__(self, scene, exe, args, log):
        self.exe = exe
        self.log = log
        self.proc = scene.wine.start(exe, *args, "--log", scene.wine.unix_to_windows(log))
        self.ended_at = None
        self._watch = threading.Thread(target=self._wait, daemon=True)
        self._watch.start()

    def _wait(self):
        self.proc.wait()
        self.ended_at = time.time()

    def lines(self, event=None):
        return [l for l in read_log(self.log) if event is None or l.event == event]

    def wait_event(self, event, timeout=20):
        assert wait_until(lambda: self.lines(event) or self.ended_at is not None, timeout), \
            f"{self.exe.name}: no '{event}' within {timeout} s"
        found = self.lines(event)
        assert found, f"{self.exe.name} ended before '{event}': {self.lines()}"
        return found[0]

    @property
    def alive(self):
        return self.ended_at is None

    @property
    def windows_pid(self):
        starts = self.lines("start")
        return starts[0].pid if starts else None

    def terminated(self):
        """Ended without reaching its own end: killed from outside."""
        return self.ended_at is not None and not self.lines("exit")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass


class Run:
    """One start of the updater through the launcher."""

    def __init__(self, scene, log, proc):
        self.scene = scene
        self.log = log
        self.proc = proc

    def lines(self, event=None):
        return [l for l in read_log(self.log) if event is None or l.event == event]

    @property
    def t0(self):
        spawn = self.lines("spawn")
        return spawn[0].time if spawn else None

    @property
    def pid(self):
        spawned = self.lines("spawned")
        return int(spawned[0].fields["pid"]) if spawned else None

    def wait_started(self, timeout=20):
        assert wait_until(lambda: self.lines("spawned") or self.lines("error"), timeout), "launcher did not start"
        assert not self.lines("error"), self.lines("error")
        return self.t0

    def wait_end(self, timeout=30):
        """Waits for the updater to end; returns its run time in seconds as the launcher measured it."""
        assert wait_until(lambda: self.lines("ended") or self.lines("timeout") or self.proc.poll() is not None,
                          timeout), f"updater still running after {timeout} s"
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass
        ended = self.lines("ended")
        assert ended, f"updater did not end: {self.lines()}"
        return int(ended[0].fields["ms"]) / 1000.0


class Scene:
    """Folders and processes of one test. The install folder holds the updater (under a chosen
    name) and a stand-in "pimfile.exe" that logs to install/standin.log when the updater starts it
    at the end of a run. The current directory for the updater is a different folder."""

    def __init__(self, wine, root, updater_name=UPDATER):
        self.wine = wine
        self.root = Path(root)
        self.install = self.root / "install"
        self.cwd = self.root / "cwd"
        self.logs = self.root / "logs"
        for d in (self.install, self.cwd, self.logs):
            d.mkdir(parents=True, exist_ok=True)
        self.standin_exe = wine.exe(f"tests/e2e/helpers/standin_client/{STANDIN}")
        updater = wine.exe(UPDATER)
        assert updater.exists(), f"build {updater} first"
        assert self.standin_exe.exists(), f"build {self.standin_exe} first"
        self.updater = self.install / updater_name
        shutil.copy2(updater, self.updater)
        self.copy_standin(self.install, "pimfile.exe")
        self.standins = []
        self.runs = []
        self._count = 0

    # --- stand-ins -------------------------------------------------------------------------
    def copy_standin(self, folder, name):
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / name
        shutil.copy2(self.standin_exe, target)
        return target

    def start_standin(self, name, *args, folder=None, wait_for="ready"):
        """Starts a copy of the stand-in named name (in its own folder unless given) and waits until
        it has set itself up."""
        self._count += 1
        folder = Path(folder) if folder else self.root / f"client{self._count}"
        exe = self.copy_standin(folder, name)
        s = Standin(self, exe, args, self.logs / f"{self._count}-{name}.log")
        self.standins.append(s)
        if wait_for:
            s.wait_event(wait_for)
        return s

    def client_starts(self):
        """The client starts that the updater made at the end of its runs (install/standin.log)."""
        return [l for l in read_log(self.install / "standin.log") if l.event == "start"]

    # --- the updater -----------------------------------------------------------------------
    def command_line(self, tail=b"", quoted=True):
        """The updater's full command line: its Windows path (quoted), then the tail bytes as given
        (leading blanks included)."""
        exe = self.wine.unix_to_windows(self.updater).encode("cp949")
        name = b'"' + exe + b'"' if quoted else exe
        return name + (tail.encode("cp949") if isinstance(tail, str) else tail)

    def start_updater(self, tail=b"", *, cmdline=None, cwd=None, wait_ms=60000):
        """Starts the updater through the launcher with exactly this command line (default: the
        quoted path, a blank and the tail; the tail "" gives no blank) in cwd (default: the
        scene's current directory)."""
        if cmdline is None:
            tail_bytes = tail.encode("cp949") if isinstance(tail, str) else tail
            cmdline = self.command_line(b" " + tail_bytes if tail_bytes else b"")
        self._count += 1
        log = self.logs / f"{self._count}-launcher.log"
        cwd_win = cwd if isinstance(cwd, str) else self.wine.unix_to_windows(cwd or self.cwd)
        proc = self.wine.start(self.standin_exe, "--log", self.wine.unix_to_windows(log),
                               "--spawn", self.wine.unix_to_windows(self.updater),
                               "--cmdline-hex", binascii.hexlify(cmdline).decode(),
                               "--cwd", cwd_win, "--wait-ms", str(wait_ms))
        run = Run(self, log, proc)
        self.runs.append(run)
        run.wait_started()
        return run

    def run_updater(self, tail=b"", **kw):
        run = self.start_updater(tail, **kw)
        run.wait_end()
        return run

    def tool(self, *args, timeout=30):
        """Runs the stand-in as a tool (snapshot, resources, kill) and returns its log."""
        self._count += 1
        log = self.logs / f"{self._count}-tool.log"
        self.wine.run(self.standin_exe, "--log", self.wine.unix_to_windows(log), *args, timeout=timeout)
        return read_log(log)

    def snapshot(self):
        return [(int(l.fields["pid"]), l.fields["name"]) for l in self.tool("--snapshot") if l.event == "process"]

    # --- files -----------------------------------------------------------------------------
    def put_obsolete(self, folder, read_only=()):
        for name in OBSOLETE:
            p = Path(folder) / name
            p.write_bytes(b"old " + name.encode())
            if name in read_only:
                p.chmod(stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)

    @staticmethod
    def present(folder):
        return sorted(n for n in OBSOLETE if (Path(folder) / n).exists())

    # --- clean-up --------------------------------------------------------------------------
    def close(self):
        for s in self.standins:
            s.kill()
        for run in self.runs:
            if run.proc.poll() is None:
                # The launcher is still waiting: end the updater it started, by its process id.
                if run.pid is not None:
                    self.tool("--kill-pid", str(run.pid))
                try:
                    run.proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    run.proc.kill()
        for s in self.standins:
            s._watch.join(timeout=10)
        # A client an updater started at the end of a run may still be ending; the next test's
        # updater, stopping clients by image name, would take it for that test's client.
        wait_until(lambda: len([l for l in read_log(self.install / "standin.log") if l.event == "exit"])
                   >= len(self.client_starts()), 20)
        # Read-only files left behind would stop pytest from removing its folders.
        for p in self.root.rglob("*"):
            try:
                os.chmod(p, stat.S_IRWXU if p.is_dir() else stat.S_IRUSR | stat.S_IWUSR)
            except OSError:
                pass
