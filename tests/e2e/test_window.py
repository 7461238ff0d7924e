"""The updater window on a virtual display under Wine with the Korean locale.

The preview program shows the real window (template, skin, creation steps); with --hold it
counts the start command instead of running the update, so the window stays to be looked at.
The helper window_look reads the window from outside; a screenshot of the display shows what
was painted. The screenshot is kept in build/e2e-window/.
"""
import http.server
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import pytest

from conftest import ROOT, TEST_PORT
from run_support import Install

OUT = ROOT / "build" / "e2e-window"
PREVIEW = "ui/preview/updater_window_preview.exe"
INSPECT = "tests/e2e/helpers/window_look/window_look.exe"

WIDTH, HEIGHT = 403, 140
LABEL_FILE, LABEL_TOTAL, BAR_FILE, BAR_TOTAL = 1002, 1003, 1000, 1001
# Controls in dialog units: left, top, width, height.
TEMPLATE = {
    LABEL_FILE: (21, 41, 114, 8),
    BAR_FILE: (21, 52, 189, 9),
    LABEL_TOTAL: (21, 65, 114, 8),
    BAR_TOTAL: (21, 75, 189, 9),
}
LABEL_TEXTS = {LABEL_FILE: "현재 파일", LABEL_TOTAL: "전체 파일"}

WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_BORDER, WS_DLGFRAME = 0x80000000, 0x10000000, 0xC00000, 0x800000, 0x400000
WS_SYSMENU, WS_THICKFRAME, WS_GROUP, WS_TABSTOP, WS_CHILD = 0x80000, 0x40000, 0x20000, 0x10000, 0x40000000
WS_EX_TRANSPARENT, WS_EX_DLGMODALFRAME, WS_EX_CLIENTEDGE = 0x20, 0x1, 0x200
SS_TYPEMASK = 0x1F


def need(wine, relative):
    path = wine.exe(relative)
    if not path.exists():
        pytest.fail(f"{relative} is not built: cmake --build --preset {wine.arch} --target "
                    "updater_window_preview window_look")
    return path


def records(text):
    """'kind key=value ...' lines as dicts with the kind under 'kind'."""
    out = []
    for line in text.splitlines():
        parts = line.split()
        if not parts:
            continue
        rec = {"kind": parts[0]} if "=" not in parts[0] else {}
        for p in parts if "=" in parts[0] else parts[1:]:
            key, _, value = p.partition("=")
            rec[key] = value
        out.append(rec)
    return out


def rect(value):
    return tuple(int(v) for v in value.split(","))


def output_of(f):
    f.seek(0)
    return f.read()


def inspect(wine, *args, timeout=60):
    r = wine.run(need(wine, INSPECT), *args, timeout=timeout)
    return r.returncode, records(r.stdout.decode(errors="replace"))


def mul_div(a, b, c):
    """Win32 MulDiv for non-negative values: rounded half away from zero."""
    return (2 * a * b + c) // (2 * c)


