"""Publishing with the catalogue tool: a release with Hangul names staged as a web root, served as
it is by nginx and lighttpd with the configurations in docs/publishing.md, checked by verify and
fetched by the updater under Wine."""
import os
import random
import shutil
import subprocess

from nginx_support import Lighttpd, Nginx
from run_support import CATALOGUE_PATH, PORT, ROOT, TOOL, Install, assert_matches_release, make_release

BASE_URL = f"http://127.0.0.1:{PORT}/files/"
CATALOGUE_URL = f"http://127.0.0.1:{PORT}{CATALOGUE_PATH}"
DOC_ROOT = "/srv/tarn/www"
RELEASE = {
    "pimfile.dat": b"client data v2",
    "bin/tool.dll": random.Random(1).randbytes(70_000),
    "한글/설정 파일.txt": "새 설정".encode("cp949"),
    "한글/그림/지도.bmp": random.Random(2).randbytes(3000),
    "readme.txt": b"read me, please " * 8,
    "empty.txt": b"",
}


def doc_block(language):
    """The fenced block of that language in docs/publishing.md, as a publisher would copy it."""
    text = (ROOT / "docs" / "publishing.md").read_text()
    return text.split(f"```{language}\n", 1)[1].split("```", 1)[0]


def tool(*args):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    return subprocess.run([str(TOOL), *map(str, args)], capture_output=True, text=True, timeout=120, env=env)


def stage(release, www, *extra):
    r = tool("stage", release, www, "--base-url", BASE_URL, *extra)
    assert r.returncode == 0, r.stderr
    return r.stdout


def updater_requests(server, since):
    return [line.split('"')[1].split()[1] for line in server.access_log()[since:] if '"TarnFileUpdater"' in line]


def test_staged_release_is_served_as_it_is_and_only_changes_are_fetched_again(wine, tmp_path):
    release = make_release(tmp_path / "release", RELEASE)
    www = tmp_path / "www"
    stage(release, www)
    for rel in RELEASE:
        assert os.path.isfile(os.fsencode(www / "files") + b"/" + rel.encode("cp949")), rel
    assert not [p for p in www.rglob(".*")], "temporary files left behind"

    server_block = doc_block("nginx").replace("listen 80;", f"listen 127.0.0.1:{PORT};").replace(DOC_ROOT, str(www))
    install = Install(wine, tmp_path / "install")
    with Nginx(www, tmp_path / "nginx", PORT, server_block) as server:
        install.run()
        assert_matches_release(install, release)
        fetched = updater_requests(server, 0)
        assert fetched[0] == CATALOGUE_PATH and len(fetched) == 1 + len(RELEASE)
        assert all('" 200 ' in line for line in server.access_log())

        r = tool("verify", CATALOGUE_URL)
        assert r.returncode == 0, r.stdout + r.stderr
        assert f"all {len(RELEASE)} files answer as the updater needs" in r.stdout
        assert "한글/설정 파일.txt" in r.stdout

        # The same release rebuilt: every file gets a fresh time, the bytes stay.
        rebuilt = tmp_path / "rebuilt"
        shutil.copytree(release, rebuilt)
        for p in rebuilt.rglob("*"):
            os.utime(p)
        catalogue_before = (www / CATALOGUE_PATH.lstrip("/")).read_bytes()
        out = stage(rebuilt, www, "--times-from", www)
        assert f"kept: {len(RELEASE)} files; changed or new (clients fetch them): 0" in out
        assert (www / CATALOGUE_PATH.lstrip("/")).read_bytes() == catalogue_before
        seen = len(server.access_log())
        install.run()
        assert updater_requests(server, seen) == [CATALOGUE_PATH]

        # Other bytes with the previous size and time must still reach clients.
        changed = rebuilt / "readme.txt"
        stamp = os.stat(changed).st_mtime_ns
        changed.write_bytes(changed.read_bytes().upper())
        os.utime(changed, ns=(stamp, stamp))
        out = stage(rebuilt, www, "--times-from", www)
        assert "renewed  readme.txt" in out
        seen = len(server.access_log())
        install.run()
        assert updater_requests(server, seen) == [CATALOGUE_PATH, "/files/readme.txt"]
        assert_matches_release(install, rebuilt)


