"""The publisher's catalogue tool as a program: the native build, and the Windows build under
Wine for one round trip with a Hangul file name."""
import os
import struct
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "build" / "native" / "update-catalogue"
EPOCH_1601 = 116444736000000000  # 1970-01-01 as a file time
HANGUL = "한글"


def run(*args, cwd=None):
    assert TOOL.exists(), f"{TOOL} is not built (cmake --build --preset native)"
    return subprocess.run([str(TOOL), *map(str, args)], capture_output=True, timeout=60, cwd=cwd)


def parse(data):
    """Reads a catalogue independently of the engine: header, base URLs, entries."""
    assert data[:11] == b"Update Info"
    (count,) = struct.unpack_from("<i", data, 11)
    pos = 15
    urls = []
    for _ in range(max(count, 0)):
        end = data.index(b"\0", pos)
        urls.append(data[pos:end])
        pos = end + 1
    entries = []
    while pos < len(data):
        end = data.index(b"\0", pos)
        size, time = struct.unpack_from("<iQ", data, end + 1)
        entries.append((data[pos:end], size, time))
        pos = end + 13
    assert pos == len(data)
    return urls, entries


def file_time(path):
    return os.stat(path).st_mtime_ns // 100 + EPOCH_1601


@pytest.fixture
def release(tmp_path):
    rel = tmp_path / "release"
    (rel / "bin").mkdir(parents=True)
    (rel / HANGUL).mkdir()
    (rel / "bin" / "client.dll").write_bytes(b"x" * 1000)
    (rel / HANGUL / f"{HANGUL}.txt").write_bytes("안녕".encode("utf-8"))
    (rel / "readme.txt").write_bytes(b"hello")
    os.utime(rel / "readme.txt", ns=(0, 1236402308_000000000))  # 2009-03-07 05:05:08 UTC
    return rel


def test_build_show_plan_round_trip(tmp_path, release):
    out = tmp_path / "pub" / "pim"
    out.parent.mkdir()
    r = run("build", release, "--base-url", "http://127.0.0.1:18380/files/", "-o", out)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stderr == b""
    assert b"3 files, 1011 bytes in all" in r.stdout
    assert sorted(os.listdir(out.parent)) == ["pim"]  # no temporary file left behind

    urls, entries = parse(out.read_bytes())
    assert urls == [b"http://127.0.0.1:18380/files/"]
    hangul_path = f"{HANGUL}\\{HANGUL}.txt".encode("cp949")
    assert [e[0] for e in entries] == [b"bin\\client.dll", b"readme.txt", hangul_path]  # by path bytes
    by_path = {e[0]: e for e in entries}
    assert by_path[b"readme.txt"][1:] == (5, 1236402308 * 10_000_000 + EPOCH_1601)
    assert by_path[b"bin\\client.dll"][1:] == (1000, file_time(release / "bin" / "client.dll"))
    assert by_path[hangul_path][1] == 6

    r = run("show", out)
    assert r.returncode == 0, r.stderr.decode()
    text = r.stdout.decode("utf-8")
    assert "header: Update Info" in text
    assert "[0] http://127.0.0.1:18380/files/" in text
    assert "entries: 3, 1011 bytes in all" in text
    assert f"{HANGUL}\\{HANGUL}.txt" in text
    assert "2009-03-07 05:05:08" in text

    # Against the release itself nothing is to be downloaded; against an empty folder all is.
    r = run("plan", out, release)
    assert r.returncode == 0, r.stderr.decode()
    assert b"to download: 0 files, 0 bytes" in r.stdout
    (release / "readme.txt").write_bytes(b"HELLO!")
    r = run("plan", out, release)
    assert b"to download: 1 file, 5 bytes" in r.stdout
    assert b"size    readme.txt" in r.stdout
    r = run("plan", out, tmp_path / "not-installed")
    assert b"to download: 3 files, 1011 bytes" in r.stdout
    assert not (tmp_path / "not-installed").exists()


def test_refusals_name_the_file_and_write_nothing(tmp_path, release):
    out = tmp_path / "pim"
    out.write_bytes(b"published before")
    (release / "a#b.txt").write_bytes(b"")
    (release / "bin" / "CON.dll").write_bytes(b"")
    (release / "x.tarn-new").write_bytes(b"")
    (release / "\U0001F600.txt").write_bytes(b"")
    os.symlink("readme.txt", release / "link.txt")
    r = run("build", release, "--base-url", "http://h/", "-o", out)
    assert r.returncode == 1
    err = r.stderr.decode("utf-8")
    for needle in ["a#b.txt: '#'", "bin/CON.dll: the updater rejects this path: reserved device name",
                   "x.tarn-new: name ends in '.tarn-new'", "\U0001F600.txt: the name cannot be written in CP949",
                   "link.txt: symbolic link", "refused: 5 errors"]:
        assert needle in err, err
    assert out.read_bytes() == b"published before"
    assert sorted(os.listdir(tmp_path)) == ["pim", "release"]


