"""Whole update runs of TarnFileUpdater.exe under Wine against servers on 127.0.0.1: the
install folder afterwards, time stamps, the client started at the end, message boxes."""
import os
import random
import shutil
import time
from pathlib import Path

import pytest

from httpserver import HttpServer
from nginx_support import Nginx
from run_support import (CATALOGUE_PATH, PORT, Install, assert_matches_release, catalogue_paths, file_time_of,
                         make_release, most_at_once, publish)

HANGUL_DIR = "한글"
HANGUL_FILE = "한글/설정 파일.txt"


def random_bytes(n, seed):
    return random.Random(seed).randbytes(n)


def sample_release():
    return {
        "pimfile.dat": b"client data v2",
        "bin/tool.dll": random_bytes(70_000, 1),
        "bin/deep/er/leaf.bin": random_bytes(5000, 2),
        HANGUL_FILE: "새 설정".encode("cp949"),
        "empty.txt": b"",
        "media/big.pak": random_bytes(3 * 1024 * 1024 + 17, 3),
    }


@pytest.fixture
def scene(wine, tmp_path):
    release = make_release(tmp_path / "release", sample_release())
    www = tmp_path / "www"
    publish(release, www)
    install = Install(wine, tmp_path / "install")
    temp = install.catalogue_temp()
    if temp.exists():
        temp.unlink()
    return release, www, install


def test_fresh_install_then_nothing_to_do(scene):
    release, www, install = scene
    with HttpServer(root=www, port=PORT) as srv:
        install.run()
        assert_matches_release(install, release)
        assert not install.catalogue_temp().exists(), "Updater.tmp left behind"
        starts = install.client_starts()
        assert len(starts) == 1
        cwd, cmdline = starts[0]
        assert cwd.rstrip("\\") == install.windows_path
        assert cmdline == f'"{install.windows_path}\\pimfile.exe"'
        fetched = sorted(srv.paths())
        assert fetched[0] == CATALOGUE_PATH
        assert len(fetched) == 1 + len(sample_release()), "every file once, the empty one too"

        srv.clear_log()
        install.run()
        assert srv.paths() == [CATALOGUE_PATH], "a second run fetches nothing but the catalogue"
        assert_matches_release(install, release)
        assert len(install.client_starts()) == 2


def test_older_install_is_brought_up_to_date_and_keeps_its_own_files(scene):
    release, www, install = scene
    (install.dir / "bin").mkdir()
    (install.dir / "bin" / "tool.dll").write_bytes(b"old tool")
    (install.dir / "pimfile.dat").write_bytes(b"client data v1")
    (install.dir / "user.cfg").write_bytes(b"mine")
    (install.dir / "log").mkdir()
    (install.dir / "log" / "today.log").write_bytes(b"kept")
    with HttpServer(root=www, port=PORT):
        install.run()
    assert_matches_release(install, release)
    assert (install.dir / "user.cfg").read_bytes() == b"mine"
    assert (install.dir / "log" / "today.log").read_bytes() == b"kept"


def test_updater_listed_in_its_own_catalogue_replaces_itself(wine, tmp_path):
    exe = wine.exe("TarnFileUpdater.exe").read_bytes()
    release = make_release(tmp_path / "release", {"TarnFileUpdater.exe": (exe, 1_650_000_000), "a.txt": b"a"})
    www = tmp_path / "www"
    publish(release, www)
    install = Install(wine, tmp_path / "install")  # its copy has a newer time than the release's
    with HttpServer(root=www, port=PORT) as srv:
        install.run()
        assert file_time_of(install.updater) == file_time_of(release / "TarnFileUpdater.exe")
        srv.clear_log()
        install.run()
        assert srv.paths() == [CATALOGUE_PATH], "the replaced updater counts as up to date"
    assert not list(install.dir.glob("*.tarn-old")), "the old image is removed by a later run"


@pytest.mark.parametrize("folder", ["Program Files (x86)/Game Client", "게임 폴더/클라이언트 설치"],
                         ids=["program-files", "hangul-with-blanks"])
def test_client_under_a_folder_with_blanks_gets_no_arguments(wine, tmp_path, folder):
    release = make_release(tmp_path / "release", {"a.txt": b"a"})
    publish(release, tmp_path / "www")
    install = Install(wine, tmp_path / folder)
    with HttpServer(root=tmp_path / "www", port=PORT):
        install.run()
    assert_matches_release(install, release)
    (start,) = install.client_start_fields()
    print("client start:", start)
    assert start["argc"] == "1", start["cmdline"]
    assert start["cwd"].rstrip("\\") == install.windows_path
    assert start["cmdline"] == f'"{install.windows_path}\\pimfile.exe"'


def attributes(wine, path):
    """The letters that Wine's attrib shows for a file (A, S, H, R)."""
    r = wine.run("attrib", wine.unix_to_windows(path), timeout=60)
    return set(r.stdout.decode(errors="replace").split("Z:")[0]) - {" "}


def test_hidden_system_file_is_updated_and_keeps_its_attributes(scene, wine):
    release, www, install = scene
    target = install.dir / "pimfile.dat"
    target.write_bytes(b"client data v1")
    for flag in ("+h", "+s"):  # Wine's attrib takes one change per call
        wine.run("attrib", flag, wine.unix_to_windows(target), timeout=60)
    assert {"H", "S"} <= attributes(wine, target)
    with HttpServer(root=www, port=PORT):
        install.run()
    assert_matches_release(install, release)
    assert {"H", "S"} <= attributes(wine, target)


MISBEHAVIOURS = [
    ("length", {"value": "12"}),
    ("no_length", {}),
    ("cut", {"after": 30_000}),
    ("reset", {"after": 30_000}),
    ("status", {"code": 404}),
    ("status", {"code": 500}),
]


