"""The demo's run: an older release installed, a newer one served, one real update under Wine."""
import hashlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from httpserver import HttpServer  # noqa: E402
from run_support import file_time_of, make_release, publish  # noqa: E402

PORT = int(os.environ.get("TARN_TEST_PORT", "18380"))
OUT = ROOT / "build" / "demo"
BUILD = Path(os.environ["TARN_WIN_BUILD"])
WINE = os.environ["WINE"]
RATE = 6 * 1024 * 1024  # bytes per second: a run of a few seconds, long enough to watch


def blob(n, seed):
    h = hashlib.sha256(str(seed).encode()).digest()
    return (h * (n // len(h) + 1))[:n]


OLD = {
    "pimfile.dat": (b"client data 1.0", 1_700_000_000),
    "bin/render.dll": (blob(180_000, 1), 1_700_000_000),
    "bin/net.dll": (blob(90_000, 2), 1_700_000_000),
    "한글/설정.txt": ("옛 설정".encode("cp949"), 1_700_000_000),
    "readme.txt": (b"Release 1.0", 1_700_000_000),
}
NEW = {
    "pimfile.dat": (b"client data 1.1", 1_710_000_000),
    "bin/render.dll": (blob(210_000, 11), 1_710_000_000),
    "bin/net.dll": (blob(90_000, 2), 1_700_000_000),       # unchanged
    "bin/codec/audio.dll": (blob(400_000, 12), 1_710_000_000),  # new, in a new folder
    "한글/설정.txt": ("새 설정".encode("cp949"), 1_710_000_000),
    "data/world.pak": (blob(24 * 1024 * 1024, 13), 1_710_000_000),
    "empty.flag": (b"", 1_710_000_000),
    "readme.txt": (b"Release 1.0", 1_700_000_000),         # unchanged
}


def snapshot(folder):
    out = {}
    for p in sorted(folder.rglob("*")):
        if p.is_file() and p.name not in ("TarnFileUpdater.exe", "pimfile.exe", "standin.log"):
            out[p.relative_to(folder).as_posix()] = (p.stat().st_size, file_time_of(p),
                                                     hashlib.sha256(p.read_bytes()).hexdigest()[:12])
    return out


def main():
    if OUT.exists():
        shutil.rmtree(OUT)
    install = OUT / "install"
    make_release(install, OLD)
    shutil.copyfile(BUILD / "TarnFileUpdater.exe", install / "TarnFileUpdater.exe")
    shutil.copyfile(next(BUILD.rglob("standin_client.exe")), install / "pimfile.exe")
    release = make_release(OUT / "release-1.1", NEW)
    www = OUT / "www"
    publish(release, www, base_url=f"http://127.0.0.1:{PORT}/files/")
    before = snapshot(install)

    display = ":77"
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, DISPLAY=display)
    try:
        time.sleep(1.0)
        with HttpServer(root=www, port=PORT, rate=RATE) as srv:
            t0 = time.time()
            updater = subprocess.Popen([WINE, str(install / "TarnFileUpdater.exe")], cwd=install, env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            shot = OUT / "screen.png"
            # Mid-run: once the big file is on its way.
            deadline = time.time() + 60
            while time.time() < deadline and not any(r.path.endswith("world.pak") for r in srv.requests()):
                time.sleep(0.1)
            time.sleep(1.5)
            subprocess.run(["import", "-display", display, "-window", "root", str(shot)], check=False)
            updater.wait(timeout=180)
            elapsed = time.time() - t0
            requests = srv.paths()
        if shot.exists():
            # The window is centred on the 1024 x 768 screen: 403 x 140 at (310, 314).
            subprocess.run(["convert", str(shot), "-crop", "403x140+310+314", "+repage", str(OUT / "window.png")],
                           check=False)
    finally:
        xvfb.terminate()
        subprocess.run(["/usr/bin/wineserver", "-k"], env=env, capture_output=True)

    after = snapshot(install)
    print(f"\nUpdate of {install} from http://127.0.0.1:{PORT}/ took {elapsed:.1f} s "
          f"(server paced at {RATE // (1024 * 1024)} MB/s)\n")
    for rel in sorted(set(before) | set(after)):
        if rel not in before:
            state = "added"
        elif rel not in after:
            state = "removed"
        elif before[rel] != after[rel]:
            state = "updated"
        else:
            state = "unchanged"
        size = after.get(rel, before.get(rel))[0]
        print(f"  {state:9} {rel:24} {size:>10} bytes")
    print(f"\nRequests: {len(requests)} ({requests[0]} first)")
    same = all(after.get(rel, (None, None, None))[:2] == (p.stat().st_size, file_time_of(p))
               for rel, p in ((p.relative_to(release).as_posix(), p) for p in release.rglob("*") if p.is_file()))
    print("Install folder matches release 1.1 (sizes and times):", "yes" if same else "NO")
    log = install / "standin.log"
    started = [line for line in (log.read_bytes().decode("cp949", "replace").split("\r\n") if log.exists() else [])
               if "\tstart\t" in line]
    print("Client started afterwards:", "yes" if started else "NO")
    if started:
        print("  ", started[-1].split("\t", 4)[-1])
    print(f"Screenshot of the window mid-run: {OUT / 'window.png'}")
    return 0 if same and started else 1


if __name__ == "__main__":
    sys.exit(main())