class Preview:
    """One run of the preview program, ended by the test."""

    def __init__(self, wine, *args, cwd=None, program=None):
        self.wine = wine
        self.out, self.err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.proc = wine.start(program or need(wine, PREVIEW), *args, cwd=cwd, stdout=self.out, stderr=self.err)

    def wait_window(self):
        code, recs = inspect(self.wine, "find", "20000")
        assert code == 0, f"the updater window did not appear: {recs}"
        return recs

    def finish(self, timeout=30):
        """Waits for the program's end; returns its summary line as a dict."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the preview did not end within {timeout} s")
        out, err = output_of(self.out), output_of(self.err)
        m = re.search(rb"result=(-?\d+) start-update=(\d+) reporting=(-?\d+)", out)
        assert m, f"no summary from the preview: {out!r} {err[-2000:]!r}"
        return {"result": int(m.group(1)), "start-update": int(m.group(2)), "reporting": int(m.group(3))}

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def read_ppm(path):
    data = Path(path).read_bytes()
    tokens = []
    pos = 0
    while len(tokens) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        tokens.append(data[pos:end])
        pos = end
    assert tokens[0] == b"P6" and tokens[3] == b"255", tokens
    width, height = int(tokens[1]), int(tokens[2])
    pixels = data[pos + 1:pos + 1 + width * height * 3]
    return width, height, pixels


def read_bmp(path):
    """A 24-bit bottom-up BMP as (width, height, rows of (r, g, b) from the top)."""
    data = Path(path).read_bytes()
    offset = struct.unpack_from("<I", data, 10)[0]
    _, width, height, _, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    assert bits == 24 and compression == 0 and height > 0
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        row = data[offset + stride * (height - 1 - y):]
        rows.append([(row[3 * x + 2], row[3 * x + 1], row[3 * x]) for x in range(width)])
    return width, height, rows


def luma(c):
    return (299 * c[0] + 587 * c[1] + 114 * c[2]) // 1000


@pytest.fixture(scope="class")
def held(wine):
    """A held preview window, what the helper saw of it, and a screenshot of the display. Only
    one updater window may be open at a time (the helper finds the window by its make-up), so
    this one is closed before the tests that start their own."""
    OUT.mkdir(parents=True, exist_ok=True)
    # A window of an earlier test that is still closing would be found instead of this one.
    deadline = time.time() + 30
    while inspect(wine, "find", "0")[0] == 0 and time.time() < deadline:
        time.sleep(0.2)
    preview = Preview(wine, "--hold")
    try:
        recs = preview.wait_window()
        mapped = {}
        for cid, (x, y, cx, cy) in TEMPLATE.items():
            code, m = inspect(wine, "map", str(x), str(y), str(cx), str(cy))
            assert code == 0
            mapped[cid] = rect(m[0]["mapped"])
        # The held window sets the bars when its start command arrives, once the modal loop runs.
        bars = {}
        deadline = time.time() + 10
        while time.time() < deadline:
            for cid in (BAR_FILE, BAR_TOTAL):
                code, p = inspect(wine, "progress", str(cid))
                assert code == 0
                bars[cid] = (int(p[0]["low"]), int(p[0]["high"]), int(p[0]["pos"]))
            if all(pos for _, _, pos in bars.values()):
                break
            time.sleep(0.2)
        time.sleep(1.0)  # let the window and its controls finish painting
        # Looked at again once settled: the first look may come while a control is still being
        # made visible (a loaded machine saw a bar without WS_VISIBLE).
        code, recs = inspect(wine, "find", "0")
        assert code == 0, recs
        display = wine.env["DISPLAY"]
        shot_ppm = OUT / "screen.ppm"
        for target in (shot_ppm, OUT / "screen.png"):
            subprocess.run(["import", "-display", display, "-window", "root", "-depth", "8", str(target)],
                           check=True, timeout=60, capture_output=True)
        window = next(r for r in recs if r.get("kind") == "window")
        left, top, right, bottom = rect(window["rect"])
        subprocess.run(["convert", str(OUT / "screen.png"), "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                        "+repage", str(OUT / "window.png")], check=True, timeout=60, capture_output=True)
        yield {"records": recs, "mapped": mapped, "bars": bars, "screen": read_ppm(shot_ppm), "preview": preview}
        inspect(wine, "post", "close")
        summary = preview.finish()
        assert summary == {"result": 2, "start-update": 1, "reporting": 1}
    finally:
        preview.kill()


def window_record(held):
    return next(r for r in held["records"] if r.get("kind") == "window")


def controls(held):
    return {int(r["id"]): r for r in held["records"] if r.get("kind") == "control"}


class TestHeldWindow:
    """One held window, looked at from outside and on the screen."""

    # --- what the window is ------------------------------------------------------------------------

    def test_window_is_the_skin_sized_borderless_popup_centred_on_the_work_area(self, held):
        w = window_record(held)
        work = rect(next(r for r in held["records"] if r.get("kind") == "workarea")["rect"])
        left, top, right, bottom = rect(w["rect"])
        assert (right - left, bottom - top) == (WIDTH, HEIGHT)
        assert rect(w["client"]) == (0, 0, WIDTH, HEIGHT)  # no caption, no border
        # Integer division toward zero; all values here are non-negative.
        assert left == work[0] + (work[2] - work[0] - WIDTH) // 2
        assert top == work[1] + (work[3] - work[1] - HEIGHT) // 2
        style, exstyle = int(w["style"], 16), int(w["exstyle"], 16)
        assert style & WS_POPUP and style & WS_SYSMENU and style & WS_VISIBLE
        assert not style & (WS_CAPTION | WS_BORDER | WS_DLGFRAME | WS_THICKFRAME)
        assert not exstyle & (WS_EX_DLGMODALFRAME | WS_EX_CLIENTEDGE)
        assert w["class"] == "#32770" and w["text"] == ""
        assert w["foreground"] == "1"
        assert int(w["owner"], 16) == 0


    def test_labels_carry_the_korean_texts_over_the_skin(self, held):
        found = controls(held)
        for cid, text in LABEL_TEXTS.items():
            c = found[cid]
            assert c["class"].lower() == "static"
            assert bytes.fromhex(c["text"]) == text.encode("cp949")
            style, exstyle = int(c["style"], 16), int(c["exstyle"], 16)
            assert style & SS_TYPEMASK == 0  # left-aligned text
            assert style & WS_CHILD and style & WS_VISIBLE and style & WS_GROUP
            assert not style & WS_TABSTOP
            assert exstyle & WS_EX_TRANSPARENT


    def test_progress_bars_and_labels_sit_where_the_template_puts_them(self, held):
        found = controls(held)
        for cid in (BAR_FILE, BAR_TOTAL):
            c = found[cid]
            assert c["class"].lower() == "msctls_progress32"
            # The control turns the template's WS_BORDER into a frame of its own (the unit tests read
            # the template; the screenshot test sees the frame).
            style = int(c["style"], 16)
            assert style & WS_CHILD and style & WS_VISIBLE
            assert not style & WS_TABSTOP
        for cid, expected in held["mapped"].items():
            got = rect(found[cid]["rect"])
            assert got == expected, f"control {cid}"
            l, t, r, b = got
            assert 0 <= l < r <= WIDTH and 0 <= t < b <= HEIGHT, f"control {cid} leaves the window"
        # Top to bottom: label, bar, label, bar.
        order = [rect(found[c]["rect"])[1] for c in (LABEL_FILE, BAR_FILE, LABEL_TOTAL, BAR_TOTAL)]
        assert order == sorted(order)
        assert next(r for r in held["records"] if r.get("kind") == "children")["others"] == "0"


    # --- what the window shows ---------------------------------------------------------------------

    def test_screenshot_shows_the_skin_the_texts_and_the_bars(self, held, wine):
        sw, sh, pixels = held["screen"]
        left, top, _, _ = rect(window_record(held)["rect"])
        skin_w, skin_h, skin = read_bmp(wine.build / "ui" / "skin.bmp")
        assert (skin_w, skin_h) == (WIDTH, HEIGHT)

        def shot(x, y):
            i = 3 * ((top + y) * sw + left + x)
            return tuple(pixels[i:i + 3])

        rects = {cid: rect(c["rect"]) for cid, c in controls(held).items()}

        def inside(cid, x, y):
            l, t, r, b = rects[cid]
            return l <= x < r and t <= y < b

        # Outside the controls the window is the skin, pixel for pixel.
        mismatches = sum(1 for y in range(HEIGHT) for x in range(WIDTH)
                         if not any(inside(c, x, y) for c in rects) and shot(x, y) != skin[y][x])
        assert mismatches == 0
        # Not a blank face: the title band is dark blue, the face below is light.
        assert luma(shot(200, 8)) < 120 and shot(200, 8)[2] > shot(200, 8)[0]
        assert luma(shot(200, 96)) > 200

        for cid in LABEL_TEXTS:
            l, t, r, b = rects[cid]
            area = [(x, y) for y in range(t, b) for x in range(l, r)]
            dark = sum(1 for x, y in area if luma(shot(x, y)) < 96)
            same = sum(1 for x, y in area if shot(x, y) == skin[y][x])
            assert dark >= 20, f"label {cid}: no text drawn"
            # Transparent: around the glyphs the label shows the skin, not a background of its own.
            assert same >= len(area) * 6 // 10, f"label {cid}: {same} of {len(area)} pixels show the skin"

        for cid in (BAR_FILE, BAR_TOTAL):
            l, t, r, b = rects[cid]
            area = [(x, y) for y in range(t, b) for x in range(l, r)]
            same = sum(1 for x, y in area if shot(x, y) == skin[y][x])
            assert same < len(area) // 10, f"bar {cid} is not painted"
            # Its border is drawn on all four sides.
            assert shot(l, (t + b) // 2) != skin[(t + b) // 2][l]
            assert shot((l + r) // 2, b - 1) != skin[b - 1][(l + r) // 2]


    def test_bars_show_ranges_above_sixteen_bits(self, held, wine):
        """The held window sets the bars as a run would: 90,000 of 200,000 bytes and 2,100,000 of
        3,000,000. A 16-bit range would cut both; the screenshot shows 45 % and 70 % filled."""
        assert held["bars"] == {BAR_FILE: (0, 200000, 90000), BAR_TOTAL: (0, 3000000, 2100000)}
        sw, _, pixels = held["screen"]
        left, top, _, _ = rect(window_record(held)["rect"])
        found = controls(held)
        for cid, fraction in ((BAR_FILE, 0.45), (BAR_TOTAL, 0.70)):
            l, t, r, b = rect(found[cid]["rect"])
            y = top + (t + b) // 2
            row = [tuple(pixels[3 * (y * sw + left + x):3 * (y * sw + left + x) + 3]) for x in range(l + 1, r - 1)]
            fill, empty = row[2], row[-3]
            assert fill != empty, f"bar {cid}: no fill drawn"
            filled = max(i for i, c in enumerate(row) if c == fill) + 1
            assert abs(filled / len(row) - fraction) < 0.05, f"bar {cid}: {filled} of {len(row)} pixels filled"


# --- how the modal run ends --------------------------------------------------------------------

@pytest.mark.parametrize("how, args, result", [
    ("Escape", ("key", "escape"), 2),
    ("Enter", ("key", "enter"), 1),
    ("Alt+F4", ("key", "altf4"), 2),
    ("WM_CLOSE", ("post", "close"), 2),
])
def test_standard_dialog_keys_end_the_modal_run(wine, how, args, result):
    code, _ = inspect(wine, "find", "0")
    assert code == 1, "another updater window is still open"
    preview = Preview(wine, "--hold")
    try:
        preview.wait_window()
        code, recs = inspect(wine, *args)
        assert code == 0, recs
        summary = preview.finish()
        assert summary == {"result": result, "start-update": 1, "reporting": 1}, how
    finally:
        preview.kill()


def serve(handler):
    """An HTTP server on the test port, in a thread; waits a while if another suite holds the
    port."""
    deadline = time.time() + 30
    while True:
        try:
            server = http.server.ThreadingHTTPServer(("127.0.0.1", TEST_PORT), handler)
            break
        except OSError as e:
            if time.time() > deadline:
                pytest.skip(f"port {TEST_PORT} stays busy: {e}")
            time.sleep(0.5)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class _EmptyCatalogue(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"Update Info" + struct.pack("<i", 0)
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def install_preview(wine, folder):
    folder.mkdir()
    exe = folder / "updater_window_preview.exe"
    shutil.copy(need(wine, PREVIEW), exe)
    return exe


def test_a_real_run_with_nothing_to_fetch_closes_its_window(wine, tmp_path):
    """Without --hold the start command runs the update: here the catalogue lists nothing, so the
    run ends at once and closes the window itself."""
    server = serve(_EmptyCatalogue)
    try:
        exe = install_preview(wine, tmp_path / "install")
        preview = Preview(wine, cwd=exe.parent, program=exe)
        try:
            summary = preview.finish(timeout=60)
        finally:
            preview.kill()
        assert summary == {"result": 2, "start-update": 1, "reporting": 1}
    finally:
        server.shutdown()
        server.server_close()


def catalogue(base_url, entries):
    """Catalogue bytes: header, one base URL, then (path, data, file time) entries."""
    out = b"Update Info" + struct.pack("<i", 1) + base_url.encode() + b"\0"
    for path, data, filetime in entries:
        out += path.encode("cp949") + b"\0" + struct.pack("<iQ", len(data), filetime)
    return out


def test_a_real_run_moves_both_bars_and_closes_its_window(wine, tmp_path):
    """The whole road through the window: the run fetches a catalogue and two files from a slow
    server while both bars move, then the run closes the window. Needs the download worker."""
    if not list(wine.build.rglob("libtarn_worker.a")):
        pytest.skip("the download worker is not in this build")
    files = {"data\\big.bin": bytes(range(256)) * 1600, "small.txt": b"small" * 1000}
    filetime = 132_000_000_000_000_000  # 2019-04-18, whole seconds
    body = catalogue(f"http://127.0.0.1:{TEST_PORT}/files/", [(p, d, filetime) for p, d in files.items()])

    class Slow(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path == "/dedivur/update/pim":
                data, pause = body, 0
            else:
                data, pause = files.get(self.path[len("/files/"):].replace("/", "\\")), 0.02
            if data is None:
                self.send_response(404)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            for i in range(0, len(data), 4096):
                self.wfile.write(data[i:i + 4096])
                self.wfile.flush()
                time.sleep(pause)

        def log_message(self, *args):
            pass

    server = serve(Slow)
    try:
        exe = install_preview(wine, tmp_path / "install")
        preview = Preview(wine, cwd=exe.parent, program=exe)
        try:
            preview.wait_window()
            total = sum(len(d) for d in files.values())
            seen = []
            shot = False
            deadline = time.time() + 60
            while preview.proc.poll() is None and time.time() < deadline:
                code, recs = inspect(wine, "progress", str(BAR_TOTAL))
                if code == 0:
                    seen.append((int(recs[0]["high"]), int(recs[0]["pos"])))
                    if not shot and 0.3 * total < seen[-1][1] < 0.8 * total:
                        OUT.mkdir(parents=True, exist_ok=True)
                        subprocess.run(["import", "-display", wine.env["DISPLAY"], "-window", "root",
                                        str(OUT / "run-screen.png")], check=True, timeout=60, capture_output=True)
                        shot = True
                time.sleep(0.2)
            summary = preview.finish(timeout=30)
        finally:
            preview.kill()
        assert summary == {"result": 2, "start-update": 1, "reporting": 1}
        moving = [pos for high, pos in seen if high == total]
        assert len(set(moving)) >= 3, f"the total bar hardly moved: {seen}"
        assert moving == sorted(moving)
        assert shot
        for path, data in files.items():
            assert (exe.parent / path.replace("\\", "/")).read_bytes() == data
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("key", ["escape", "enter", "altf4"])
def test_keys_end_the_updater_mid_file_without_starting_the_client(wine, tmp_path, key):
    """The standard dialog keys on TarnFileUpdater.exe itself, while a file is half fetched: the
    run ends at once, the client is not started and the old file is untouched. The first keeps a
    screenshot of the updater's own window (with its manifest) in build/e2e-window/."""
    deadline = time.time() + 30
    while inspect(wine, "find", "0")[0] == 0 and time.time() < deadline:
        time.sleep(0.2)
    data = bytes(range(256)) * 400
    body = catalogue(f"http://127.0.0.1:{TEST_PORT}/files/", [("data.bin", data, 132_000_000_000_000_000)])
    half, release = threading.Event(), threading.Event()

    class Stall(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            reply = body if self.path == "/dedivur/update/pim" else data
            self.send_response(200)
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            if reply is body:
                self.wfile.write(body)
                return
            # In steps, so that the bars move, then a stall that keeps the file half fetched.
            for i in range(0, len(data) // 2, 4096):
                self.wfile.write(data[i:i + 4096])
                self.wfile.flush()
                time.sleep(0.05)
            half.set()
            release.wait(60)

        def log_message(self, *args):
            pass

    server = serve(Stall)
    install = Install(wine, tmp_path / "install")
    (install.dir / "data.bin").write_bytes(b"old data")
    proc = install.start()
    try:
        assert half.wait(60), "the file was never asked for"
        code, recs = inspect(wine, "find", "20000")
        assert code == 0, recs
        for _ in range(25):
            code, bar = inspect(wine, "progress", str(BAR_TOTAL))
            if code != 0 or int(bar[0]["pos"]) > 0:
                break
            time.sleep(0.2)
        if key == "escape":
            OUT.mkdir(parents=True, exist_ok=True)
            time.sleep(1.0)
            left, top, right, bottom = rect(next(r for r in recs if r.get("kind") == "window")["rect"])
            subprocess.run(["import", "-display", wine.env["DISPLAY"], "-window", "root", "-crop",
                            f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(OUT / "updater-window.png")],
                           check=True, timeout=60, capture_output=True)
        code, recs = inspect(wine, "key", key)
        assert code == 0, recs
        proc.wait(timeout=20)
        time.sleep(2)
        assert install.client_starts() == []
        assert (install.dir / "data.bin").read_bytes() == b"old data"
    finally:
        release.set()
        if proc.poll() is None:
            proc.kill()
        server.shutdown()
        server.server_close()


def test_window_unit_tests_pass_on_the_display(wine):
    """The unit tests of the window need a display; the unit-test run without one skips them."""
    exe = wine.exe("tests/unit/tarn_unit_tests.exe")
    if not exe.exists():
        pytest.fail("tarn_unit_tests is not built")
    r = wine.run(exe, "--gtest_filter=ModalDialog*:UpdaterWindow*", timeout=180)
    out = r.stdout.decode(errors="replace")
    assert r.returncode == 0, out[-3000:]
    assert "SKIPPED" not in out, out[-3000:]
    m = re.search(r"\[  PASSED  \] (\d+) test", out)
    assert m and int(m.group(1)) >= 10, out[-3000:]