@pytest.mark.parametrize("kind,params", MISBEHAVIOURS, ids=[f"{k}-{'-'.join(map(str, p.values()))}"
                                                             for k, p in MISBEHAVIOURS])
def test_failed_file_ends_the_run_and_keeps_the_old_file(scene, kind, params):
    release, www, install = scene
    old = b"the previous tool, which must survive"
    (install.dir / "bin").mkdir()
    (install.dir / "bin" / "tool.dll").write_bytes(old)
    with HttpServer(root=www, port=PORT) as srv:
        srv.misbehave("/files/bin/tool.dll", kind, **params)
        install.run(timeout=90)
        order = srv.paths()
    assert (install.dir / "bin" / "tool.dll").read_bytes() == old
    assert "/files/bin/tool.dll" in order
    # Files before the failed one (in the plan's order) are in place; later ones, though they may
    # have been fetched ahead, were not placed.
    plan = [p for p in catalogue_paths(www / CATALOGUE_PATH.lstrip("/")) if (release / p).is_file()]
    failed_at = plan.index("bin/tool.dll")
    for rel in plan[:failed_at]:
        assert (install.dir / rel).read_bytes() == (release / rel).read_bytes()
    for rel in plan[failed_at + 1:]:
        assert not (install.dir / rel).exists(), f"{rel} placed after the failed file"
    assert len(install.client_starts()) == 1


@pytest.mark.parametrize("updater,in_flight", [("TarnFileUpdater.exe", 6)])
def test_files_are_fetched_several_at_a_time_and_placed_in_the_plans_order(wine, tmp_path, updater, in_flight):
    files = {f"f{i:02d}.bin": random_bytes(20_000 + i, i) for i in range(14)}
    release = make_release(tmp_path / "release", files)
    publish(release, tmp_path / "www")
    install = Install(wine, tmp_path / "install")
    shutil.copyfile(wine.exe(updater), install.updater)
    # About 0.2 s a file: the requests overlap unless they wait for each other.
    with HttpServer(root=tmp_path / "www", port=PORT, rate=100_000) as srv:
        install.run()
        replies = [r for r in srv.requests() if r.path.startswith("/files/")]
    assert_matches_release(install, release)
    assert len(replies) == len(files)
    assert most_at_once(replies) == in_flight
    plan = catalogue_paths(tmp_path / "www" / CATALOGUE_PATH.lstrip("/"))
    assert sorted(plan, key=lambda rel: (install.dir / rel).stat().st_ctime_ns) == plan


def test_silent_server_ends_the_run(scene):
    release, www, install = scene
    with HttpServer(root=www, port=PORT, stall_limit=60) as srv:
        srv.misbehave(CATALOGUE_PATH, "stall")
        elapsed = install.run(timeout=90)
    assert elapsed < 45
    assert len(install.client_starts()) == 1
    assert install.snapshot() == {}


def test_no_server_ends_the_run_and_starts_the_client(scene):
    _, _, install = scene
    install.run(timeout=60)
    assert len(install.client_starts()) == 1
    assert install.snapshot() == {}


def test_error_page_for_the_catalogue_shows_the_header_box(scene):
    _, www, install = scene
    with HttpServer(root=www, port=PORT) as srv:
        srv.misbehave(CATALOGUE_PATH, "status", code=404)
        p = install.start()
        box = install.message_box()
        p.wait(timeout=60)
    assert box is not None, "no message box"
    caption, text, owned, buttons = box
    assert caption == "File check error"
    assert text == "Check update info"
    assert owned and buttons == 1
    install.wait_client(1)
    assert len(install.client_starts()) == 1
    assert install.snapshot() == {}


def test_hostile_catalogue_is_rejected_before_anything_is_created(scene):
    _, www, install = scene
    cat = (b"Update Info" + (1).to_bytes(4, "little") + f"http://127.0.0.1:{PORT}/files/".encode() + b"\0")
    for path in (b"ok\\a.bin", b"..\\escape.bin"):
        cat += path + b"\0" + (1).to_bytes(4, "little") + (0x01D0000000000000).to_bytes(8, "little")
    with HttpServer(root=www, port=PORT) as srv:
        srv.put(CATALOGUE_PATH, cat)
        p = install.start()
        box = install.message_box()
        p.wait(timeout=60)
        assert srv.paths() == [CATALOGUE_PATH]
    assert box is not None and box[0] == "File check error"
    assert not (install.dir / "ok").exists()
    assert not (install.dir.parent / "escape.bin").exists()


def test_fresh_install_from_nginx(wine, tmp_path):
    release = make_release(tmp_path / "release", sample_release())
    www = tmp_path / "www"
    # Files are stored under the CP949 names the updater asks for.
    publish(release, www, cp949_names=True)
    install = Install(wine, tmp_path / "install")
    with Nginx(www, tmp_path / "nginx", PORT) as server:
        install.run()
        log = [line for line in server.access_log() if '"TarnFileUpdater"' in line]
    assert_matches_release(install, release)
    assert len(log) == 1 + len(sample_release())
    assert all('" 200 ' in line for line in log)
    assert len(install.client_starts()) == 1


def test_dates_across_daylight_saving_take_the_offset_in_force_now_on_win32(wine):
    """The unit test of the time conversion, in the 32-bit build under Wine, in a zone with
    daylight saving (Wine takes the zone from TZ)."""
    r = wine.run(wine.exe("tests/unit/tarn_unit_tests.exe"), "--gtest_filter=PlanTimes.*",
                 extra_env={"TZ": "Europe/Berlin"}, timeout=120)
    out = r.stdout.decode(errors="replace")
    assert r.returncode == 0, out[-3000:]
    assert "[  PASSED  ] 1 test" in out and "SKIPPED" not in out, out[-3000:]
