"""The download worker for real: WinINet under Wine against the test server on 127.0.0.1.

worker_probe plays the update driver: it hands the worker one request after another and prints
every notification ("STARTED v", "PROGRESS v", "FINISHED v", "FAILED v"), then whether the worker
thread had ended before the driver's reset ("WORKER ended|waiting") and after it ("RESET ...").
"""
import hashlib
import os
import socket
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
from httpserver import HttpServer  # noqa: E402
from run_support import aside_copies  # noqa: E402

CODES = ("STARTED", "PROGRESS", "FINISHED", "FAILED")
BLOCK = 64 * 1024  # the most one read takes
# The largest catalogue: header, count, 300 base URLs and 300 entries at their longest.
MAX_CATALOGUE = 11 + 4 + 300 * 260 + 300 * (260 + 12)
EPOCH_AS_FILETIME = 116444736000000000  # 1970-01-01 in 100-ns units since 1601
STAMP = EPOCH_AS_FILETIME + 1555526400 * 10**7 + 1234567  # 2019-04-17 18:40:00.1234567 UTC


def filetime_ns(filetime):
    """A Windows file time as Linux nanoseconds since 1970."""
    return (filetime - EPOCH_AS_FILETIME) * 100


class ProbeRun:
    def __init__(self, completed, elapsed):
        self.returncode = completed.returncode
        self.lines = completed.stdout.decode(errors="replace").replace("\r", "").splitlines()
        self.stderr = completed.stderr.decode(errors="replace")
        self.events = [line for line in self.lines if line.split(" ")[0] in CODES]
        self.wall = elapsed

    def flag(self, name):
        """The word after `name` ("WORKER", "RESET", "POKE", "HOLD", "ELAPSED")."""
        for line in self.lines:
            parts = line.split()
            if parts and parts[0] == name:
                return parts[1] if len(parts) > 1 else ""
        return None

    @property
    def progress(self):
        return [int(e.split()[1]) for e in self.events if e.startswith("PROGRESS ")]

    def summary(self):
        """The --summary line of the last request: (count, last, increasing)."""
        line = [e for e in self.events if e.startswith("PROGRESS n=")][-1]
        fields = dict(item.split("=") for item in line.split()[1:])
        return int(fields["n"]), int(fields["last"]), fields["increasing"] == "1"

    def without_progress(self):
        return [e for e in self.events if not e.startswith("PROGRESS ")]

    def __repr__(self):
        return "\n".join(self.lines) + ("\n" + self.stderr if self.stderr else "")


@pytest.fixture(scope="module")
def probe_exe(wine):
    exe = wine.exe("tests/e2e/helpers/worker_probe/worker_probe.exe")
    if not exe.exists():
        pytest.fail(f"{exe} is missing: cmake --build --preset {wine.arch} --target worker_probe")
    return exe


@pytest.fixture
def server():
    with HttpServer(port=0) as srv:
        yield srv


@pytest.fixture
def work(tmp_path):
    d = tmp_path / "install"
    d.mkdir()
    return d


@pytest.fixture
def probe(wine, probe_exe, work):
    """probe(*requests, options=[...]) with requests as (url, target, size, filetime) tuples."""

    def run(*requests, options=(), exe=None, timeout=120):
        args = list(options)
        for url, target, size, filetime in requests:
            args += [url, target, str(size), str(filetime)]
        start = time.time()
        done = wine.run(exe or probe_exe, *args, cwd=work, timeout=timeout)
        result = ProbeRun(done, time.time() - start)
        assert result.returncode == 0, result
        return result

    return run


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def old_file(path, size=5000):
    """Puts an old file with random content and a fixed time at `path`; returns (bytes, mtime_ns)."""
    data = os.urandom(size)
    path.write_bytes(data)
    os.utime(path, ns=(filetime_ns(STAMP - 10**9), filetime_ns(STAMP - 10**9)))
    return data, path.stat().st_mtime_ns


def assert_untouched(work, name, before):
    data, mtime = before
    assert (work / name).read_bytes() == data
    assert (work / name).stat().st_mtime_ns == mtime
    assert sorted(p.name for p in work.iterdir()) == [name], "nothing may be left beside the target"


# --- successful transfers -------------------------------------------------------------------

