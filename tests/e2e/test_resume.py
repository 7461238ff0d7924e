"""Resume: a file cut by a kill is continued by the next run from the bytes it kept, a connection
reset in mid-file is asked again in the same run, and every reply that cannot continue the kept
bytes (Range ignored, a republished file, a new ETag, a wrong Content-Range) still ends with
exactly the published bytes."""
import os
import random
import re
import shutil
import signal
import time

import pytest

from httpserver import HttpServer
from nginx_support import Lighttpd, Nginx
from run_support import PORT, Install, assert_matches_release, is_transfer_file, make_release, publish, read_record

STAMP = 1_700_000_000


def prepare(wine, tmp_path, files, updater=None, sign=()):
    release = make_release(tmp_path / "release", files)
    install = Install(wine, tmp_path / "install")
    if updater:
        shutil.copyfile(wine.exe(updater), install.updater)
    publish(release, tmp_path / "www", sign=sign)
    return release, install


def partials(install):
    return [p for p in install.dir.rglob("*") if is_transfer_file(p.name) and p.suffix == ".new"]


def cut(install, size, low=0.4, high=0.7):
    """Starts a run and kills it once the partial file holds between low and high of `size`
    bytes; returns how many it kept."""
    p = install.start()
    deadline = time.time() + 60
    while time.time() < deadline and p.poll() is None:
        now = [f.stat().st_size for f in partials(install)]
        if now and now[0] >= low * size:
            break
        time.sleep(0.01)
    os.kill(p.pid, signal.SIGKILL)
    p.wait()
    kept = partials(install)
    assert len(kept) == 1, kept
    length = kept[0].stat().st_size
    assert low * size <= length <= high * size, (length, size)
    assert read_record(kept[0].with_suffix(".rec"))["kind"] == 1
    return length


def fetched(srv, path):
    return [(r.headers.get("range"), r.status, r.sent) for r in srv.requests(path)]


def cut_then_run_again(srv, install, size, path):
    """Kills a paced run part-way, then runs again at full speed: (bytes kept, the path's replies)."""
    kept = cut(install, size)
    srv.rate = None
    srv.clear_log()
    install.run()
    return kept, fetched(srv, path)


def test_killed_run_is_continued_by_the_next(wine, tmp_path):
    body = random.Random(1).randbytes(24 << 20)
    release, install = prepare(wine, tmp_path, {"data/big.pak": (body, STAMP)})
    with HttpServer(root=tmp_path / "www", port=PORT, rate=6 << 20) as srv:
        kept, replies = cut_then_run_again(srv, install, len(body), "/files/data/big.pak")
    print(f"\nkill: kept {kept} of {len(body)} bytes; the next run fetched {sum(r[2] for r in replies)}")
    assert replies == [(f"bytes={kept}-", 206, len(body) - kept)]
    assert sum(r[2] for r in replies) <= (len(body) - kept) * 1.1
    assert_matches_release(install, release)


def test_resets_every_4mb_complete_in_one_run(wine, tmp_path):
    body = random.Random(2).randbytes(16 << 20)
    release, install = prepare(wine, tmp_path, {"big.pak": (body, STAMP)})
    with HttpServer(root=tmp_path / "www", port=PORT) as srv:
        srv.misbehave("/files/big.pak", "reset_every", bytes=4 << 20)
        elapsed = install.run()
        replies = fetched(srv, "/files/big.pak")
    sent = sum(r[2] for r in replies)
    print(f"\nresets: {len(replies)} requests, {sent} bytes sent for {len(body)} in {elapsed:.1f} s: {replies}")
    assert len(replies) >= 4 and sent <= 1.05 * len(body)
    assert_matches_release(install, release)


