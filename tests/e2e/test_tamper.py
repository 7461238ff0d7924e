"""Signed releases under attack: the updater built with a public key (TarnFileUpdater_signed, and
its https twin) against a server on 127.0.0.1 that serves what an attacker on the network path
would. Each refused run installs nothing, leaves the old files byte-identical, ends and starts the
client, with the box of a broken catalogue wherever the catalogue is what was refused."""
import random
import shutil
import struct
import subprocess
import time
import zlib

import pytest

from httpserver import HttpServer
from nginx_support import Nginx
from run_support import CATALOGUE_PATH, PORT, TOOL, Install, assert_matches_release, make_release, publish
from test_https import HTTPS_BASE, HTTPS_PORT, OPENSSL, pki  # noqa: F401 (pki is a fixture)

STATE = "TarnFileUpdater.state"
SIG_PATH = CATALOGUE_PATH + ".sig"
OLD_SEQUENCE, NEW_SEQUENCE = 1000, 2000


def random_bytes(n, seed):
    return random.Random(seed).randbytes(n)


OLD_RELEASE = {
    "a.dll": (random_bytes(6000, 1), 1_600_000_000),
    "bin/tool.dll": (random_bytes(20_000, 2), 1_600_000_000),
    "pimfile.dat": (b"client data v1", 1_600_000_000),
}
# a.dll comes first in catalogue order: a tampered copy of it is the first file fetched.
NEW_RELEASE = {
    "a.dll": (random_bytes(6000, 3), 1_700_000_000),
    "bin/tool.dll": (random_bytes(30_000, 4), 1_700_000_000),
    "data/world.pak": (random_bytes(300_000, 5), 1_700_000_000),
    "empty.flag": (b"", 1_700_000_000),
    "pimfile.dat": (b"client data v2", 1_700_000_000),
    "한글/설정.txt": ("새 설정".encode("cp949"), 1_700_000_000),
}


def state_bytes(sequence):
    head = b"TarnSeq\0" + struct.pack("<Q", sequence)
    return head + struct.pack("<I", zlib.crc32(head))


def der_to_raw(der):
    """r || s, 32 bytes each, of a DER ECDSA signature."""
    pos = 3 if der[1] & 0x80 else 2
    raw = b""
    for _ in range(2):
        assert der[pos] == 2
        length = der[pos + 1]
        raw += der[pos + 2:pos + 2 + length].lstrip(b"\0").rjust(32, b"\0")
        pos += 2 + length
    return raw


def resign_with_expiry(sig_file, key, expires):
    """The same release signed by the same key, with another expiry: one signed long ago."""
    sig = sig_file.read_bytes()
    count = struct.unpack_from("<I", sig, 68)[0]
    signed = bytearray(sig[:72 + 32 * count])
    struct.pack_into("<Q", signed, 28, expires)
    der = subprocess.run([OPENSSL, "dgst", "-sha256", "-sign", str(key)], input=bytes(signed),
                         capture_output=True, check=True, timeout=60).stdout
    sig_file.write_bytes(bytes(signed) + der_to_raw(der))


class Scene:
    """A release folder pair, the web root the attacker serves, and an install of the old release."""

    def __init__(self, wine, tmp_path, updater="TarnFileUpdater_signed.exe"):
        self.tmp = tmp_path
        self.key = wine.exe(updater).parent / "release_key.pem"
        self.old = make_release(tmp_path / "old", OLD_RELEASE)
        self.new = make_release(tmp_path / "new", NEW_RELEASE)
        self.www = tmp_path / "www"
        self.install = Install(wine, tmp_path / "install")
        shutil.copyfile(wine.exe(updater), self.install.updater)

    def serve(self, release, sequence, key=None, base_url=None, cp949_names=False):
        extra = {"base_url": base_url} if base_url else {}
        publish(release, self.www, cp949_names=cp949_names, sign=("--sign", key or self.key, "--sequence", sequence),
                **extra)

    def install_release(self, release, sequence):
        for src in release.rglob("*"):
            if src.is_file():
                dst = self.install.dir / src.relative_to(release)
                dst.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(src, dst)
        (self.install.dir / STATE).write_bytes(state_bytes(sequence))

    def files(self):
        """Every file but the state file, with its bytes, and every folder."""
        snap = self.install.snapshot()
        snap.pop(STATE, None)
        folders = sorted(p.relative_to(self.install.dir).as_posix() for p in self.install.dir.rglob("*") if p.is_dir())
        return snap, folders

    def state(self):
        p = self.install.dir / STATE
        return p.read_bytes() if p.exists() else None


# --- what the attacker does to a signed new release; the install holds the old one -------------

def replace_a_file(scene):
    scene.serve(scene.new, NEW_SEQUENCE)
    served = scene.www / "files" / "a.dll"
    served.write_bytes(random_bytes(served.stat().st_size, 99))


def modify_the_catalogue(scene):
    scene.serve(scene.new, NEW_SEQUENCE)
    cat = scene.www / CATALOGUE_PATH.lstrip("/")
    cat.write_bytes(cat.read_bytes() + b"evil\\x.bin\0" + struct.pack("<iQ", 1, 0x01D0000000000000))


def drop_the_signature(scene):
    scene.serve(scene.new, NEW_SEQUENCE)
    (scene.www / SIG_PATH.lstrip("/")).unlink()


