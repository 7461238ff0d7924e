"""Whole-run figures of the updater under Wine, side by side with what a user would use instead.

Run through bench/run.sh, which builds what is needed and sets the Wine environment. Starts its own
Xvfb, wineserver and nginx (127.0.0.1 only) and stops them at the end. Prints a table and writes it
to docs/benchmarks.md. Sizes come from the environment (see bench/README.md)."""
import datetime
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from link_emulator import LinkEmulator  # noqa: E402
from nginx_support import Nginx  # noqa: E402

MiB = 1024 * 1024
# The port of the catalogue URL built into the updater (bench/run.sh builds with it): the
# engineer's own test port, so that benchmarks and tests of several worktrees never collide.
PORT = int(os.environ.get("BENCH_PORT") or os.environ.get("TARN_TEST_PORT") or 18380)
BASE_URL = f"http://127.0.0.1:{PORT}/files/"
CATALOGUE_URL = f"http://127.0.0.1:{PORT}/dedivur/update/pim"
BUILD = Path(os.environ["TARN_WIN_BUILD"])
WINE = os.environ["WINE"]
# BENCH_CPUS (a taskset list such as "1") runs the wineserver and every Windows program on those
# CPUs only. Each Wine system call is a round trip to the wineserver; on a virtual machine a round
# trip between two CPUs costs several times one on the same CPU, and where the scheduler puts the
# two decides it, so unpinned figures jump between runs by up to five times.
CPUS = os.environ.get("BENCH_CPUS", "")
PINNED = ["taskset", "-c", CPUS] if CPUS else []
TOOL = ROOT / "build" / "native" / "update-catalogue"
WORK = Path(os.environ.get("BENCH_WORK", ROOT / "build" / "bench"))
QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")


def env_list(name, default):
    return [int(x) for x in os.environ.get(name, default).split()]


REPEAT = int(os.environ.get("BENCH_REPEAT", "1" if QUICK else "3"))
FULL_FILES = int(os.environ.get("BENCH_FULL_FILES", "40" if QUICK else "200"))
FULL_MB = int(os.environ.get("BENCH_FULL_MB", "20" if QUICK else "200"))
GROWTH_MB = int(os.environ.get("BENCH_GROWTH_MB", "10" if QUICK else "50"))
GROWTH_COUNTS = env_list("BENCH_GROWTH_COUNTS", "1 10 100" if QUICK else "1 10 100 300")
SINGLE_MB = env_list("BENCH_SINGLE_MB", "1 10" if QUICK else "1 10 100")
GROWTH_REPEAT = int(os.environ.get("BENCH_GROWTH_REPEAT", "1"))
EXP_REPEAT = int(os.environ.get("BENCH_EXP_REPEAT", "2"))
EXPERIMENTS = os.environ.get("BENCH_EXPERIMENTS", "0" if QUICK else "1") not in ("", "0")
EXP_MB = int(os.environ.get("BENCH_EXP_MB", "50"))
EXP_FILES = int(os.environ.get("BENCH_EXP_FILES", "40"))
# Section 9: distant servers through the link emulator (tests/e2e/link_emulator.py) on PORT, with
# nginx behind it on LINK_UPSTREAM: round trips in ms, the line's rate, the releases.
LINK_RTTS = env_list("BENCH_LINK_RTTS", "20 60 150")
LINK_MBIT = float(os.environ.get("BENCH_LINK_MBIT", "50"))
LINK_SMALL = env_list("BENCH_LINK_SMALL", "200 20")  # files, KiB each
LINK_BIG_MB = int(os.environ.get("BENCH_LINK_BIG_MB", "50"))
LINK_REPEAT = int(os.environ.get("BENCH_LINK_REPEAT", "1" if QUICK else "3"))
LINK_UPSTREAM = PORT + 3
# Section 10: one large file with MAPS_PERCENT of its bytes changed in MAPS_PLACES places, the old
# version in the install folder, through the link emulator; the default updater against the one
# built with UPDATE_BLOCK_MAPS (tests/e2e/helpers/parallel_updaters). blockmap_bench measures the
# scan on MAPS_SCAN_MB in memory (three copies of the file fit a 32-bit process at that size).
MAPS_MB = int(os.environ.get("BENCH_MAPS_MB", "40" if QUICK else "200"))
MAPS_PERCENT = float(os.environ.get("BENCH_MAPS_PERCENT", "1"))
MAPS_PLACES = 20
MAPS_RTT = int(os.environ.get("BENCH_MAPS_RTT", "60"))
MAPS_REPEAT = int(os.environ.get("BENCH_MAPS_REPEAT", "1" if QUICK else "2"))
MAPS_SCAN_MB = int(os.environ.get("BENCH_MAPS_SCAN_MB", "64"))
MAPS_BUILD = BUILD / "tests" / "e2e" / "helpers" / "parallel_updaters" / "TarnFileUpdater_maps.exe"
# The updater with UPDATE_PARALLEL_TRANSFERS 1, 6 (the default build) and 8 (test builds of the
# same sources, tests/e2e/helpers/parallel_updaters), each run under the name TarnFileUpdater.exe.
PARALLEL_BUILDS = {1: BUILD / "tests" / "e2e" / "helpers" / "parallel_updaters" / "TarnFileUpdater_p1.exe",
                   6: BUILD / "TarnFileUpdater.exe",
                   8: BUILD / "tests" / "e2e" / "helpers" / "parallel_updaters" / "TarnFileUpdater_p8.exe"}