def test_cuts_that_move_little_are_not_asked_again(wine, tmp_path):
    # Tries that each move a few bytes before a cut (or a stall of a whole receive time-out) would
    # otherwise hold the run for every retry.
    body = random.Random(4).randbytes(200_000)
    release, install = prepare(wine, tmp_path, {"big.pak": (body, STAMP)})
    (install.dir / "big.pak").write_bytes(b"old")
    with HttpServer(root=tmp_path / "www", port=PORT) as srv:
        srv.misbehave("/files/big.pak", "reset_every", bytes=4000)
        install.run()
        replies = fetched(srv, "/files/big.pak")
    assert len(replies) == 1, replies
    assert (install.dir / "big.pak").read_bytes() == b"old"
    assert len(install.client_starts()) == 1


def signed_setup(wine, tmp_path, body):
    key = wine.exe("TarnFileUpdater_signed.exe").parent / "release_key.pem"
    return prepare(wine, tmp_path, {"big.pak": (body, STAMP)}, updater="TarnFileUpdater_signed.exe",
                 sign=("--sign", key, "--sequence", 5))


def test_signed_build_hashes_the_kept_bytes_and_drops_them_when_they_differ(wine, tmp_path):
    body = random.Random(3).randbytes(8 << 20)
    release, install = signed_setup(wine, tmp_path, body)
    with HttpServer(root=tmp_path / "www", port=PORT, rate=4 << 20) as srv:
        # Kept bytes changed on the disk: the whole file's hash fails, the bytes and their record go.
        kept = cut(install, len(body))
        spoiled = partials(install)[0]
        with open(spoiled, "r+b") as f:
            f.write(b"\xff" * 16)
        srv.rate = None
        install.run()
        assert not (install.dir / "big.pak").exists()
        assert [p.name for p in install.dir.iterdir() if is_transfer_file(p.name)] == []
        # Kept bytes intact: continued, and the hash over them and the rest passes.
        srv.rate = 4 << 20
        kept, replies = cut_then_run_again(srv, install, len(body), "/files/big.pak")
    print(f"\nsigned: kept {kept}, the next run fetched {sum(r[2] for r in replies)}")
    assert replies == [(f"bytes={kept}-", 206, len(body) - kept)]
    assert_matches_release(install, release)


def ignore_range(srv, www, body):
    srv.misbehave("/files/big.pak", "ignore_range")
    return body, STAMP


def republish(srv, www, body):
    new = random.Random(9).randbytes(len(body) + 1000)
    publish(make_release(www.parent / "release2", {"big.pak": (new, STAMP + 3600)}), www)
    return new, STAMP + 3600


def new_etag(srv, www, body):
    # Same size and time in the catalogue; only the bytes and so the ETag differ.
    new = random.Random(10).randbytes(len(body))
    served = www / "files" / "big.pak"
    served.write_bytes(new)
    os.utime(served, (STAMP, STAMP))
    return new, STAMP


def wrong_range(srv, www, body):
    srv.misbehave("/files/big.pak", "wrong_range", times=1)
    return body, STAMP


@pytest.mark.parametrize("change", [ignore_range, republish, new_etag, wrong_range], ids=lambda f: f.__name__)
def test_reply_that_cannot_continue_ends_with_the_published_bytes(wine, tmp_path, change):
    body = random.Random(4).randbytes(6 << 20)
    _, install = prepare(wine, tmp_path, {"big.pak": (body, STAMP)})
    www = tmp_path / "www"
    with HttpServer(root=www, port=PORT, rate=3 << 20) as srv:
        kept = cut(install, len(body))
        srv.rate = None
        srv.clear_log()
        published, stamp = change(srv, www, body)
        install.run()
        if change is wrong_range:
            # Not the rest of the file: the run fails as on any reply that is not the file, and
            # the kept bytes go, so the next run fetches it whole.
            assert not (install.dir / "big.pak").exists()
            assert [p.name for p in install.dir.iterdir() if is_transfer_file(p.name)] == []
            install.run()
        replies = fetched(srv, "/files/big.pak")
    print(f"\n{change.__name__}: kept {kept}; requests (Range, status, bytes sent) {replies}")
    assert replies[-1][1:] == (200, len(published))
    assert (replies[0][0] is None) == (change is republish)
    assert_matches_release(install, make_release(tmp_path / "expected", {"big.pak": (published, stamp)}))