def sign_with_another_key(scene):
    other = scene.tmp / "other.pem"
    subprocess.run([str(TOOL), "keygen", str(other)], check=True, capture_output=True, timeout=60)
    scene.serve(scene.new, NEW_SEQUENCE, key=other)


def serve_an_expired_signature(scene):
    scene.serve(scene.new, NEW_SEQUENCE)
    resign_with_expiry(scene.www / SIG_PATH.lstrip("/"), scene.key, int(time.time()) - 86400)


def replay_the_older_release(scene):
    scene.serve(scene.old, OLD_SEQUENCE)


# id, attack, box shown, requests the updater makes
CASES = [
    ("file-replaced", replace_a_file, False, [CATALOGUE_PATH, SIG_PATH, "/files/a.dll"]),
    ("catalogue-modified", modify_the_catalogue, True, [CATALOGUE_PATH, SIG_PATH]),
    ("sig-missing", drop_the_signature, True, [CATALOGUE_PATH, SIG_PATH]),
    ("other-key", sign_with_another_key, True, [CATALOGUE_PATH, SIG_PATH]),
    ("expired", serve_an_expired_signature, True, [CATALOGUE_PATH, SIG_PATH]),
    ("rollback", replay_the_older_release, True, [CATALOGUE_PATH, SIG_PATH]),
]


def run_refused(install, box_expected, timeout=90):
    """Runs the updater to its end; returns (seconds, the box or None)."""
    t0 = time.time()
    if not box_expected:
        # A box would hold the run until dismissed: ending in time means none was shown.
        install.run(timeout=timeout)
        return time.time() - t0, None
    p = install.start()
    box = install.message_box()
    p.wait(timeout=timeout)
    elapsed = time.time() - t0
    install.wait_client(1)
    return elapsed, box


@pytest.mark.parametrize("attack,box_expected,requests", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_attack_installs_nothing(wine, tmp_path, attack, box_expected, requests):
    scene = Scene(wine, tmp_path)
    rollback = attack is replay_the_older_release
    # The install holds the newer release when the attacker replays the older one.
    scene.install_release(scene.new if rollback else scene.old, NEW_SEQUENCE if rollback else OLD_SEQUENCE)
    attack(scene)
    before = scene.files()
    with HttpServer(root=scene.www, port=PORT) as srv:
        elapsed, box = run_refused(scene.install, box_expected)
        assert srv.paths() == requests
    print(f"\n{attack.__name__}: {elapsed:.1f} s, box {box}")
    if box_expected:
        assert box == ("File check error", "Check update info", True, 1)
        assert scene.state() == state_bytes(NEW_SEQUENCE if rollback else OLD_SEQUENCE)
    else:
        # The catalogue and its signature were genuine: the release was seen, so nothing older
        # is accepted from now on, even though its first file was refused.
        assert scene.state() == state_bytes(NEW_SEQUENCE)
    after = scene.files()
    assert after[0] == before[0]
    # A refused catalogue creates no folder; one that passed creates its folders before the files.
    assert after[1] == before[1] if box_expected else set(after[1]) >= set(before[1])
    assert not list(scene.install.dir.rglob("*.tarn-new"))
    assert len(scene.install.client_starts()) == 1
    assert not scene.install.catalogue_temp().exists()


@pytest.mark.parametrize("cert", ["other-name", "untrusted"])
def test_wrong_certificate_installs_nothing(wine, tmp_path, pki, cert):  # noqa: F811
    scene = Scene(wine, tmp_path, updater="TarnFileUpdater_signed_https.exe")
    scene.install_release(scene.old, OLD_SEQUENCE)
    scene.serve(scene.new, NEW_SEQUENCE, base_url=HTTPS_BASE, cp949_names=True)
    before = scene.files()
    with Nginx(scene.www, tmp_path / "nginx", HTTPS_PORT, tls=pki[cert]) as server:
        elapsed, _ = run_refused(scene.install, box_expected=False)
        log = server.access_log()
    print(f"\nhttps {cert}: {elapsed:.1f} s")
    assert log == []
    assert scene.files() == before
    assert scene.state() == state_bytes(OLD_SEQUENCE)
    assert len(scene.install.client_starts()) == 1


def test_genuine_release_installs_then_only_catalogue_and_signature_are_fetched(wine, tmp_path):
    scene = Scene(wine, tmp_path)
    scene.install_release(scene.old, OLD_SEQUENCE)
    scene.serve(scene.new, NEW_SEQUENCE)
    with HttpServer(root=scene.www, port=PORT) as srv:
        elapsed = scene.install.run(timeout=90)
        paths = srv.paths()
        assert paths[:2] == [CATALOGUE_PATH, SIG_PATH]
        assert sorted(paths[2:]) == sorted("/files/" + rel for rel in NEW_RELEASE)
        assert_matches_release(scene.install, scene.new)
        assert scene.state() == state_bytes(NEW_SEQUENCE)

        srv.clear_log()
        again = scene.install.run(timeout=90)
        assert srv.paths() == [CATALOGUE_PATH, SIG_PATH]
    print(f"\ngenuine: {elapsed:.1f} s, then {again:.1f} s")
    assert_matches_release(scene.install, scene.new)
    assert scene.state() == state_bytes(NEW_SEQUENCE)
    assert len(scene.install.client_starts()) == 2
    assert not scene.install.catalogue_temp().exists()
    assert not scene.install.catalogue_temp().with_name("Updater.tmp.sig").exists()
