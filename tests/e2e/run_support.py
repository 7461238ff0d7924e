"""Whole update runs: a release published with the catalogue tool, an install folder holding the
updater and a stand-in client named pimfile.exe, the updater run under Wine, and what to check
afterwards (the folder against the release, the client's start, message boxes)."""
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PORT = int(os.environ.get("TARN_TEST_PORT", "18380"))
BASE_URL = f"http://127.0.0.1:{PORT}/files/"
CATALOGUE_PATH = "/dedivur/update/pim"
TOOL = ROOT / "build" / "native" / "update-catalogue"
TICKS_PER_SECOND = 10_000_000
EPOCH_1601 = 11_644_473_600
TRANSFER_NAME = re.compile(r"^~tn[0-9a-v]{4}\.(new|rec)$", re.IGNORECASE)
TRANSFER_ASIDE = re.compile(r"^(~tn[0-9a-v]{4})\.(old|rec)$", re.IGNORECASE)


def file_time_of(path):
    """A file's last-write time as a 100-ns count since 1601, as Windows keeps it."""
    ns = os.stat(path).st_mtime_ns
    return ns // 100 + EPOCH_1601 * TICKS_PER_SECOND


def set_mtime(path, when):
    os.utime(path, (when, when))


def make_release(folder, files):
    """files: {relative posix path: bytes or (bytes, unix mtime)}."""
    folder = Path(folder)
    for rel, entry in files.items():
        data, mtime = entry if isinstance(entry, tuple) else (entry, 1_600_000_000)
        p = folder / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
        set_mtime(p, mtime)
    return folder