def test_verify_names_exactly_the_compressed_stale_and_missing_files(tmp_path):
    release = make_release(tmp_path / "release", RELEASE)
    www = tmp_path / "www"
    stage(release, www)
    (www / "files" / "bin" / "tool.dll").write_bytes(b"the previous release's tool")
    (www / "files" / "pimfile.dat").unlink()
    gzip = "    location = /files/readme.txt { gzip on; gzip_types *; gzip_min_length 1; }\n    location / {"
    server_block = (doc_block("nginx").replace("listen 80;", f"listen 127.0.0.1:{PORT};")
                    .replace(DOC_ROOT, str(www)).replace("    location / {", gzip, 1))
    with Nginx(www, tmp_path / "nginx", PORT, server_block):
        r = tool("verify", CATALOGUE_URL)
    assert r.returncode == 1
    failed = {line.split()[-1]: line for line in r.stdout.splitlines() if " FAIL " in line}
    assert sorted(failed) == ["bin/tool.dll", "pimfile.dat", "readme.txt"], r.stdout
    reasons = r.stdout.split("do not answer as the updater needs:\n")[1]
    assert "readme.txt: compressed (Content-Encoding: gzip) for a client that accepts gzip" in reasons
    assert "bin/tool.dll: Content-Length 27, but the catalogue says 70000 bytes" in reasons
    assert "pimfile.dat: status 404" in reasons
    assert reasons.count("\n") == 3


def test_lighttpd_configuration_serves_the_staged_release(tmp_path):
    www = tmp_path / "www"
    stage(make_release(tmp_path / "release", RELEASE), www)
    config = doc_block("lighttpd").replace(DOC_ROOT, str(www)).replace("server.port = 80", f"server.port = {PORT}")
    with Lighttpd(www, tmp_path / "lighttpd", PORT, config):
        r = tool("verify", CATALOGUE_URL)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "200           7           7  ok      한글/설정 파일.txt" in r.stdout


def test_signed_stage_passes_verify_with_its_key_and_a_changed_body_is_named_by_hash(tmp_path):
    key = tmp_path / "key.pem"
    public_key = tool("keygen", key).stdout.splitlines()[-1]
    www = tmp_path / "www"
    out = stage(make_release(tmp_path / "release", RELEASE), www, "--sign", key)
    assert f"wrote {www}/dedivur/update/pim.sig: sequence " in out
    tool_dll = www / "files" / "bin" / "tool.dll"
    with Nginx(www, tmp_path / "nginx", PORT):
        r = tool("verify", CATALOGUE_URL, "--public-key", public_key)
        assert r.returncode == 0, r.stdout + r.stderr
        assert "good signature: key id " in r.stdout and f"{len(RELEASE)} file hashes" in r.stdout
        tool_dll.write_bytes(tool_dll.read_bytes()[::-1])  # other bytes of the same size
        r = tool("verify", CATALOGUE_URL)
    assert r.returncode == 1
    failed = [line.split()[-1] for line in r.stdout.splitlines() if " FAIL " in line]
    assert failed == ["bin/tool.dll"], r.stdout
    assert "bin/tool.dll: SHA-256 " in r.stdout and ", but the signature file says " in r.stdout


def test_a_stage_that_fails_after_the_first_file_leaves_the_signed_release_served(tmp_path):
    key = tmp_path / "key.pem"
    public_key = tool("keygen", key).stdout.splitlines()[-1]
    release = make_release(tmp_path / "release", RELEASE)
    www = tmp_path / "www"
    out = stage(release, www, "--sign", key)
    served = {p: p.read_bytes() for p in www.rglob("*") if p.is_file()}

    # pimfile.dat changes (same size, a later time); a folder stands where a later new file goes.
    make_release(release, {"pimfile.dat": (b"client data v3", 1_700_000_000), "zz/new.txt": b"new"})
    (www / "files" / "zz" / "new.txt").mkdir(parents=True)
    r = tool("stage", release, www, "--base-url", BASE_URL, "--sign", key, "--times-from", www)
    assert r.returncode == 1 and "zz/new.txt: " in r.stderr, r.stderr
    assert {p: p.read_bytes() for p in www.rglob("*") if p.is_file()} == served
    sequence = out.split(": sequence ")[1].split(",")[0]
    with Nginx(www, tmp_path / "nginx", PORT):
        r = tool("verify", CATALOGUE_URL, "--public-key", public_key, "--min-sequence", sequence)
        assert r.returncode == 0 and f", sequence {sequence};" in r.stdout, r.stdout + r.stderr

        (www / "files" / "zz" / "new.txt").rmdir()
        out = stage(release, www, "--sign", key, "--times-from", www)
        assert "  bytes    pimfile.dat\n" in out and "  new      zz/new.txt\n" in out, out
        r = tool("verify", CATALOGUE_URL, "--public-key", public_key)
        assert r.returncode == 0, r.stdout + r.stderr