class TestSuccess:
    def test_file_arrives_whole_in_blocks_with_its_time(self, probe, server, work):
        body = os.urandom(3 * BLOCK + 100)
        server.put("/pim/a.bin", body)
        old_file(work / "a.bin")
        r = probe((server.url("/pim/a.bin"), "a.bin", len(body), STAMP))

        assert r.without_progress() == [f"STARTED {len(body)}", f"FINISHED {len(body)}"]
        assert r.events[0] == f"STARTED {len(body)}" and r.events[-1] == f"FINISHED {len(body)}"
        # Reports are running sums, several blocks at a time; the last one carries every byte.
        steps = [b - a for a, b in zip([0] + r.progress, r.progress)]
        assert all(s > 0 for s in steps), r.progress
        assert r.progress[-1] == len(body)
        assert (work / "a.bin").read_bytes() == body
        assert (work / "a.bin").stat().st_mtime_ns == filetime_ns(STAMP)
        assert sorted(p.name for p in work.iterdir()) == ["a.bin"]
        assert (r.flag("WORKER"), r.flag("RESET")) == ("waiting", "ended")

    def test_progress_of_a_large_file_rises_to_its_size_in_few_reports(self, probe, server, work):
        body = os.urandom(1024 * 1024 + 1)
        server.put("/big.bin", body)
        r = probe((server.url("/big.bin"), "big.bin", len(body), 0), options=["--summary"])
        assert r.without_progress() == [f"STARTED {len(body)}", f"FINISHED {len(body)}"]
        count, last, increasing = r.summary()
        assert (last, increasing) == (len(body), True)
        # At most one report every 30 ms while the blocks keep coming, and the closing one.
        assert 1 <= count <= int(r.wall * 1000 / 30) + 2, (count, r.wall)
        assert (work / "big.bin").read_bytes() == body

    def test_empty_file_replaces_old_one_and_gets_its_time(self, probe, server, work):
        server.put("/empty.txt", b"")
        old_file(work / "empty.txt")
        r = probe((server.url("/empty.txt"), "empty.txt", 0, STAMP))
        assert r.events == ["STARTED 0", "FINISHED 0"]
        assert (work / "empty.txt").stat().st_size == 0
        assert (work / "empty.txt").stat().st_mtime_ns == filetime_ns(STAMP)

    def test_requests_in_a_row_count_from_zero_each(self, probe, server, work):
        server.put("/a", b"a" * 10)
        server.put("/b", b"")
        server.put("/sub/c", b"c" * 20)
        (work / "sub").mkdir()
        r = probe((server.url("/a"), "a.txt", 10, STAMP), (server.url("/b"), "b.txt", 0, STAMP),
                  (server.url("/sub/c"), "sub\\c.txt", 20, STAMP))
        assert r.events == ["STARTED 10", "PROGRESS 10", "FINISHED 10", "STARTED 0", "FINISHED 0",
                            "STARTED 20", "PROGRESS 20", "FINISHED 20"]
        assert (work / "sub" / "c.txt").read_bytes() == b"c" * 20
        assert server.paths() == ["/a", "/b", "/sub/c"]

    def test_hangul_url_and_target(self, probe, server, work):
        server.put("/pim/한글/새 파일.bin", b"hangul")
        (work / "한글").mkdir()
        # The driver forms URLs from CP949 catalogue paths; WinINet sends them as raw bytes.
        url = f"http://127.0.0.1:{server.port}/pim/한글/새 파일.bin"
        r = probe((url, "한글\\새 파일.bin", 6, STAMP))
        assert r.events == ["STARTED 6", "PROGRESS 6", "FINISHED 6"]
        assert (work / "한글" / "새 파일.bin").read_bytes() == b"hangul"
        assert (work / "한글" / "새 파일.bin").stat().st_mtime_ns == filetime_ns(STAMP)
        assert sorted(p.name for p in (work / "한글").iterdir()) == ["새 파일.bin"]

    def test_zero_time_leaves_the_time_of_writing(self, probe, server, work):
        server.put("/now.bin", b"now")
        before = time.time_ns()
        r = probe((server.url("/now.bin"), "now.bin", 3, 0))
        after = time.time_ns()
        assert r.events[-1] == "FINISHED 3"
        mtime = (work / "now.bin").stat().st_mtime_ns
        assert before - 2 * 10**9 <= mtime <= after + 2 * 10**9

    @pytest.mark.parametrize("text", [" 1234", "01234", "+1234", "  01234"])
    def test_content_length_read_as_a_number(self, probe, server, work, text):
        server.put("/n.bin", b"n" * 1234)
        server.misbehave("/n.bin", "length", value=text)
        r = probe((server.url("/n.bin"), "n.bin", 1234, 0))
        assert r.without_progress() == ["STARTED 1234", "FINISHED 1234"]
        assert (work / "n.bin").read_bytes() == b"n" * 1234

    def test_request_is_a_plain_get_with_the_program_name_as_agent(self, probe, server, work):
        server.put("/h.bin", b"h")
        probe((server.url("/h.bin"), "h.bin", 1, 0))
        (req,) = server.requests()
        assert req.method == "GET"
        assert req.headers["user-agent"] == "worker_probe"
        assert set(req.headers) <= {"host", "user-agent", "accept", "connection", "cache-control", "pragma"}

    def test_redirect_is_followed(self, probe, server, work):
        server.put("/new/r.bin", b"redirected")
        server.misbehave("/r.bin", "redirect", to="/new/r.bin")
        r = probe((server.url("/r.bin"), "r.bin", 10, 0))
        assert r.events[-1] == "FINISHED 10"
        assert (work / "r.bin").read_bytes() == b"redirected"
        assert server.paths() == ["/r.bin", "/new/r.bin"]

    def test_slow_reply_completes(self, probe, server, work):
        body = os.urandom(24000)
        server.put("/slow.bin", body)
        server.misbehave("/slow.bin", "slow", rate=40000)
        r = probe((server.url("/slow.bin"), "slow.bin", len(body), 0))
        assert r.events[-1] == f"FINISHED {len(body)}"
        assert (work / "slow.bin").read_bytes() == body
        assert r.wall >= 0.5