def publish(release, www, base_url=BASE_URL, cp949_names=False, sign=()):
    """Writes the catalogue with the publisher's tool and copies the release below www/files.
    With cp949_names the served copy's names are CP949 bytes, as the updater asks for them.
    sign: the tool's signing options (--sign KEYFILE ...), which add the catalogue's .sig."""
    www = Path(www)
    cat = www / CATALOGUE_PATH.lstrip("/")
    cat.parent.mkdir(parents=True, exist_ok=True)
    r = subprocess.run([str(TOOL), "build", str(release), "--base-url", base_url, "-o", str(cat), *map(str, sign)],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    files = www / "files"
    if files.exists():
        shutil.rmtree(files)
    for src in Path(release).rglob("*"):
        rel = src.relative_to(release)
        if cp949_names:
            dst = os.path.join(os.fsencode(files), *[part.encode("cp949") for part in rel.parts])
        else:
            dst = os.fsencode(files / rel)
        if src.is_dir():
            os.makedirs(dst, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy2(src, dst)
    return cat


def assert_matches_release(install, release):
    for src in release.rglob("*"):
        if src.is_file():
            rel = src.relative_to(release)
            dst = install.dir / rel
            assert dst.exists(), f"{rel} missing"
            assert dst.read_bytes() == src.read_bytes(), f"{rel} differs"
            assert file_time_of(dst) == file_time_of(src), f"{rel} has another time"
    leftovers = [p.name for p in install.dir.rglob("*") if is_transfer_file(p.name)]
    assert leftovers == []


def catalogue_paths(catalogue):
    """The entries of a catalogue file in its order, as install-relative paths with '/'."""
    data = Path(catalogue).read_bytes()
    pos = 11 + 4
    for _ in range(int.from_bytes(data[11:15], "little")):
        pos = data.index(b"\0", pos) + 1
    paths = []
    while pos < len(data):
        end = data.index(b"\0", pos)
        paths.append(data[pos:end].decode("cp949").replace("\\", "/"))
        pos = end + 1 + 12
    return paths


def read_record(path):
    """A transfer's record (<stem>.rec): {target, size, time, kind, validator}, or None."""
    data = Path(path).read_bytes()
    if data[:8] != b"TARNREC1" or len(data) < 34:
        return None
    n, v = int.from_bytes(data[10:12], "little"), int.from_bytes(data[12:14], "little")
    return {"target": data[30:30 + n].decode("cp949"), "size": int.from_bytes(data[14:22], "little", signed=True),
            "time": int.from_bytes(data[22:30], "little"), "kind": data[8],
            "validator": data[30 + n:30 + n + v].decode("ascii")}


def aside_copies(folder):
    """{target as recorded: path of its copy moved aside} for the transfer files in `folder`."""
    found = {}
    for rec in Path(folder).iterdir():
        m = TRANSFER_ASIDE.match(rec.name)
        record = read_record(rec) if m and m.group(2).lower() == "rec" else None
        aside = rec.with_name(m.group(1) + ".old") if record else None
        if aside and aside.exists():
            found[record["target"]] = aside
    return found


def is_transfer_file(name):
    """A file the updater keeps beside a target while a download runs (today's or an earlier
    version's); an aside copy of the running updater may stay, with its record."""
    return bool(TRANSFER_NAME.match(name)) or name.endswith(".tarn-new")


def decode_hex(text):
    return bytes.fromhex(text).decode("cp949", errors="replace")


class Install:
    """An install folder with the updater and a stand-in client named pimfile.exe."""

    def __init__(self, wine, folder):
        self.wine = wine
        self.dir = Path(folder)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.updater = self.dir / "TarnFileUpdater.exe"
        shutil.copyfile(wine.exe("TarnFileUpdater.exe"), self.updater)
        shutil.copyfile(wine.exe("standin_client.exe"), self.dir / "pimfile.exe")
        self.client_log = self.dir / "standin.log"
        self.inspect = wine.exe("window_look.exe")

    @property
    def windows_path(self):
        return self.wine.unix_to_windows(self.dir)

    def catalogue_temp(self):
        return self.wine.prefix / "drive_c" / "ProgramData" / "Updater.tmp"

    def start(self, *args):
        return self.wine.start(self.updater, *args, cwd=self.dir)

    def run(self, timeout=120):
        """Runs the updater to its end and waits for the client it starts."""
        before = len(self.client_starts())
        t0 = time.time()
        p = self.start()
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            raise AssertionError(f"the updater did not end within {timeout} s")
        elapsed = time.time() - t0
        self.wait_client(before + 1)
        return elapsed

    def wait_client(self, count, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if len(self.client_starts()) >= count:
                return
            time.sleep(0.05)

    def client_start_fields(self):
        """The fields (cwd, cmdline, argc) of every start of the client, from the stand-in's log."""
        if not self.client_log.exists():
            return []
        starts = []
        for raw in self.client_log.read_bytes().decode("cp949", errors="replace").split("\r\n"):
            parts = raw.split("\t")
            if len(parts) >= 4 and parts[3] == "start":
                starts.append(dict(item.split("=", 1) for item in parts[4:] if "=" in item))
        return starts

    def client_starts(self):
        """(cwd, command line) of every start of the client."""
        return [(f.get("cwd"), f.get("cmdline")) for f in self.client_start_fields()]

    def message_box(self, wait_ms=30000, dismiss=True):
        """(caption, text, owned by the updater window, buttons) of a message box, dismissed."""
        args = ["msgbox", str(wait_ms)] + ([] if dismiss else ["keep"])
        r = self.wine.run(self.inspect, *args, timeout=wait_ms / 1000 + 30)
        line = r.stdout.decode(errors="replace").strip()
        if not line.startswith("msgbox caption="):
            return None
        fields = dict(item.split("=", 1) for item in line.split()[1:])
        return (decode_hex(fields["caption"]), decode_hex(fields["text"]), fields["owner_is_updater"] == "1",
                int(fields["buttons"]))

    def snapshot(self):
        """{relative path: bytes} of every file, leaving out the updater, the client and its log."""
        skip = {"TarnFileUpdater.exe", "pimfile.exe", "standin.log"}
        out = {}
        for p in self.dir.rglob("*"):
            if p.is_file():
                rel = p.relative_to(self.dir).as_posix()
                if rel not in skip:
                    out[rel] = p.read_bytes()
        return out


def most_at_once(requests):
    """The most requests the server was answering at one time."""
    edges = sorted([(r.time, 1) for r in requests] + [(r.ended, -1) for r in requests])
    now = most = 0
    for _, step in edges:
        now += step
        most = max(most, now)
    return most
