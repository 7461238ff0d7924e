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


def first_file_request(srv, seen, p, timeout=30):
    """Waits until the run started as `p` asks for its first file; False when it ends first."""
    deadline = time.time() + timeout
    while time.time() < deadline and p.poll() is None:
        if any(r.path.startswith("/files/") for r in srv.requests()[seen:]):
            return True
        time.sleep(0.01)
    return False


def test_killed_anywhere_every_file_stays_old_or_new(wine, tmp_path):
    rng = random.Random(7)
    old = {f"d{i % 4}/f{i}.bin": rng.randbytes(rng.randrange(1, 80_000)) for i in range(19)}
    new = {rel: data if i % 5 == 0 else rng.randbytes(rng.randrange(1, 80_000))
           for i, (rel, data) in enumerate(old.items())}
    exe = wine.exe("TarnFileUpdater.exe").read_bytes()
    old["TarnFileUpdater.exe"], new["TarnFileUpdater.exe"], new["added.bin"] = exe, exe + bytes(4096), b"+" * 50_000
    install, www = prepare(wine, tmp_path, old, new)

    def aside(rel):
        path = install.dir / rel
        return aside_copies(path.parent).get(rel.replace("/", "\\"))

    def content(rel):
        path = install.dir / rel
        return path.read_bytes() if path.exists() else None

    def unplaced():  # anything else in the install folder is a download not yet in its place
        return [p for p in install.dir.rglob("*") if p.name.endswith(".tarn-new") or
                (TRANSFER_NAME.match(p.name) and p.suffix.lower() == ".new")]

    # Only kills after the run's first file request count. A kill while the server is still
    # sending a file, or with a download not yet in its place, is one in mid-transfer. A target
    # found missing beside its copy aside is kept only if the next run puts it back.
    kills = violations = mid_transfer = resets = 0
    missing = set()
    with HttpServer(root=www, port=PORT, rate=1_000_000) as srv:
        deadline = time.time() + 240
        while kills < 30 and time.time() < deadline:
            seen = len(srv.requests())
            p = install.start()
            if first_file_request(srv, seen, p):
                time.sleep(rng.uniform(0, 3.5))
                if p.poll() is None:
                    sending = any(r.ended is None for r in srv.requests()[seen:] if r.path.startswith("/files/"))
                    os.kill(p.pid, signal.SIGKILL)
                    kills += 1
                    p.wait()
                    mid_transfer += sending or bool(unplaced())
            p.wait()
            now = {rel: content(rel) for rel in new}
            violations += sum(now[rel] is None for rel in missing)
            missing = {rel for rel in new if now[rel] is None and aside(rel)}
            violations += sum(aside(rel).read_bytes() not in (old.get(rel), new[rel]) for rel in missing)
            violations += sum(data not in (old.get(rel), new[rel]) for rel, data in now.items() if rel not in missing)
            if now == new:
                make_release(install.dir, {rel: (data, 1_600_000_000) for rel, data in old.items()})
                (install.dir / "added.bin").unlink()
                resets += 1
        print(f"\nkills={kills} (mid-transfer {mid_transfer}) violations={violations} back to old={resets}; "
              f"next run ended in {install.run():.1f} s")
        install.run()  # the updater's own old image, in use during the last run, goes now
    assert kills >= 30 and mid_transfer >= 10 and violations == 0
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


# A transfer fails when a window of 30 s moves less than 16 KiB. Both sides of that bound, with
# real time: a burst that carries the first window and then 9 KB per window fails at the end of
# the second, where a bound that never leaves the first window, or one of a few bytes, would let
# the file take four minutes; a line of 2 KB/s moves 60 KB per window and finishes.
BURST, TRICKLE = 40_000, 300


def test_burst_then_trickle_ends_the_run_after_two_windows(wine, tmp_path):
    body = os.urandom(BURST + TRICKLE * 240)
    install, www = prepare(wine, tmp_path, {"slow.bin": b"old"}, {"slow.bin": body})
    with HttpServer(root=www, port=PORT) as srv:
        srv.misbehave("/files/slow.bin", "slow", rate=TRICKLE, burst=BURST)
        elapsed = install.run(timeout=100)
        srv.wait_answered()
        slow = srv.requests("/files/slow.bin")
    print(f"\nburst then trickle: run ended in {elapsed:.1f} s after {slow[0].sent} bytes")
    assert len(slow) == 1 and BURST < slow[0].sent < len(body)
    # A box would have waited for a click that never comes.
    assert 59 < elapsed < 100 and len(install.client_starts()) == 1
    assert (install.dir / "slow.bin").read_bytes() == b"old" and leftovers(install) == []