class TestCatalogueRequest:
    def test_no_size_check_and_absolute_target(self, probe, server, work, wine, tmp_path):
        appdata = tmp_path / "appdata"
        appdata.mkdir()
        server.put("/dedivur/update/pim", b"Update Info" + os.urandom(500))
        server.misbehave("/dedivur/update/pim", "no_length")
        target = wine.unix_to_windows(appdata / "Updater.tmp")
        r = probe((server.url("/dedivur/update/pim"), target, -1, 0))
        assert r.without_progress() == ["STARTED -1", "FINISHED 511"]
        assert (appdata / "Updater.tmp").stat().st_size == 511
        assert sorted(p.name for p in appdata.iterdir()) == ["Updater.tmp"]

    def test_error_page_is_stored_for_the_parser_to_reject(self, probe, server, work):
        r = probe((server.url("/missing"), "cat.tmp", -1, 0))
        assert r.without_progress()[0] == "STARTED -1"
        assert r.events[-1].startswith("FINISHED ")
        assert b"404" in (work / "cat.tmp").read_bytes()

    def test_endless_catalogue_stops_one_byte_past_the_largest(self, probe, server, work):
        server.misbehave("/dedivur/update/pim", "endless")
        r = probe((server.url("/dedivur/update/pim"), "cat.tmp", -1, 0), options=["--summary"])
        assert r.without_progress() == ["STARTED -1", f"FINISHED {MAX_CATALOGUE + 1}"]
        assert r.summary()[1:] == (MAX_CATALOGUE + 1, True)
        assert (work / "cat.tmp").stat().st_size == MAX_CATALOGUE + 1
        assert server.wait_idle(), "the worker must drop the endless connection"

    def test_oversized_catalogue_with_length_is_cut_as_well(self, probe, server, work):
        body = os.urandom(MAX_CATALOGUE + 50000)
        server.put("/dedivur/update/pim", body)
        r = probe((server.url("/dedivur/update/pim"), "cat.tmp", -1, 0), options=["--summary"])
        assert r.events[-1] == f"FINISHED {MAX_CATALOGUE + 1}"
        assert (work / "cat.tmp").read_bytes() == body[:MAX_CATALOGUE + 1]

    def test_cut_catalogue_is_a_failure(self, probe, server, work):
        server.put("/dedivur/update/pim", b"Update Info" + os.urandom(9000))
        server.misbehave("/dedivur/update/pim", "cut", after=5000)
        r = probe((server.url("/dedivur/update/pim"), "cat.tmp", -1, 0))
        assert r.without_progress() == ["STARTED -1", "FAILED 4"]
        assert not (work / "cat.tmp").exists()


# --- failures: the old file stays byte for byte, nothing is left beside it -------------------

