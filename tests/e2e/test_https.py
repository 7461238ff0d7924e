"""The updater over https: nginx with TLS on 127.0.0.1, certificates from a certificate authority
made for the test and trusted only inside the test's Wine prefix (never on this machine). A run
against a certificate for another name, or from an authority the prefix does not trust, fails
like any failed download: nothing changes and the client is started."""
import shutil
import subprocess

import pytest

from nginx_support import Nginx
from run_support import Install, make_release, publish, PORT

HTTPS_PORT = PORT + 1
HTTPS_BASE = f"https://127.0.0.1:{HTTPS_PORT}/files/"
OPENSSL = shutil.which("openssl") or "/usr/bin/openssl"


def openssl(*args, cwd):
    subprocess.run([OPENSSL, *args], cwd=cwd, check=True, capture_output=True, timeout=60)


# RSA keys: Wine 8's certificate chain check turns down some valid ECDSA certificate signatures
# ("CNG_VerifySignature Failed to verify signature", then CERT_TRUST_IS_NOT_SIGNATURE_VALID), which
# one in some dozens of freshly made P-256 certificates hit.
KEY = ("-newkey", "rsa:2048")


def make_authority(folder, name):
    openssl("req", "-x509", *KEY, "-nodes",
            "-keyout", f"{name}.key", "-out", f"{name}.pem", "-days", "2", "-subj", f"/CN={name}",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            cwd=folder)
    openssl("x509", "-in", f"{name}.pem", "-outform", "DER", "-out", f"{name}.der", cwd=folder)


def make_server_cert(folder, name, common_name, alt_names, authority):
    """A server certificate signed by authority; returns (chain file, key file) for nginx."""
    openssl("req", *KEY, "-nodes",
            "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={common_name}", cwd=folder)
    (folder / f"{name}.ext").write_text(f"subjectAltName={alt_names}\nbasicConstraints=CA:FALSE\n"
                                        "extendedKeyUsage=serverAuth\n")
    openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{authority}.pem", "-CAkey", f"{authority}.key",
            "-CAcreateserial", "-out", f"{name}.pem", "-days", "2", "-extfile", f"{name}.ext", cwd=folder)
    return folder / f"{name}.pem", folder / f"{name}.key"


@pytest.fixture(scope="module")
def pki(wine, tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    make_authority(folder, "tarn-test-ca")
    make_authority(folder, "untrusted-ca")
    certs = {
        "good": make_server_cert(folder, "good", "127.0.0.1", "IP:127.0.0.1,DNS:127.0.0.1", "tarn-test-ca"),
        "other-name": make_server_cert(folder, "other-name", "updates.example.net", "DNS:updates.example.net",
                                       "tarn-test-ca"),
        "untrusted": make_server_cert(folder, "untrusted", "127.0.0.1", "IP:127.0.0.1,DNS:127.0.0.1", "untrusted-ca"),
    }
    helper = wine.exe("trust_root.exe")
    ca = wine.unix_to_windows(folder / "tarn-test-ca.der")
    r = wine.run(helper, "add", ca, timeout=60)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    yield certs
    wine.run(helper, "remove", ca, timeout=60)


@pytest.fixture
def https_scene(wine, tmp_path):
    release = make_release(tmp_path / "release", {
        "pimfile.dat": b"client data over tls",
        "bin/tool.dll": bytes(range(256)) * 300,
        "한글/설정.txt": "설정".encode("cp949"),
    })
    www = tmp_path / "www"
    publish(release, www, base_url=HTTPS_BASE, cp949_names=True)
    install = Install(wine, tmp_path / "install")
    shutil.copyfile(wine.exe("TarnFileUpdater_https.exe"), install.updater)
    (install.dir / "bin").mkdir()
    (install.dir / "bin" / "tool.dll").write_bytes(b"the old tool")
    return release, www, install


def test_fresh_install_over_https(https_scene, pki, tmp_path):
    release, www, install = https_scene
    with Nginx(www, tmp_path / "nginx", HTTPS_PORT, tls=pki["good"]) as server:
        install.run(timeout=90)
        log = server.access_log()
    seen = f"requests: {log}; client starts: {install.client_starts()}"
    for rel in ("pimfile.dat", "bin/tool.dll", "한글/설정.txt"):
        assert (install.dir / rel).exists(), f"{rel} missing; {seen}"
        assert (install.dir / rel).read_bytes() == (release / rel).read_bytes(), rel
    assert len(install.client_starts()) == 1
    assert len(log) == 4 and "/dedivur/update/pim" in log[0], log


@pytest.mark.parametrize("cert", ["other-name", "untrusted"])
def test_certificate_error_fails_the_run_and_changes_nothing(https_scene, pki, tmp_path, cert):
    release, www, install = https_scene
    before = install.snapshot()
    with Nginx(www, tmp_path / "nginx", HTTPS_PORT, tls=pki[cert]) as server:
        # A box would hold the run until dismissed: ending in time means none was shown.
        install.run(timeout=90)
        log = server.access_log()
    assert log == [], "no request may pass a refused certificate"
    assert install.snapshot() == before
    assert not list(install.dir.rglob("*.tarn-new"))
    assert len(install.client_starts()) == 1