def test_more_than_300_files_and_no_base_url_are_refused(tmp_path):
    rel = tmp_path / "rel"
    rel.mkdir()
    for i in range(301):
        (rel / f"f{i:03}.bin").write_bytes(b"")
    r = run("build", rel, "-o", tmp_path / "pim")
    assert r.returncode == 1
    assert b"release: 301 files; the updater holds at most 300" in r.stderr
    assert b"--base-url: none given" in r.stderr
    assert not (tmp_path / "pim").exists()
    (rel / "f300.bin").unlink()
    r = run("build", rel, "--base-url", "http://h/", "-o", tmp_path / "pim")
    assert r.returncode == 0, r.stderr.decode()
    assert len(parse((tmp_path / "pim").read_bytes())[1]) == 300


def test_warnings_do_not_stop_the_build(tmp_path, release):
    (release / "log").mkdir()
    (release / "log" / "today.log").write_bytes(b"1")
    (release / "setupIFU.dat").write_bytes(b"2")
    r = run("build", release, "--base-url", "http://h/files", "-o", tmp_path / "pim")
    assert r.returncode == 0, r.stderr.decode()
    err = r.stderr.decode()
    assert err.count("warning:") == 3, err
    assert "log/today.log: inside a folder named 'log'" in err
    assert "setupIFU.dat" in err and '"IFU"' in err
    assert "does not end with '/'" in err


def test_broken_catalogue_is_explained_with_its_offset(tmp_path):
    bad = tmp_path / "pim"
    bad.write_bytes(b"Update Info" + struct.pack("<i", 1) + b"http://h/\0" + b"a.txt\0" + b"\1\0")
    r = run("show", bad)
    assert r.returncode == 1
    assert r.stdout == b""
    assert b"data ends inside a count, base URL or entry, at byte offset 25" in r.stderr
    bad.write_bytes(b"<html>Not Found</html>")
    r = run("plan", bad, tmp_path)
    assert r.returncode == 1
    assert b'does not begin with the header "Update Info", at byte offset 0' in r.stderr
    assert b"<html>Not F" in r.stderr


def test_help_and_usage():
    for args in (["--help"], ["build", "--help"], ["show", "--help"], ["plan", "--help"]):
        r = run(*args)
        assert r.returncode == 0 and r.stdout.startswith(b"usage: update-catalogue"), args
    r = run()
    assert r.returncode == 2 and b"usage:" in r.stderr
    r = run("build", "somewhere")
    assert r.returncode == 2 and b"build needs -o FILE" in r.stderr


def run_windows(wine, tmp_path, exe, *args, timeout=120):
    """Runs a Windows program with the wine fixture's prefix and environment. Output goes to
    files, not pipes: the prefix's services, started by the session's first program, inherit its
    output handles and would hold a pipe open long after the program has ended."""
    with open(tmp_path / "wine.out", "w+b") as out, open(tmp_path / "wine.err", "w+b") as err:
        p = subprocess.Popen([wine.loader, str(exe), *map(str, args)], env=wine.env, stdin=subprocess.DEVNULL,
                             stdout=out, stderr=err)
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            raise AssertionError(f"{exe.name} {args[0]} did not end within {timeout} s")
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(p.args, p.returncode, out.read(), err.read())


def test_windows_build_writes_the_same_catalogue(wine, tmp_path, release):
    """The Windows program walks the same folder through Wine (Hangul names arrive as CP949) and
    must produce byte for byte what the native one does; show and plan agree too."""
    exe = wine.exe("update-catalogue.exe")
    assert exe.exists(), f"{exe} is not built"
    native = tmp_path / "native.pim"
    windows = tmp_path / "windows.pim"
    assert run("build", release, "--base-url", "http://127.0.0.1:18380/files/", "-o", native).returncode == 0

    work = tmp_path / "wine-output"
    work.mkdir()
    r = run_windows(wine, work, exe, "build", wine.unix_to_windows(release), "--base-url",
                    "http://127.0.0.1:18380/files/", "-o", wine.unix_to_windows(windows))
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert windows.read_bytes() == native.read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["native.pim", "release", "windows.pim", "wine-output"]

    r = run_windows(wine, work, exe, "show", wine.unix_to_windows(windows))
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    shown = r.stdout.decode("utf-8")
    assert f"{HANGUL}\\{HANGUL}.txt" in shown
    assert "2009-03-07 05:05:08" in shown

    r = run_windows(wine, work, exe, "plan", wine.unix_to_windows(windows), wine.unix_to_windows(release))
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert b"to download: 0 files, 0 bytes" in r.stdout