def error_page_length(server, path):
    try:
        urllib.request.urlopen(server.url(path), timeout=10)
    except urllib.error.HTTPError as e:
        return len(e.read())
    raise AssertionError("expected an error page")


class TestFailures:
    BODY = bytes(range(256)) * 40  # 10240 bytes

    @pytest.mark.parametrize("setup, size, expected", [
        # the reply is longer than the catalogue says
        (lambda s: None, len(BODY) - 1, ["FAILED 1"]),
        (lambda s: s.misbehave("/f.bin", "length", value=len(TestFailures.BODY) + 5), len(BODY), ["FAILED 1"]),
        (lambda s: s.misbehave("/f.bin", "length", value="abc"), len(BODY), ["FAILED 1"]),
        (lambda s: s.misbehave("/f.bin", "length", value="4294977536"), len(BODY), ["FAILED 1"]),
        (lambda s: s.misbehave("/f.bin", "no_length"), len(BODY), ["FAILED 1"]),
        (lambda s: s.misbehave("/f.bin", "cut", after=5000), len(BODY), ["STARTED 10240", "FAILED 4"]),
        (lambda s: s.misbehave("/f.bin", "reset", after=5000), len(BODY), ["STARTED 10240", "FAILED 4"]),
        (lambda s: s.misbehave("/f.bin", "reset", after=None), len(BODY), ["FAILED 4"]),
    ], ids=["size-mismatch", "wrong-length", "length-not-a-number", "length-beyond-32-bit", "no-length",
            "cut-short", "reset-mid-body", "reset-before-reply"])
    def test_bad_reply(self, probe, server, work, setup, size, expected):
        server.put("/f.bin", self.BODY)
        setup(server)
        before = old_file(work / "f.bin")
        r = probe((server.url("/f.bin"), "f.bin", size, STAMP), options=["--poke"])
        assert r.without_progress() == expected, r
        if r.progress:
            assert r.progress[-1] < len(self.BODY)
        assert_untouched(work, "f.bin", before)
        assert (r.flag("WORKER"), r.flag("POKE")) == ("ended", "silent")

    @pytest.mark.parametrize("code", [404, 500])
    def test_error_page_of_the_expected_length_is_not_the_file(self, probe, server, work, code):
        server.misbehave("/e.bin", "status", code=code)
        length = error_page_length(server, "/e.bin")
        before = old_file(work / "e.bin")
        r = probe((server.url("/e.bin"), "e.bin", length, STAMP))
        assert r.events == ["FAILED 1"]
        assert_untouched(work, "e.bin", before)

    def test_unreachable_host(self, probe, work):
        before = old_file(work / "u.bin")
        r = probe((f"http://127.0.0.1:{closed_port()}/u.bin", "u.bin", 10, 0), options=["--poke"])
        assert r.events == ["FAILED 4"]
        assert (r.flag("WORKER"), r.flag("POKE")) == ("ended", "silent")
        assert_untouched(work, "u.bin", before)

    @pytest.mark.parametrize("url", ["ftp://127.0.0.1:1/x.bin", "file:///C:/windows/win.ini", "x.bin"])
    def test_url_without_http_file_object_ends_the_run(self, probe, work, url):
        r = probe((url, "x.bin", 10, 0))
        assert r.events == ["FAILED 4"]
        assert r.flag("WORKER") == "ended"
        assert list(work.iterdir()) == []

    def test_missing_folder(self, probe, server, work):
        server.put("/m.bin", b"m" * 100)
        r = probe((server.url("/m.bin"), "no\\such\\m.bin", 100, 0), options=["--poke"])
        assert r.events == ["STARTED 100", "FAILED 2"]
        assert list(work.iterdir()) == []
        assert (r.flag("WORKER"), r.flag("POKE")) == ("ended", "silent")

    def test_failure_after_finished_files_keeps_them(self, probe, server, work):
        server.put("/1", b"one")
        server.put("/2", b"two")
        server.misbehave("/2", "cut", after=1)
        r = probe((server.url("/1"), "1.txt", 3, STAMP), (server.url("/2"), "2.txt", 3, STAMP))
        assert r.without_progress() == ["STARTED 3", "FINISHED 3", "STARTED 3", "FAILED 4"]
        assert (work / "1.txt").read_bytes() == b"one"
        assert sorted(p.name for p in work.iterdir()) == ["1.txt"]

    def test_body_whose_hash_differs_fails_and_keeps_the_old_file(self, probe, server, work):
        server.put("/h.bin", self.BODY)
        request = (server.url("/h.bin"), "h.bin", len(self.BODY), STAMP)
        before = old_file(work / "h.bin")
        other = hashlib.sha256(self.BODY[:-1] + b"x").hexdigest()
        r = probe(request, options=["--sha256", other])
        assert r.without_progress() == [f"STARTED {len(self.BODY)}", "FAILED 4"], r
        assert r.progress[-1] == len(self.BODY), "every byte arrived"
        assert_untouched(work, "h.bin", before)
        r = probe(request, options=["--sha256", hashlib.sha256(self.BODY).hexdigest()])
        assert r.events[-1] == f"FINISHED {len(self.BODY)}", r
        assert (work / "h.bin").read_bytes() == self.BODY

    def test_target_in_use_without_rename_share(self, probe, server, work):
        server.put("/held.bin", self.BODY)
        before = old_file(work / "held.bin")
        r = probe((server.url("/held.bin"), "held.bin", len(self.BODY), STAMP),
                  options=["--hold", "held.bin", "rw"])
        assert r.flag("HOLD") == "ok"
        assert r.without_progress() == [f"STARTED {len(self.BODY)}", "FAILED 3"]
        assert r.progress[-1] == len(self.BODY)
        assert_untouched(work, "held.bin", before)


