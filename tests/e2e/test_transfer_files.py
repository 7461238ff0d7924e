"""The files a download keeps beside its target: a short name of its own, so that targets at the
path limit (255 and 259 bytes) are created and updated, and a durable record of what it fetches."""
import hashlib
import os
import random
import signal
import time

import pytest

from httpserver import HttpServer
from run_support import PORT, Install, assert_matches_release, is_transfer_file, make_release, publish, read_record


def long_name(install, full_length):
    """A path below a folder "deep" whose full Windows path has full_length bytes."""
    room = full_length - len(install.windows_path) - len("\\deep\\")
    assert 20 <= room <= 200, room
    return "deep/" + "n" * (room - 4) + ".bin"


@pytest.mark.parametrize("full_length", [255, 259])
def test_file_at_the_path_limit_is_created_and_updated(wine, tmp_path, full_length):
    install = Install(wine, tmp_path / "install")
    rel = long_name(install, full_length)
    assert len(install.windows_path + "\\" + rel) == full_length
    www = tmp_path / "www"
    with HttpServer(root=www, port=PORT):
        for version, data in enumerate([b"first " * 1000, b"second " * 3000]):
            release = make_release(tmp_path / f"release{version}", {rel: (data, 1_600_000_000 + version * 3600)})
            publish(release, www)
            install.run()
            assert_matches_release(install, release)
            assert sorted(p.name for p in (install.dir / "deep").iterdir()) == [rel.split("/")[1]]


def test_killed_transfer_keeps_a_record_of_its_entry_and_reply(wine, tmp_path):
    """The record is on disk before the bytes: a transfer killed half-way leaves a prefix of the
    file and a record naming its target, entry and the reply's strong ETag."""
    install = Install(wine, tmp_path / "install")
    body = random.Random(5).randbytes(3_000_000)
    stamp = 133_000_000_000_000_000
    with HttpServer(port=0, rate=300_000) as srv:
        srv.put("/big.bin", body)
        p = wine.start(wine.exe("tests/e2e/helpers/worker_probe/worker_probe.exe"), srv.url("/big.bin"), "big.bin",
                       str(len(body)), str(stamp), cwd=install.dir)
        deadline = time.time() + 30
        while time.time() < deadline and not any(f.suffix == ".new" and f.stat().st_size > 200_000
                                                  for f in install.dir.iterdir()):
            time.sleep(0.05)
        os.kill(p.pid, signal.SIGKILL)
        p.wait()
    partial = [f for f in install.dir.iterdir() if f.suffix == ".new"]
    assert len(partial) == 1 and is_transfer_file(partial[0].name)
    kept = partial[0].read_bytes()
    assert 200_000 <= len(kept) < len(body) and body.startswith(kept)
    record = read_record(partial[0].with_suffix(".rec"))
    assert record == {"target": "big.bin", "size": len(body), "time": stamp, "kind": 1,
                      "validator": '"%s"' % hashlib.sha1(body).hexdigest()[:20]}, record
