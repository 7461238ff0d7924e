"""Publishing with the catalogue tool: a release with Hangul names staged as a web root, served as
it is by nginx and lighttpd with the configurations in docs/publishing.md, checked by verify and
fetched by the updater under Wine."""
import os
import random
import shutil
import subprocess

from nginx_support import NGINX, Lighttpd, Nginx
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
    assert f"pimfile.dat: status 404 at http://127.0.0.1:{PORT}/files/pimfile.dat (a staged OUT_DIR holds it at " \
        "OUT_DIR/files/pimfile.dat)" in reasons
    assert reasons.endswith("\nthe fix for the 1 compressed path: gzip off for these paths (nginx: 'gzip off;' and no "
                            "gzip_static in their location; lighttpd: no mod_deflate), and no compressing proxy or cache "
                            "in front of them\n")
    assert reasons.count("\n") == 4


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


def test_block_maps_are_staged_served_with_ranges_and_checked_against_their_files(tmp_path):
    www = tmp_path / "www"
    out = stage(make_release(tmp_path / "release", RELEASE), www, "--block-maps", "--min-size", "50000")
    assert "block maps beside the files of at least 50000 bytes: 1 written, 0 already in place" in out
    assert sorted(p.name for p in www.rglob("*.tarnblocks")) == ["tool.dll.tarnblocks"]
    shown = tool("show-blocks", www / "files" / "bin" / "tool.dll.tarnblocks").stdout
    assert "file size: 70000 bytes\n" in shown and "blocks: 18 (the last one 368 bytes)\n" in shown
    tool_dll = www / "files" / "bin" / "tool.dll"
    with Nginx(www, tmp_path / "nginx", PORT):
        r = tool("verify", CATALOGUE_URL)
        assert r.returncode == 0, r.stdout + r.stderr
        assert "ok      bin/tool.dll.tarnblocks\n" in r.stdout
        changed = bytearray(tool_dll.read_bytes())
        changed[5000] ^= 1
        tool_dll.write_bytes(changed)
        r = tool("verify", CATALOGUE_URL)
    assert r.returncode == 1
    assert "  bin/tool.dll.tarnblocks: block 1 (bytes from 4096) has other checksums\n" in r.stdout


STAGING_PORT = PORT + 2
TOOL_RELEASE_11 = random.Random(1).randbytes(70_000)
GUIDE_RELEASES = {
    "release-1.1": {"pimfile.dat": b"client data v1", "bin/tool.dll": TOOL_RELEASE_11,
                    "한글/설정 파일.txt": "설정".encode("cp949"), "old-notes.txt": b"retired in 1.2"},
    # Rebuilt: every file has a fresh time; old-notes.txt is gone, readme.txt is new.
    "release-1.2": {"pimfile.dat": (b"client data v2", 1_700_000_000),
                    "bin/tool.dll": (TOOL_RELEASE_11, 1_700_000_000),
                    "한글/설정 파일.txt": ("새 설정".encode("cp949"), 1_700_000_000),
                    "readme.txt": (b"read me", 1_700_000_000)},
}


def run_guide(doc, folder, extra_substitutions=()):
    """Runs the `sh walkthrough` blocks of a doc in order, each with bash -e, in `folder` (which
    holds the release folders) with the tool on PATH and HOME inside it; /srv/tarn and the two
    host names are pointed at this test's folder and servers. Returns each block's output."""
    text = (ROOT / "docs" / doc).read_text()
    blocks = [part.split("```", 1)[0] for part in text.split("```sh walkthrough\n")[1:]]
    assert blocks, f"no walkthrough in {doc}"
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(HOME=str(folder / "home"), PATH=f"{TOOL.parent}:{env['PATH']}")
    (folder / "home").mkdir(exist_ok=True)
    outputs = []
    for block in blocks:
        for old, new in (("/srv/tarn", str(folder / "srv")), ("http://updates.example.net", f"http://127.0.0.1:{PORT}"),
                         ("http://staging.example.net", f"http://127.0.0.1:{STAGING_PORT}"),
                         *extra_substitutions):
            block = block.replace(old, new)
        r = subprocess.run(["bash", "-e", "-x", "-c", block], cwd=folder, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=300)
        print(r.stdout)  # the walkthrough's record: pytest -s shows it
        assert r.returncode == 0, r.stdout
        outputs.append(r.stdout)
    return outputs


class StandaloneNginx(Nginx):
    """nginx run with the guide's standalone nginx.conf and its server block, which the test
    points at 127.0.0.1, and a second copy of that block for the staging root."""

    def command(self):
        srv = self.workdir
        block = doc_block("nginx").replace("/srv/tarn", str(srv))
        staging = block.replace("listen 80;", f"listen 127.0.0.1:{STAGING_PORT};").replace(
            str(srv / "www"), str(srv / "staging"))
        (srv / "tarn-updates.conf").write_text(block.replace("listen 80;", f"listen 127.0.0.1:{PORT};") + staging)
        standalone = (ROOT / "docs" / "publishing.md").read_text().split("```nginx\n")[2].split("```", 1)[0]
        (srv / "nginx.conf").write_text("user root;\n" + standalone.replace("/srv/tarn", str(srv)))
        return [NGINX, "-c", str(srv / "nginx.conf"), "-p", str(srv)]


def test_the_publishing_guide_runs_as_written_with_nginx_and_lighttpd(tmp_path):
    for server in ("nginx", "lighttpd"):
        folder = tmp_path / server
        for name, files in GUIDE_RELEASES.items():
            make_release(folder / name, files)
        srv = folder / "srv"
        for root in ("www", "staging"):
            (srv / root).mkdir(parents=True)
        if server == "nginx":
            running = StandaloneNginx(srv / "www", srv, PORT)
        else:
            config = (doc_block("lighttpd").replace("/srv/tarn", str(srv)).replace("server.port = 80", f"server.port = {PORT}")
                      + f'$SERVER["socket"] == "127.0.0.1:{STAGING_PORT}" {{ server.document-root = "{srv}/staging" }}\n')
            running = Lighttpd(srv / "www", folder / "lighttpd", PORT, config)
        with running:
            first, staging, removed, rollback, signed = run_guide("publishing.md", folder)
        assert "holds no release yet, so this is the first: every file is new" in first
        assert first.count("all 4 files answer as the updater needs") == 1
        assert "files from http://127.0.0.1:%d/files/ (--files-from" % STAGING_PORT in staging
        assert "dry run: nothing is written" in staging and "kept: 1 file;" in staging
        assert staging.count("all 4 files answer as the updater needs") == 2
        assert "pruned: 1 file that neither the new nor the replaced catalogue lists:\n  " in removed
        assert removed.rstrip().endswith("/www/files/old-notes.txt")
        assert "all 4 files answer as the updater needs" in rollback
        assert signed.count("good signature: key id ") == 2 and signed.count("all 4 files answer") == 2

    folder = tmp_path / "signing"
    make_release(folder / "release-1.2", GUIDE_RELEASES["release-1.2"])
    (keygen_and_build,) = run_guide("signing.md", folder)
    assert "good signature: " in keygen_and_build and "(matches)" in keygen_and_build


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