LINK_PARALLEL = env_list("BENCH_LINK_PARALLEL", "1 6 8")
# Which parts run (numbers as in bench/README.md); 7 is the full update and the no-op run again in
# a prefix with Wine's default window management, 8 the same without pinning to BENCH_CPUS.
SECTIONS = set(os.environ.get("BENCH_SECTIONS", "1 2 4 5 6 7 8 9 10").split())
# The prefix of every figure, where Wine's X11 driver leaves windows unmanaged, and one with the
# defaults (bench/run.sh makes both).
PREFIX = os.environ.get("BENCH_PREFIX", os.environ.get("WINEPREFIX", ""))
PREFIX_MANAGED = os.environ.get("BENCH_PREFIX_MANAGED", "")


def log(*args):
    print(*args, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Releases


def mixed_sizes(count, total):
    """Many small files, a few large: 1 % of the files hold 40 % of the bytes, 3 % hold 30 %,
    10 % hold 20 %, the rest (of varying sizes) 10 %."""
    groups = [(max(1, count // 100), 0.40), (max(1, count * 3 // 100), 0.30), (max(1, count // 10), 0.20)]
    small = count - sum(n for n, _ in groups)
    if small <= 0:
        return even_sizes(count, total)
    sizes = []
    for n, share in groups:
        sizes += [int(total * share) // n] * n
    weights = [(i % 10) + 1 for i in range(small)]
    rest = total - sum(sizes)
    small_sizes = [rest * w // sum(weights) for w in weights]
    small_sizes[0] += rest - sum(small_sizes)
    return sizes + small_sizes


def even_sizes(count, total):
    sizes = [total // count] * count
    sizes[0] += total - sum(sizes)
    return sizes


def make_release(name, sizes):
    """A release folder of random files (the content does not matter: nothing is compressed),
    kept between runs of the bench."""
    folder = WORK / "releases" / name
    marker = folder.parent / (name + ".done")
    if marker.exists() and marker.read_text() == json.dumps(sizes):
        return folder
    if folder.exists():
        shutil.rmtree(folder)
    for i, size in enumerate(sizes):
        # A few folders, as a real client has.
        rel = f"data{i % 4}/file{i:04d}.bin" if len(sizes) > 1 else "file0000.bin"
        p = folder / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        with open(p, "wb") as f:
            left = size
            while left > 0:
                n = min(left, 4 * MiB)
                f.write(os.urandom(n))
                left -= n
        os.utime(p, (1_600_000_000, 1_600_000_000))
    marker.write_text(json.dumps(sizes))
    return folder


def release_files(release):
    return sorted(p.relative_to(release).as_posix() for p in release.rglob("*") if p.is_file())


def publish(release, www):
    """The catalogue from the publisher's tool, the release linked below www/files."""
    if www.exists():
        shutil.rmtree(www)
    cat = www / "dedivur" / "update" / "pim"
    cat.parent.mkdir(parents=True)
    r = subprocess.run([str(TOOL), "build", str(release), "--base-url", BASE_URL, "-o", str(cat)],
                       capture_output=True, text=True, timeout=120)
    if r.returncode != 0:
        raise RuntimeError("update-catalogue failed: " + r.stderr)
    (www / "files").symlink_to(release)
    return cat


# ---------------------------------------------------------------------------------------------
# Processes


def windows_path(p):
    return "Z:" + str(Path(p).resolve()).replace("/", "\\")


class MemoryPoller:
    """Polls /proc for the Wine process whose command line names `image` and keeps its peak
    figures (VmHWM, VmPeak, the largest RssAnon seen)."""

    def __init__(self, image, interval=0.02):
        self.image = image.encode()
        self.interval = interval
        self.pid = None
        self.hwm = self.peak = self.anon = 0
        self.samples = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def _find(self):
        for d in os.listdir("/proc"):
            if not d.isdigit():
                continue
            try:
                with open(f"/proc/{d}/cmdline", "rb") as f:
                    cmd = f.read()
            except OSError:
                continue
            if self.image in cmd and b"wineserver" not in cmd:
                return int(d)
        return None

    def _run(self):
        while not self._stop.is_set():
            if self.pid is None:
                self.pid = self._find()
            if self.pid is not None:
                try:
                    with open(f"/proc/{self.pid}/status") as f:
                        status = f.read()
                except OSError:
                    return
                fields = dict(re.findall(r"^(\w+):\s+(\d+) kB", status, re.M))
                self.hwm = max(self.hwm, int(fields.get("VmHWM", 0)))
                self.peak = max(self.peak, int(fields.get("VmPeak", 0)))
                self.anon = max(self.anon, int(fields.get("RssAnon", 0)))
                self.samples += 1
            self._stop.wait(self.interval)


class Bench:
    def __init__(self, display, prefix, pinned=True):
        self.env = dict(os.environ, DISPLAY=display, WINEPREFIX=prefix)
        self.runs = WORK / "run"
        self.pinned = PINNED if pinned else []

    def wine(self, *args, cwd=None, timeout=600):
        """Wall time of one Wine program, its stdout and its peak RSS (ru_maxrss, kB)."""
        # Output goes to files, not pipes: services that Wine starts inherit them and outlive
        # the program, so a pipe would never reach its end.
        out_path, err_path = self.runs / "wine.out", self.runs / "wine.err"
        with open(out_path, "wb") as out_f, open(err_path, "wb") as err_f:
            t0 = time.perf_counter()
            p = subprocess.Popen([*self.pinned, WINE, *map(str, args)], cwd=cwd, env=self.env, stdin=subprocess.DEVNULL,
                                 stdout=out_f, stderr=err_f)
            p.wait(timeout=timeout)
            wall = time.perf_counter() - t0
        out, err = out_path.read_bytes(), err_path.read_bytes()
        if p.returncode != 0:
            raise RuntimeError(f"{args[0]} ended with {p.returncode}: {err.decode(errors='replace')[-400:]}")
        return wall, out.decode(errors="replace")

    def trivial(self):
        with MemoryPoller("trivial.exe", 0.005) as mem:
            wall, _ = self.wine(BUILD / "bench" / "trivial.exe")
        return {"wall": wall, "hwm": mem.hwm, "anon": mem.anon, "peak": mem.peak}

    def fetch_list(self, release, files, target):
        if target.exists():
            shutil.rmtree(target)
        target.mkdir(parents=True)
        lst = self.runs / "fetch.list"
        with open(lst, "w") as f:
            for rel in files:
                f.write(f"{BASE_URL}{rel}\t{windows_path(target)}\\{rel.replace('/', '_')}\n")
        return lst

    def wininet(self, block, release, files, *options):
        target = self.runs / "wininet"
        lst = self.fetch_list(release, files, target)
        wall, out = self.wine(BUILD / "bench" / "wininet_fetch.exe", block, windows_path(lst), *options)
        fields = dict(item.split("=", 1) for item in out.split())
        total = sum((release / rel).stat().st_size for rel in files)
        if int(fields["bytes"]) != total:
            raise RuntimeError(f"wininet_fetch got {fields['bytes']} bytes of {total}")
        shutil.rmtree(target)
        return {"wall": wall, "inner": float(fields["seconds"]), "reads": int(fields["reads"])}

    def catalogue_fetch(self):
        target = self.runs / "wininet"
        if target.exists():
            shutil.rmtree(target)
        target.mkdir(parents=True)
        lst = self.runs / "catalogue.list"
        lst.write_text(f"{CATALOGUE_URL}\t{windows_path(target)}\\pim\n")
        wall, out = self.wine(BUILD / "bench" / "wininet_fetch.exe", 4096, windows_path(lst))
        fields = dict(item.split("=", 1) for item in out.split())
        return {"wall": wall, "inner": float(fields["seconds"])}

    def curl(self, release, files, parallel=0):
        target = self.runs / "curl"
        if target.exists():
            shutil.rmtree(target)
        target.mkdir(parents=True)
        cfg = self.runs / "curl.cfg"
        with open(cfg, "w") as f:
            for rel in files:
                f.write(f'url = "{BASE_URL}{rel}"\noutput = "{target}/{rel.replace("/", "_")}"\n')
        t0 = time.perf_counter()
        many = ["-Z", "--parallel-max", str(parallel)] if parallel else []
        # With -Z, curl draws its progress meter even when silenced.
        subprocess.run(["curl", "-s", "-f", "--noproxy", "*", *many, "-K", str(cfg)], check=True, timeout=600,
                       stderr=subprocess.DEVNULL if parallel else None)
        wall = time.perf_counter() - t0
        got = sum(p.stat().st_size for p in target.iterdir())
        total = sum((release / rel).stat().st_size for rel in files)
        if got != total:
            raise RuntimeError(f"curl got {got} bytes of {total}")
        shutil.rmtree(target)
        return {"wall": wall}

    def fresh_install(self, updater=BUILD / "TarnFileUpdater.exe"):
        install = self.runs / "install"
        if install.exists():
            shutil.rmtree(install)
        install.mkdir(parents=True)
        shutil.copyfile(updater, install / "TarnFileUpdater.exe")
        shutil.copyfile(next(BUILD.rglob("standin_client.exe")), install / "pimfile.exe")
        return install

    def updater(self, install, release=None, files=()):
        """One run of the updater: seconds from start to the client's start line, and to the
        updater's end; its peak memory. Checks the folder against the release afterwards."""
        client_log = install / "standin.log"
        if client_log.exists():
            client_log.unlink()
        with MemoryPoller("TarnFileUpdater.exe") as mem:
            t0 = time.time()
            p = subprocess.Popen([*self.pinned, WINE, str(install / "TarnFileUpdater.exe")], cwd=install, env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                p.wait(timeout=600)
            except subprocess.TimeoutExpired:
                p.kill()
                raise RuntimeError("the updater did not end within 600 s")
            t_end = time.time() - t0
        client = None
        deadline = time.time() + 20
        while time.time() < deadline and client is None:
            if client_log.exists():
                for line in client_log.read_bytes().decode("cp949", "replace").split("\r\n"):
                    parts = line.split("\t")
                    if len(parts) >= 4 and parts[3] == "start":
                        client = int(parts[0]) / 1000.0 - t0
                        break
            if client is None:
                time.sleep(0.05)
        if client is None:
            raise RuntimeError("the client was not started")
        # The client (which ends at once) must be gone before the next run starts.
        time.sleep(0.3)
        for rel in files:
            a, b = install / rel, release / rel
            if not a.exists() or a.stat().st_size != b.stat().st_size:
                raise RuntimeError(f"{rel} was not updated")
        return {"client": client, "end": t_end, "hwm": mem.hwm, "anon": mem.anon, "peak": mem.peak}


# ---------------------------------------------------------------------------------------------
# Measurements


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def repeat(n, fn):
    return [fn() for _ in range(n)]


def full_update(b, nginx_www, release, repeat_n, with_others=True):
    files = release_files(release)
    publish(release, nginx_www)
    res = {"upd": [], "wf4k": [], "wf64k": [], "curl": [], "triv": []}
    for i in range(repeat_n):
        log(f"  round {i + 1}/{repeat_n}: updater")
        res["upd"].append(b.updater(b.fresh_install(), release, files))
        if with_others:
            log(f"  round {i + 1}/{repeat_n}: wininet 4096, 65536, curl, trivial")
            res["wf4k"].append(b.wininet(4096, release, files))
            res["wf64k"].append(b.wininet(65536, release, files))
            res["curl"].append(b.curl(release, files))
            res["triv"].append(b.trivial())
    total = sum((release / rel).stat().st_size for rel in files)
    return res, total, files


def whole_runs(b, release, files, rounds):
    """Rounds of: a full update into a fresh folder, the plain loop, a no-op run, a catalogue
    fetch."""
    res = {"upd": [], "wf4k": [], "noop": [], "cat": []}
    for i in range(rounds):
        log(f"  round {i + 1}/{rounds}")
        res["upd"].append(b.updater(b.fresh_install(), release, files))
        res["wf4k"].append(b.wininet(4096, release, files))
        res["noop"].append(b.updater(b.runs / "install", release, files))
        res["cat"].append(b.catalogue_fetch())
    return res


def link_runs(b, www):
    """Section 9: the updater into a fresh folder, built with each number of transfers in flight,
    and curl with 8 in flight, through the link emulator at each round trip, for many small files
    and for one large one. Each run through a link of its own, so that its connections are
    counted alone."""
    small = make_release(f"link-small-{LINK_SMALL[0]}-{LINK_SMALL[1]}", [LINK_SMALL[1] * 1024] * LINK_SMALL[0])
    big = make_release(f"single-{LINK_BIG_MB}", [LINK_BIG_MB * MiB])
    out = []
    with Nginx(www, WORK / "nginx-link", LINK_UPSTREAM):
        for name, release in (("small", small), ("big", big)):
            files = release_files(release)
            publish(release, www)
            total = sum((release / rel).stat().st_size for rel in files)
            for rtt in LINK_RTTS:
                row = {"release": name, "files": len(files), "bytes": total, "rtt": rtt, "mbit": LINK_MBIT,
                       "upd": {str(n): [] for n in LINK_PARALLEL}, "curl8": []}
                for i in range(LINK_REPEAT):
                    log(f"  {name}, {rtt} ms, round {i + 1}/{LINK_REPEAT}")
                    for n in LINK_PARALLEL:
                        with LinkEmulator(PORT, LINK_UPSTREAM, rtt, LINK_MBIT * 1e6 / 8) as link:
                            run = b.updater(b.fresh_install(PARALLEL_BUILDS[n]), release, files)
                            run["connections"] = link.connections
                        row["upd"][str(n)].append(run)
                    with LinkEmulator(PORT, LINK_UPSTREAM, rtt, LINK_MBIT * 1e6 / 8) as link:
                        row["curl8"].append(b.curl(release, files, parallel=8))
                        row["curl8"][-1]["connections"] = link.connections
                out.append(row)
    return out


def edited_pair(mb):
    """A random file of mb MiB (the old version) and its new version with MAPS_PERCENT of its bytes
    replaced in MAPS_PLACES places spread over it, kept between runs of the bench."""
    folder = WORK / "releases" / f"maps-{mb}-{MAPS_PERCENT:g}"
    old, release = folder / "old.bin", folder / "release"
    new = release / "file0000.bin"
    if (folder / "done").exists():
        return old, release
    if folder.exists():
        shutil.rmtree(folder)
    release.mkdir(parents=True)
    with open(old, "wb") as f:
        for _ in range(mb // 4):
            f.write(os.urandom(4 * MiB))
        f.write(os.urandom(mb % 4 * MiB))
    shutil.copyfile(old, new)
    size = mb * MiB
    run = int(size * MAPS_PERCENT / 100 / MAPS_PLACES)
    with open(new, "r+b") as f:
        for i in range(MAPS_PLACES):
            f.seek((2 * i + 1) * (size - run) // (2 * MAPS_PLACES))
            f.write(os.urandom(run))
    os.utime(new, (1_600_000_000, 1_600_000_000))
    (folder / "done").write_text("")
    return old, release


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(4 * MiB), fb.read(4 * MiB)
            if x != y:
                return False
            if not x:
                return True


def served(nginx, since):
    """Requests and body bytes in nginx's access log after its first `since` lines."""
    lines = nginx.access_log()[since:]
    sent = 0
    for line in lines:
        m = re.search(r'" (\d{3}) (\d+) "', line)
        if not m:
            raise RuntimeError(f"unexpected access log line: {line}")
        sent += int(m.group(2))
    return len(lines), sent


def maps_runs(b):
    """Section 10: the default updater and the one with block maps, the old file in a fresh install
    folder, through the link emulator; the result must be the new file, byte for byte. Then
    blockmap_bench under Wine for the scan's speed."""
    old, release = edited_pair(MAPS_MB)
    files = release_files(release)
    www = WORK / "www-maps"
    if www.exists():
        shutil.rmtree(www)
    r = subprocess.run([str(TOOL), "stage", str(release), str(www), "--base-url", BASE_URL, "--block-maps"],
                       capture_output=True, text=True, timeout=600)
    if r.returncode != 0:
        raise RuntimeError("update-catalogue stage failed: " + r.stderr)
    map_bytes = sum(p.stat().st_size for p in www.rglob("*.tarnblocks"))
    out = {"mb": MAPS_MB, "percent": MAPS_PERCENT, "places": MAPS_PLACES, "rtt": MAPS_RTT, "mbit": LINK_MBIT,
           "bytes": MAPS_MB * MiB, "map_bytes": map_bytes, "whole": [], "maps": []}
    with Nginx(www, WORK / "nginx-maps", LINK_UPSTREAM) as nginx:
        for i in range(MAPS_REPEAT):
            for key, exe in (("whole", BUILD / "TarnFileUpdater.exe"), ("maps", MAPS_BUILD)):
                log(f"  {key}, round {i + 1}/{MAPS_REPEAT}")
                install = b.fresh_install(exe)
                shutil.copyfile(old, install / files[0])
                since = len(nginx.access_log())
                with LinkEmulator(PORT, LINK_UPSTREAM, MAPS_RTT, LINK_MBIT * 1e6 / 8):
                    run = b.updater(install, release, files)
                # nginx writes a request's log line once it has sent the body.
                time.sleep(0.5)
                run["requests"], run["sent"] = served(nginx, since)
                if not same_bytes(install / files[0], release / files[0]):
                    raise RuntimeError(f"{key}: the updated file differs from the new version")
                out[key].append(run)
    log(f"  blockmap_bench {MAPS_SCAN_MB} MiB, {MAPS_PERCENT:g} %")
    _, text = b.wine(next(BUILD.rglob("blockmap_bench.exe")), MAPS_SCAN_MB, MAPS_PERCENT)
    out["scan"] = text.strip().splitlines()
    return out


def wait_port_free():
    deadline = time.time() + 600
    while True:
        with socket.socket() as s:
            s.settimeout(0.5)
            if s.connect_ex(("127.0.0.1", PORT)) != 0:
                return
        if time.time() > deadline:
            raise RuntimeError(f"port {PORT} stayed busy")
        log(f"port {PORT} is busy; waiting")
        time.sleep(5)


def machine():
    cpu = "unknown"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem = int(re.search(r"MemTotal:\s+(\d+)", open("/proc/meminfo").read()).group(1)) // 1024
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    return {
        "cores": os.cpu_count(), "cpu": cpu, "memory_mib": mem, "wine": wine,
        "wine_arch": os.environ.get("TARN_WINE_ARCH", "?"), "kernel": platform.release(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "load": open("/proc/loadavg").read().split()[:3], "cpus": CPUS,
        "nginx": subprocess.run(["nginx", "-v"], capture_output=True, text=True).stderr.strip(),
        "curl": subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.split("\n")[0],
    }


def start_wineserver(prefix):
    """One wineserver for a prefix for the whole bench, as a user's session has: every program
    then starts without starting a server first."""
    return subprocess.Popen([*PINNED, "/usr/bin/wineserver", "-f", "-p"], env=dict(os.environ, WINEPREFIX=prefix),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def repin(server, cpus):
    """Moves a running wineserver to other CPUs."""
    subprocess.run(["taskset", "-a", "-p", "-c", cpus, str(server.pid)], check=True, capture_output=True)


def main():
    WORK.mkdir(parents=True, exist_ok=True)
    results = {"machine": machine(), "quick": QUICK, "repeat": REPEAT, "port": PORT,
               "sections": sorted(SECTIONS)}
    display = None
    xvfb = None
    servers = []
    for num in range(91, 120):
        if not Path(f"/tmp/.X11-unix/X{num}").exists() and not Path(f"/tmp/.X{num}-lock").exists():
            display = f":{num}"
            break
    prefixes = [PREFIX] + ([PREFIX_MANAGED] if PREFIX_MANAGED and "7" in SECTIONS else [])
    try:
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        servers = [start_wineserver(prefix) for prefix in prefixes]
        time.sleep(1.0)
        benches = [Bench(display, prefix) for prefix in prefixes]
        b = benches[0]
        b.runs.mkdir(parents=True, exist_ok=True)
        # Warm-up: the first Wine start of a prefix loads much from disk.
        for each in benches:
            each.trivial()
            each.wine(BUILD / "bench" / "trivial.exe")
        wait_port_free()
        with Nginx(WORK / "www", WORK / "nginx", PORT):
            www = WORK / "www"
            rel = make_release(f"mixed-{FULL_FILES}-{FULL_MB}", mixed_sizes(FULL_FILES, FULL_MB * MiB))
            files = release_files(rel)
            if "1" in SECTIONS:
                log(f"[1] full update: {FULL_FILES} files, {FULL_MB} MiB")
                res, total, files = full_update(b, www, rel, REPEAT)
                results["full"] = {"files": len(files), "bytes": total, "runs": res}

            if "2" in SECTIONS:
                log("[2] no-op run")
                publish(rel, www)
                install = b.runs / "install"  # as the last full update left it
                if "1" not in SECTIONS:
                    b.updater(b.fresh_install(), rel, files)
                noop = []
                for _ in range(REPEAT):
                    noop.append({"upd": b.updater(install, rel, files), "cat": b.catalogue_fetch(),
                                 "triv": b.trivial()})
                results["noop"] = noop

            if "7" in SECTIONS and len(benches) > 1:
                log("[7] the same in a prefix with Wine's default window management")
                publish(rel, www)
                results["managed"] = whole_runs(benches[1], rel, files, REPEAT)

            if "8" in SECTIONS and PINNED:
                log("[8] full update and no-op run without pinning")
                repin(servers[0], f"0-{os.cpu_count() - 1}")
                publish(rel, www)
                results["unpinned"] = whole_runs(Bench(display, PREFIX, pinned=False), rel, files, max(REPEAT, 5))
                repin(servers[0], CPUS)

            if "4" in SECTIONS:
                log("[4] cost growth")
                growth = []
                for n in GROWTH_COUNTS:
                    r = make_release(f"even-{n}-{GROWTH_MB}", even_sizes(n, GROWTH_MB * MiB))
                    log(f"  {n} files, {GROWTH_MB} MiB")
                    res_g, total_g, files_g = full_update(b, www, r, GROWTH_REPEAT, with_others=False)
                    wf = [b.wininet(4096, r, files_g) for _ in range(GROWTH_REPEAT)]
                    growth.append({"kind": "count", "files": n, "bytes": total_g, "upd": res_g["upd"], "wf4k": wf})
                for mb in SINGLE_MB:
                    r = make_release(f"single-{mb}", [mb * MiB])
                    log(f"  one file of {mb} MiB")
                    res_g, total_g, files_g = full_update(b, www, r, GROWTH_REPEAT, with_others=False)
                    wf = [b.wininet(4096, r, files_g) for _ in range(GROWTH_REPEAT)]
                    growth.append({"kind": "size", "files": 1, "bytes": total_g, "upd": res_g["upd"], "wf4k": wf})
                results["growth"] = growth

            if EXPERIMENTS and "6" in SECTIONS:
                log(f"[6] WinINet experiments: {EXP_FILES} files, {EXP_MB} MiB")
                r = make_release(f"even-{EXP_FILES}-{EXP_MB}", even_sizes(EXP_FILES, EXP_MB * MiB))
                publish(r, www)
                files_e = release_files(r)
                variants = [
                    ("4096", 4096, ()), ("65536", 65536, ()),
                    ("4096 timeouts", 4096, ("timeouts",)),
                    ("4096 callback", 4096, ("callback",)),
                    ("4096 notify", 4096, ("notify",)),
                    ("4096 partial", 4096, ("partial",)),
                    ("4096 timeouts notify partial (the worker's own work)", 4096,
                     ("timeouts", "notify", "partial")),
                    ("4096 progress (shown window, 2 x PBM_SETPOS per block)", 4096, ("progress",)),
                    ("4096 progress-pixel (PBM_SETPOS only when a bar grows a pixel)", 4096, ("progress-pixel",)),
                    ("4096 progress-ms=30 (bars moved at most every 30 ms)", 4096, ("progress-ms=30",)),
                    ("4096 timeouts partial querydata (the worker's transfer work, no messages)", 4096,
                     ("timeouts", "partial", "querydata")),
                    ("4096 readex", 4096, ("readex",)),
                    ("4096 readex-nowait", 4096, ("readex-nowait",)),
                    ("4096 querydata", 4096, ("querydata",)),
                    ("4096 readbuf=65536", 4096, ("readbuf=65536",)),
                    ("4096 keepalive", 4096, ("keepalive",)),
                    ("4096 cache writes on (TRANSFER_BINARY only)", 4096, ("flags=2",)),
                    ("4096 RELOAD + NO_CACHE_WRITE", 4096, ("flags=" + format(0x80000000 | 0x04000000 | 0x2, "x"),)),
                    ("4096 PRAGMA_NOCACHE", 4096, ("flags=" + format(0x00000100 | 0x04000000 | 0x2, "x"),)),
                    ("8192", 8192, ()), ("16384", 16384, ()),
                ]
                exp = []
                for name, block, opts in variants:
                    runs = [b.wininet(block, r, files_e, *opts) for _ in range(EXP_REPEAT)]
                    exp.append({"name": name, "runs": runs})
                    log(f"  {name}: {median(runs, 'inner'):.3f} s")
                results["experiments"] = {"files": len(files_e), "bytes": EXP_MB * MiB, "variants": exp}
        if "9" in SECTIONS:
            log(f"[9] distant server: round trips {LINK_RTTS} ms at {LINK_MBIT:g} Mbit/s")
            wait_port_free()
            results["link"] = link_runs(b, WORK / "www")
        if "10" in SECTIONS:
            log(f"[10] block maps: {MAPS_MB} MiB, {MAPS_PERCENT:g} % changed, {MAPS_RTT} ms at {LINK_MBIT:g} Mbit/s")
            wait_port_free()
            results["maps"] = maps_runs(b)
    finally:
        results["load_end"] = open("/proc/loadavg").read().split()[:3]
        (WORK / "results.json").write_text(json.dumps(results, indent=1))
        for prefix in prefixes:
            subprocess.run(["/usr/bin/wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                           capture_output=True)
        for proc in (*servers, xvfb):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
    out = WORK / "results.json"
    out.write_text(json.dumps(results, indent=1))
    log(f"results in {out}")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(1))
    sys.exit(main())