def test_line_of_2kb_per_second_finishes(wine, tmp_path):
    body = os.urandom(2048 * 34)
    install, www = prepare(wine, tmp_path, {"slow.bin": b"old"}, {"slow.bin": body})
    with HttpServer(root=www, port=PORT) as srv:
        srv.misbehave("/files/slow.bin", "slow", rate=2048)
        elapsed = install.run(timeout=90)
    print(f"\n2 KB/s: run ended in {elapsed:.1f} s")
    assert (install.dir / "slow.bin").read_bytes() == body
    assert elapsed > 33, "the transfer outlasted a window"


def test_last_block_past_a_slow_window_completes_the_file(wine, tmp_path):
    # 12 KB, then nothing for 2 × 15.5 s (each pause under the receive time-out) and the last
    # part just after the window's end: fewer than 16 KB in that window, but the file is whole.
    body = os.urandom(12_003)
    install, www = prepare(wine, tmp_path, {"slow.bin": b"old"}, {"slow.bin": body})
    with HttpServer(root=www, port=PORT) as srv:
        srv.misbehave("/files/slow.bin", "drip", pauses=[15.5, 15.5])
        elapsed = install.run(timeout=90)
    print(f"\nlast block after the window: run ended in {elapsed:.1f} s")
    assert elapsed > 31
    assert (install.dir / "slow.bin").read_bytes() == body


def test_executable_path_beyond_its_buffer_starts_no_client(wine, tmp_path):
    # A drive of the prefix mapped to a test folder keeps its root, and the decoys there and in
    # the current directory, inside the test.
    link = wine.prefix / "dosdevices" / "y:"
    if os.path.lexists(link):
        pytest.skip("drive Y: of the prefix is in use")
    drive = tmp_path / "drive"
    (drive / "cwd").mkdir(parents=True)
    for d in (drive, drive / "cwd"):
        shutil.copyfile(wine.exe("standin_client.exe"), d / "pimfile.exe")
    log = tmp_path / "starts.log"

    def run_from(last):
        """Runs the updater from Y:\\a...\\b...\\<last> with Y:\\cwd current; (path, exit code)."""
        folder = drive / ("a" * 100) / ("b" * 100) / last
        folder.mkdir(parents=True)
        shutil.copyfile(wine.exe("TarnFileUpdater.exe"), folder / "TarnFileUpdater.exe")
        shutil.copyfile(wine.exe("standin_client.exe"), folder / "pimfile.exe")
        # An obsolete file in the current directory goes when the start-up reaches the window.
        (drive / "cwd" / "Probe.exe").write_bytes(b"obsolete")
        exe = "Y:\\" + "\\".join(folder.relative_to(drive).parts) + "\\TarnFileUpdater.exe"
        p = wine.start(exe, cwd=drive / "cwd", extra_env={"TARN_STANDIN_LOG": wine.unix_to_windows(log)})
        return exe, p.wait(60)

    link.symlink_to(drive)
    try:
        # The control: from a path that fits, the client beside the updater is started and logs it.
        fits, fits_code = run_from("c" * 20)
        # Until the control's client has ended: it logs more after its start.
        for _ in range(200):
            if log.exists() and b"\texit" in log.read_bytes():
                break
            time.sleep(0.1)
        control = log.read_bytes() if log.exists() else b""
        log.unlink(missing_ok=True)
        t0 = time.time()
        beyond, code = run_from("c" * 33)
        print(f"\npath beyond its buffer: run ended in {time.time() - t0:.1f} s")
        time.sleep(2)  # a client started at the end would have logged by now
    finally:
        link.unlink()
    assert len(fits) == 245 and len(beyond) == 258
    assert control.count(b"\tstart\t") == 1 and b"c" * 20 in control, control
    assert code == fits_code and not (drive / "cwd" / "Probe.exe").exists(), "the run went its whole way"
    assert not log.exists(), log.read_bytes()
