"""The updater under faults, the real program under Wine: killed at random moments, a full disk,
locked targets, a trickling server, an executable whose path does not fit its buffer."""
import os
import random
import shutil
import signal
import subprocess
import time

import pytest

from httpserver import HttpServer
from run_support import (PORT, TRANSFER_ASIDE, TRANSFER_NAME, Install, aside_copies, is_transfer_file, make_release,
                         publish)


def prepare(wine, tmp_path, old, new, folder=None):
    """An install folder holding `old` ({path: bytes}) and a server folder publishing `new`."""
    install = Install(wine, folder or tmp_path / "install")
    make_release(install.dir, {rel: (data, 1_600_000_000) for rel, data in old.items()})
    publish(make_release(tmp_path / "release", {rel: (data, 1_700_000_000) for rel, data in new.items()}),
            tmp_path / "www")
    return install, tmp_path / "www"


def leftovers(install):
    return [p for p in install.dir.rglob("*") if p.name.endswith((".tarn-new", ".tarn-old")) or
            TRANSFER_ASIDE.match(p.name) or is_transfer_file(p.name)]


def test_killed_anywhere_every_file_stays_old_or_new(wine, tmp_path):
    rng = random.Random(7)
    old = {f"d{i % 4}/f{i}.bin": rng.randbytes(rng.randrange(1, 80_000)) for i in range(19)}
    new = {rel: data if i % 5 == 0 else rng.randbytes(rng.randrange(1, 80_000))
           for i, (rel, data) in enumerate(old.items())}
    exe = wine.exe("TarnFileUpdater.exe").read_bytes()
    old["TarnFileUpdater.exe"], new["TarnFileUpdater.exe"], new["added.bin"] = exe, exe + bytes(4096), b"+" * 50_000
    install, www = prepare(wine, tmp_path, old, new)

    def holds(rel):  # a file replaced half-way is found beside its target
        path = install.dir / rel
        aside = aside_copies(path.parent).get(rel.replace("/", "\\"))
        return path.read_bytes() if path.exists() else aside.read_bytes() if aside else None

    kills = violations = mid_transfer = resets = 0
    with HttpServer(root=www, port=PORT, rate=2_000_000):
        deadline = time.time() + 150
        while kills < 32 and time.time() < deadline:
            p = install.start()
            time.sleep(rng.uniform(0.3, 2.5))
            if p.poll() is None:
                os.kill(p.pid, signal.SIGKILL)
                kills += 1
            p.wait()
            now = {rel: holds(rel) for rel in new}
            violations += sum(data not in (old.get(rel), new[rel]) for rel, data in now.items())
            mid_transfer += any(TRANSFER_NAME.match(p.name) for p in install.dir.rglob("*.new"))
            if now == new:
                make_release(install.dir, {rel: (data, 1_600_000_000) for rel, data in old.items()})
                (install.dir / "added.bin").unlink()
                resets += 1
        print(f"\nkills={kills} (mid-transfer {mid_transfer}) violations={violations} back to old={resets}; "
              f"next run ended in {install.run():.1f} s")
        install.run()  # the updater's own old image, in use during the last run, goes now
    assert kills >= 30 and violations == 0
    assert {rel: (install.dir / rel).read_bytes() for rel in new} == new and leftovers(install) == []


def test_full_disk_keeps_the_old_file(wine, tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    size = sum(wine.exe(n).stat().st_size for n in ("TarnFileUpdater.exe", "standin_client.exe")) + (1 << 20)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tarn-full", str(small)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"no small tmpfs here (mount refused: {r.stderr.strip()})")
    try:
        install, www = prepare(wine, tmp_path, {"data.bin": b"old"}, {"data.bin": os.urandom(2 << 20)},
                               folder=small / "install")
        with HttpServer(root=www, port=PORT) as srv:
            print(f"\ndisk full: run ended in {install.run(timeout=90):.1f} s")
            assert srv.paths()[-1] == "/files/data.bin"
        assert (install.dir / "data.bin").read_bytes() == b"old"
        assert leftovers(install) == [] and len(install.client_starts()) == 1
    finally:
        subprocess.run(["umount", "-l", str(small)], check=False)


@pytest.mark.parametrize("lock", ["read-only", "held open without sharing"])
def test_locked_target_fails_cleanly_and_keeps_the_old_file(wine, tmp_path, lock):
    install, www = prepare(wine, tmp_path, {"locked.bin": b"old"}, {"locked.bin": b"new" * 1000})
    target, log = install.dir / "locked.bin", tmp_path / "holder.log"
    holder = None
    if lock == "read-only":
        target.chmod(0o444)
    else:
        holder = wine.start(wine.exe("standin_client.exe"), "--hold", wine.unix_to_windows(target),
                            "--lifetime", "60000", "--log", wine.unix_to_windows(log))
        for _ in range(300):
            if log.exists() and b"hold\tok=1" in log.read_bytes():
                break
            time.sleep(0.1)
    try:
        with HttpServer(root=www, port=PORT) as srv:
            print(f"\n{lock}: run ended in {install.run(timeout=90):.1f} s")
            assert srv.paths()[-1] == "/files/locked.bin"
    finally:
        if holder:
            holder.kill()
    assert target.read_bytes() == b"old"
    assert leftovers(install) == [] and len(install.client_starts()) == 1


def test_trickling_server_ends_the_run_within_a_minute(wine, tmp_path):
    install, www = prepare(wine, tmp_path, {"slow.bin": b"old"}, {"slow.bin": os.urandom(100_000)})
    with HttpServer(root=www, port=PORT) as srv:
        srv.misbehave("/files/slow.bin", "slow", rate=0.2)  # one byte every 5 s
        elapsed = install.run(timeout=120)
    print(f"\ntrickle: run ended in {elapsed:.1f} s")
    # A box would have waited for a click that never comes.
    assert elapsed < 60 and len(install.client_starts()) == 1
    assert (install.dir / "slow.bin").read_bytes() == b"old"


def test_executable_path_beyond_its_buffer_starts_no_client(wine, tmp_path):
    # A drive of the prefix mapped to a test folder keeps its root, and the decoys there and in
    # the current directory, inside the test.
    link = wine.prefix / "dosdevices" / "y:"
    if os.path.lexists(link):
        pytest.skip("drive Y: of the prefix is in use")
    drive = tmp_path / "drive"
    folder = drive / ("a" * 100) / ("b" * 100) / ("c" * 33)
    exe = "Y:\\" + "\\".join(folder.relative_to(drive).parts) + "\\TarnFileUpdater.exe"
    assert len(exe) == 258
    (drive / "cwd").mkdir(parents=True)
    folder.mkdir(parents=True)
    shutil.copyfile(wine.exe("TarnFileUpdater.exe"), folder / "TarnFileUpdater.exe")
    for d in (drive, drive / "cwd", folder):
        shutil.copyfile(wine.exe("standin_client.exe"), d / "pimfile.exe")
    log = tmp_path / "starts.log"
    link.symlink_to(drive)
    try:
        t0 = time.time()
        wine.start(exe, cwd=drive / "cwd", extra_env={"TARN_STANDIN_LOG": wine.unix_to_windows(log)}).wait(60)
        print(f"\npath beyond its buffer: run ended in {time.time() - t0:.1f} s")
        time.sleep(2)  # a client started at the end would have logged by now
    finally:
        link.unlink()
    assert not log.exists(), log.read_bytes()
