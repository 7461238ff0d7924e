"""Block maps: the updater built with UPDATE_BLOCK_MAPS builds a large file from the blocks of the
old one it holds and fetches only the changed blocks, and falls back to the whole file whenever
the map or the server cannot be trusted with that."""
import hashlib
import os
import random
import shutil
import signal
import subprocess
import time

import pytest

from httpserver import HttpServer
from nginx_support import Nginx
from run_support import (PORT, TOOL, Install, assert_matches_release, is_transfer_file, make_release,
                         most_at_once)

STAMP = 1_700_000_000
SIZE = 24_000_000
PACK = "/files/data/pack.bin"


def edited(old):
    """3 % of the bytes replaced in 10 places, and 1,000 bytes inserted near the start."""
    rnd = random.Random(11)
    new = bytearray(old)
    for i in range(10):
        at = (i * 2 + 1) * len(old) // 21
        new[at:at + len(old) * 3 // 1000] = rnd.randbytes(len(old) * 3 // 1000)
    return bytes(new[:5000] + rnd.randbytes(1000) + new[5000:])


def stage(release, www, sign=()):
    r = subprocess.run([str(TOOL), "stage", str(release), str(www), "--base-url", f"http://127.0.0.1:{PORT}/files/",
                        "--block-maps", *map(str, sign)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr


def scene(wine, tmp_path, old, new, updater="TarnFileUpdater_maps.exe", sign=()):
    release = make_release(tmp_path / "release", {"data/pack.bin": (new, STAMP)})
    www = tmp_path / "www"
    stage(release, www, sign)
    install = Install(wine, tmp_path / "install")
    shutil.copyfile(wine.exe(updater), install.updater)
    (install.dir / "data").mkdir()
    (install.dir / "data" / "pack.bin").write_bytes(old)
    return release, www, install


def sums(block):
    """A block's entry in a map: the rolling checksum, then 8 bytes of its SHA-256."""
    a = sum(block) & 0xFFFF
    b = sum((len(block) - i) * x for i, x in enumerate(block)) & 0xFFFF
    return (b << 16 | a).to_bytes(4, "little") + hashlib.sha256(block).digest()[:8]


def lie(map_path, how):
    """A map whose whole hash is wrong, or that says a block of the new file is one the old file
    holds when it is not."""
    data = bytearray(map_path.read_bytes())
    if how == "whole":
        data[24] ^= 0xFF
    else:
        size = int.from_bytes(data[12:16], "little")
        k = (SIZE // 21 + 1000) // size + 2  # inside the first changed place
        # The new file's block 100 (the old one's bytes, 1,000 on), which the scan finds.
        data[56 + 12 * k:56 + 12 * (k + 1)] = sums(OLD[100 * size - 1000:101 * size - 1000])
    map_path.write_bytes(bytes(data))


OLD = random.Random(10).randbytes(SIZE)

# case, new bytes, what the server does, the most bytes fetched (file and map, as a share of the file)
CASES = [
    ("edited", edited(OLD), None, 0.10),
    ("different", random.Random(12).randbytes(SIZE), None, 1.03),
    ("no-map", edited(OLD), "no_map", 1.01),
    ("no-range", edited(OLD), "ignore_range", 1.04),
    ("lying-block", edited(OLD), "block", 1.14),
    ("lying-whole", edited(OLD), "whole", 1.14),
]


@pytest.mark.parametrize("case,new,server,most", CASES, ids=[c[0] for c in CASES])
def test_large_file_is_built_from_its_old_blocks_or_fetched_whole(wine, tmp_path, case, new, server, most):
    release, www, install = scene(wine, tmp_path, OLD, new)
    map_path = www / (PACK.lstrip("/") + ".tarnblocks")
    if server == "no_map":
        map_path.unlink()
    elif server in ("block", "whole"):
        lie(map_path, server)
    with HttpServer(root=www, port=PORT) as srv:
        if server == "ignore_range":
            srv.misbehave(PACK, "ignore_range")
        install.run(timeout=180)
        sent = sum(r.sent for r in srv.requests(PACK) + srv.requests(PACK + ".tarnblocks"))
        ranges = len(srv.requests(PACK))
    print(f"\n{case}: {sent} bytes fetched for {len(new)} ({sent / len(new):.3f}), {ranges} file requests")
    assert sent <= most * len(new)
    assert_matches_release(install, release)
    assert len(install.client_starts()) == 1


def test_changed_blocks_are_asked_for_several_at_once(wine, tmp_path):
    new = edited(OLD)
    release, www, install = scene(wine, tmp_path, OLD, new)
    # Each reply paced, so that a range is still coming when the next ones are asked for.
    with HttpServer(root=www, port=PORT, rate=2_000_000) as srv:
        install.run(timeout=180)
        ranges = [r for r in srv.requests(PACK) if "range" in r.headers]
    together = most_at_once(ranges)
    print(f"\n{len(ranges)} ranges, at most {together} in flight")
    assert len(ranges) >= 10 and together >= 2
    assert_matches_release(install, release)


def test_cut_ranges_are_asked_again_for_their_rest(wine, tmp_path):
    new = edited(OLD)
    release, www, install = scene(wine, tmp_path, OLD, new)
    with HttpServer(root=www, port=PORT) as srv:
        # Every reply for the file ends in a reset after 40,000 bytes: each changed place's range
        # (about 72 KB) comes in two or more tries.
        srv.misbehave(PACK, "reset_every", bytes=40_000)
        install.run(timeout=180)
        replies = srv.requests(PACK)
    sent = sum(r.sent for r in replies)
    print(f"\ncut ranges: {len(replies)} requests, {sent} bytes for {len(new)}")
    assert all("range" in r.headers for r in replies) and sent <= 0.10 * len(new)
    assert_matches_release(install, release)


@pytest.mark.parametrize("map_hash,most", [("true", 0.10), ("wrong", 1.01)])
def test_signed_build_takes_blocks_only_under_the_signed_hash(wine, tmp_path, map_hash, most):
    new = edited(OLD)
    updater = "TarnFileUpdater_signed_maps.exe"
    key = wine.exe(updater).parent / "release_key.pem"
    release, www, install = scene(wine, tmp_path, OLD, new, updater, sign=("--sign", key, "--sequence", 1))
    map_path = www / (PACK.lstrip("/") + ".tarnblocks")
    if map_hash == "wrong":
        lie(map_path, "whole")
    with HttpServer(root=www, port=PORT) as srv:
        install.run(timeout=180)
        sent = sum(r.sent for r in srv.requests(PACK))
    # A map whose whole hash is not the signed one is not used at all: the file comes whole.
    assert sent <= most * len(new)
    assert_matches_release(install, release)


def test_nginx_serves_the_ranges_of_a_staged_tree(wine, tmp_path):
    new = edited(OLD)
    release, www, install = scene(wine, tmp_path, OLD, new)
    with Nginx(www, tmp_path / "nginx", PORT):
        install.run(timeout=180)
    assert_matches_release(install, release)


def test_killed_while_built_from_blocks_the_file_stays_old_or_new(wine, tmp_path):
    new = edited(OLD)
    release, www, install = scene(wine, tmp_path, OLD, new)
    target = install.dir / "data" / "pack.bin"
    rng = random.Random(13)
    kills = building = 0
    # The kill comes at a random moment once the new file is being built beside the old one.
    with HttpServer(root=www, port=PORT, rate=1_000_000):
        for _ in range(6):
            p = install.start()
            deadline = time.time() + 30
            while p.poll() is None and time.time() < deadline and not any(
                    is_transfer_file(f.name) and f.suffix == ".new" for f in target.parent.iterdir()):
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 0.6))
            if p.poll() is None:
                building += any(is_transfer_file(f.name) and f.suffix == ".new" for f in target.parent.iterdir())
                os.kill(p.pid, signal.SIGKILL)
                kills += 1
            p.wait()
            assert target.read_bytes() in (OLD, new)
            if target.read_bytes() == new:
                target.write_bytes(OLD)
        install.run(timeout=180)
    print(f"\nkills: {kills}, {building} of them while the file was being built")
    assert kills >= 4 and building >= 3
    assert_matches_release(install, release)