class TestStalls:
    """A server that goes silent ends the request within the worker's time-outs (about 20 s)."""

    def test_silent_servers_end_the_run(self, probe, server, work):
        body = os.urandom(3 * BLOCK)
        server.put("/quiet.bin", body)
        server.put("/halfway.bin", body)
        server.misbehave("/quiet.bin", "stall")
        server.misbehave("/halfway.bin", "stall", after=5000)
        mute = socket.socket()  # accepts connections (kernel backlog) and never reads a byte
        mute.bind(("127.0.0.1", 0))
        mute.listen(8)
        cases = {
            "quiet": ((server.url("/quiet.bin"), "quiet.bin", len(body), 0), ["FAILED 4"]),
            "halfway": ((server.url("/halfway.bin"), "halfway.bin", len(body), 0),
                        [f"STARTED {len(body)}", "FAILED 4"]),
            "mute": ((f"http://127.0.0.1:{mute.getsockname()[1]}/m.bin", "mute.bin", 10, 0), ["FAILED 4"]),
        }
        results = {}
        errors = []

        def one(name, request):
            try:
                results[name] = probe(request)
            except BaseException as e:  # reported below
                errors.append(e)

        try:
            threads = [threading.Thread(target=one, args=(n, c[0])) for n, c in cases.items()]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=150)
        finally:
            mute.close()
        assert not errors, errors
        for name, (_, expected) in cases.items():
            r = results[name]
            assert r.without_progress() == expected, (name, r)
            assert int(r.flag("ELAPSED")) < 35000, (name, r)
        assert list(work.iterdir()) == []


class TestInUse:
    def test_open_file_that_may_be_renamed_is_replaced(self, probe, server, work):
        server.put("/busy.bin", b"new content")
        old_file(work / "busy.bin")
        r = probe((server.url("/busy.bin"), "busy.bin", 11, STAMP), options=["--hold", "busy.bin", "rd"])
        assert r.flag("HOLD") == "ok"
        assert r.events[-1] == "FINISHED 11"
        assert (work / "busy.bin").read_bytes() == b"new content"
        assert (work / "busy.bin").stat().st_mtime_ns == filetime_ns(STAMP)
        assert sorted(p.name for p in work.iterdir()) == ["busy.bin"]

    def test_running_program_replaces_itself(self, probe, server, work, probe_exe):
        running = work / "selfprobe.exe"
        running.write_bytes(Path(probe_exe).read_bytes())
        old = running.read_bytes()
        server.put("/selfprobe.exe", b"MZ new program")
        r = probe((server.url("/selfprobe.exe"), "selfprobe.exe", 14, STAMP), exe=running)
        assert r.events[-1] == "FINISHED 14"
        assert running.read_bytes() == b"MZ new program"
        assert running.stat().st_mtime_ns == filetime_ns(STAMP)
        # The old image could not be deleted while it ran; the next run's scan removes it.
        leftovers = sorted(p.name for p in work.iterdir())
        aside = aside_copies(work)
        assert len(leftovers) == 1 + 2 * len(aside), leftovers
        if aside:
            assert aside["selfprobe.exe"].read_bytes() == old
