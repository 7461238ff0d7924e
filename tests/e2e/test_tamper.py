"""Signed releases under attack: the updater built with a public key (TarnFileUpdater_signed, and
its https twin) against a server on 127.0.0.1 that serves what an attacker on the path would. A
refused run installs nothing, leaves the old files byte-identical, ends and starts the client,
with the box of a broken catalogue wherever the catalogue is what was refused."""
import random
import shutil
import struct
import subprocess
import time
import zlib
from pathlib import Path

import pytest

from httpserver import HttpServer
from nginx_support import Nginx
from run_support import (CATALOGUE_PATH, PORT, TOOL, Install, assert_matches_release, is_transfer_file, make_release,
                         publish)
from test_https import HTTPS_BASE, HTTPS_PORT, OPENSSL, pki  # noqa: F401 (pki is a fixture)

STATE = "TarnFileUpdater.state"
SIG = CATALOGUE_PATH + ".sig"
OLD, NEW = 1000, 2000  # sequences


def blob(n, seed):
    return random.Random(seed).randbytes(n)


def state_bytes(sequence):
    head = b"TarnSeq\0" + struct.pack("<Q", sequence)
    return head + struct.pack("<I", zlib.crc32(head))


# a.dll is first in catalogue order: a tampered copy of it is the first file fetched.
RELEASES = {
    OLD: {"a.dll": blob(6000, 1), "bin/tool.dll": blob(20_000, 2), "pimfile.dat": b"client data v1"},
    NEW: {"a.dll": (blob(6000, 3), 1_700_000_000), "bin/tool.dll": (blob(30_000, 4), 1_700_000_000),
          "data/world.pak": (blob(300_000, 5), 1_700_000_000), "empty.flag": (b"", 1_700_000_000),
          "pimfile.dat": (b"client data v2", 1_700_000_000), "한글/설정.txt": ("새 설정".encode("cp949"), 1_700_000_000)},
}


def resign_with_expiry(sig_file, key, expires):
    """The same release signed by the same key with another expiry, as if signed long ago."""
    sig = sig_file.read_bytes()
    signed = bytearray(sig[:72 + 32 * struct.unpack_from("<I", sig, 68)[0]])
    struct.pack_into("<Q", signed, 28, expires)
    der = subprocess.run([OPENSSL, "dgst", "-sha256", "-sign", str(key)], input=bytes(signed),
                         capture_output=True, check=True, timeout=60).stdout
    raw, pos = b"", 2  # DER: SEQUENCE { INTEGER r, INTEGER s }, short lengths for P-256
    for _ in range(2):
        raw += der[pos + 2:pos + 2 + der[pos + 1]].lstrip(b"\0").rjust(32, b"\0")
        pos += 2 + der[pos + 1]
    sig_file.write_bytes(bytes(signed) + raw)


class Scene:
    """The two releases, the web root the attacker serves, an install of one release."""

    def __init__(self, wine, tmp, installed, updater="TarnFileUpdater_signed.exe"):
        self.tmp, self.key = tmp, wine.exe(updater).parent / "release_key.pem"
        self.release = {seq: make_release(tmp / str(seq), files) for seq, files in RELEASES.items()}
        self.www = tmp / "www"
        self.install = Install(wine, tmp / "install")
        shutil.copyfile(wine.exe(updater), self.install.updater)
        shutil.copytree(self.release[installed], self.install.dir, dirs_exist_ok=True)
        (self.install.dir / STATE).write_bytes(state_bytes(installed))

    def serve(self, seq, key=None, **how):
        publish(self.release[seq], self.www, sign=("--sign", key or self.key, "--sequence", seq), **how)

    def www_file(self, path):
        return self.www / path.lstrip("/")

    def files_and_folders(self):
        snap = self.install.snapshot()
        snap.pop(STATE)
        return snap, sorted(p for p in self.install.dir.rglob("*") if p.is_dir())

    def state(self):
        return (self.install.dir / STATE).read_bytes()


def append(path, data):
    path.write_bytes(path.read_bytes() + data)


def other_key(scene):
    key = scene.tmp / "other.pem"
    subprocess.run([str(TOOL), "keygen", str(key)], check=True, capture_output=True, timeout=60)
    return key