def nginx(www, work, rate):
    limit = f"limit_rate {rate};" if rate else ""
    return Nginx(www, work, PORT, f"""
    server {{
        listen 127.0.0.1:{PORT};
        root {www};
        {limit}
    }}""")


def lighttpd(www, work, rate):
    limit = f"connection.kbytes-per-second = {rate // 1024}\n" if rate else ""
    return Lighttpd(www, work, PORT, f'server.document-root = "{www}"\nserver.port = {PORT}\n'
                                     f'mimetype.assign = ( "" => "application/octet-stream" )\n{limit}')


@pytest.mark.parametrize("server", [nginx, lighttpd], ids=lambda f: f.__name__)
def test_real_servers_continue_with_their_own_validators(wine, tmp_path, server):
    body = random.Random(6).randbytes(6 << 20)
    release, install = prepare(wine, tmp_path, {"big.pak": (body, STAMP)})
    www = tmp_path / "www"
    with server(www, tmp_path / "cut", 2 << 20):
        kept = cut(install, len(body))
    validator = read_record(partials(install)[0].with_suffix(".rec"))["validator"]
    with server(www, tmp_path / "on", None) as running:
        install.run()
    # lighttpd writes its access log out when it stops.
    log = [line for line in running.access_log() if "/files/big.pak" in line]
    print(f"\n{server.__name__}: kept {kept} under {validator}; {log}")
    assert len(log) == 1 and f'" 206 {len(body) - kept} ' in log[0]
    assert_matches_release(install, release)


def test_bars_start_at_the_kept_bytes_and_only_grow(wine, tmp_path):
    body = random.Random(7).randbytes(6 << 20)
    _, install = prepare(wine, tmp_path, {"big.pak": (body, STAMP)})
    look = wine.exe("tests/e2e/helpers/window_look/window_look.exe")
    seen = {1000: [], 1001: []}  # the file bar, the total bar: positions while their range is the file's
    with HttpServer(root=tmp_path / "www", port=PORT, rate=3 << 20) as srv:
        kept = cut(install, len(body))
        srv.rate = 512 << 10
        p = install.start()
        deadline = time.time() + 60
        while p.poll() is None and time.time() < deadline:
            for bar in seen:
                r = wine.run(look, "progress", str(bar), timeout=30)
                m = re.search(r"high=(\d+) pos=(\d+)", r.stdout.decode(errors="replace"))
                if m and int(m.group(1)) == len(body):
                    seen[bar].append(int(m.group(2)))
        p.wait(timeout=60)
    print(f"\nbars: kept {kept}; file bar {seen[1000]}; total bar {seen[1001]}")
    assert len(seen[1000]) >= 2 and len(seen[1001]) >= 2
    # A bar is at 0 only until the first report, which already carries the kept bytes.
    assert all(kept <= pos for bar in seen.values() for pos in bar if pos)
    # A bar read while the window is being destroyed answers 0 as well.
    for bar in seen.values():
        moving = [pos for pos in bar if pos]
        assert moving == sorted(moving)
    assert (install.dir / "big.pak").read_bytes() == body


def test_catalogue_cut_leaves_nothing_beside_its_temporary(wine, tmp_path):
    _, install = prepare(wine, tmp_path, {"a.bin": (b"a" * 1000, STAMP)})
    folder = install.catalogue_temp().parent

    def transfer_files():
        return {p.name for p in folder.iterdir() if is_transfer_file(p.name)} if folder.exists() else set()

    before = transfer_files()
    with HttpServer(root=tmp_path / "www", port=PORT) as srv:
        srv.misbehave("/dedivur/update/pim", "reset_every", bytes=20)
        install.run()
    assert not (install.dir / "a.bin").exists()
    assert transfer_files() == before