# id, installed, what the attacker serves, box shown, requests made
CASES = [
    ("file-replaced", OLD, lambda s: (s.serve(NEW), s.www_file("/files/a.dll").write_bytes(blob(6000, 99))),
     False, [CATALOGUE_PATH, SIG, "/files/a.dll"]),
    ("catalogue-modified", OLD, lambda s: (s.serve(NEW), append(s.www_file(CATALOGUE_PATH), b"evil\\x.bin\0" +
                                                                struct.pack("<iQ", 1, 0x01D0000000000000))),
     True, [CATALOGUE_PATH, SIG]),
    ("sig-missing", OLD, lambda s: (s.serve(NEW), s.www_file(SIG).unlink()), True, [CATALOGUE_PATH, SIG]),
    ("other-key", OLD, lambda s: s.serve(NEW, key=other_key(s)), True, [CATALOGUE_PATH, SIG]),
    ("expired", OLD, lambda s: (s.serve(NEW), resign_with_expiry(s.www_file(SIG), s.key, int(time.time()) - 86400)),
     True, [CATALOGUE_PATH, SIG]),
    ("rollback", NEW, lambda s: s.serve(OLD), True, [CATALOGUE_PATH, SIG]),
]


def run(install, box_expected):
    """Runs the updater to its end; returns (seconds, the box or None)."""
    t0 = time.time()
    if not box_expected:
        install.run(timeout=90)  # a box would hold the run: ending in time means none was shown
        return time.time() - t0, None
    p = install.start()
    box = install.message_box()
    p.wait(timeout=90)
    elapsed = time.time() - t0
    install.wait_client(1)
    return elapsed, box


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_attack_installs_nothing(wine, tmp_path, case):
    name, installed, attack, box_expected, requests = case
    scene = Scene(wine, tmp_path, installed)
    attack(scene)
    files, folders = scene.files_and_folders()
    with HttpServer(root=scene.www, port=PORT) as srv:
        elapsed, box = run(scene.install, box_expected)
        # The files after the first one of the plan may have been asked for ahead of it.
        made = srv.paths()
        assert made == requests if box_expected else set(requests) <= set(made)
    print(f"\n{name}: box {box is not None}, {elapsed:.1f} s")
    after_files, after_folders = scene.files_and_folders()
    # Transfers cut short by the run's end may leave their partial files for the next run.
    assert {k: v for k, v in after_files.items() if not is_transfer_file(Path(k).name)} == files
    assert len(scene.install.client_starts()) == 1
    if box_expected:
        assert box == ("File check error", "Check update info", True, 1)
        assert after_folders == folders
        assert scene.state() == state_bytes(installed)
    else:
        # Catalogue and .sig were genuine: the release was seen, nothing older is taken from now on.
        assert scene.state() == state_bytes(NEW)


@pytest.mark.parametrize("cert", ["good", "other-name", "untrusted"])
def test_signed_https_installs_only_behind_a_trusted_certificate(wine, tmp_path, pki, cert):  # noqa: F811
    # The trusted certificate shows that this build connects and installs over https at all, so
    # that no request behind a wrong one is the certificate check's doing.
    scene = Scene(wine, tmp_path, OLD, updater="TarnFileUpdater_signed_https.exe")
    scene.serve(NEW, base_url=HTTPS_BASE, cp949_names=True)
    before = scene.files_and_folders()
    with Nginx(scene.www, tmp_path / "nginx", HTTPS_PORT, tls=pki[cert]) as server:
        elapsed, _ = run(scene.install, box_expected=False)
        log = server.access_log()
    print(f"\nhttps {cert}: {elapsed:.1f} s, {len(log)} requests")
    assert len(scene.install.client_starts()) == 1
    if cert == "good":
        assert CATALOGUE_PATH + " " in log[0] and SIG + " " in log[1] and len(log) > 2, log
        assert_matches_release(scene.install, scene.release[NEW])
        assert scene.state() == state_bytes(NEW)
    else:
        assert log == []
        assert scene.files_and_folders() == before
        assert scene.state() == state_bytes(OLD)


def test_genuine_release_installs_then_only_catalogue_and_signature_are_fetched(wine, tmp_path):
    scene = Scene(wine, tmp_path, OLD)
    scene.serve(NEW)
    with HttpServer(root=scene.www, port=PORT) as srv:
        first = scene.install.run(timeout=90)
        paths = srv.paths()
        assert paths[:2] == [CATALOGUE_PATH, SIG]
        assert sorted(paths[2:]) == sorted("/files/" + rel for rel in RELEASES[NEW])
        srv.clear_log()
        second = scene.install.run(timeout=90)
        assert srv.paths() == [CATALOGUE_PATH, SIG]
    print(f"\ngenuine: {first:.1f} s, then {second:.1f} s")
    assert_matches_release(scene.install, scene.release[NEW])
    assert scene.state() == state_bytes(NEW)
    assert len(scene.install.client_starts()) == 2
    assert not scene.install.catalogue_temp().exists()
    assert not scene.install.catalogue_temp().with_name("Updater.tmp.sig").exists()
