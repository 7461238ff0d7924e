"""The crash reporter inside the updater itself: a test build of TarnFileUpdater.exe that faults
on its main thread once its window is up leaves "Exception.txt" and "Exception.dmp" beside it."""
import shutil
import subprocess

from crash_support import parse_report, split_reports


def test_updater_fault_is_reported_beside_the_executable(wine, tmp_path):
    install = tmp_path / "install"
    install.mkdir()
    exe = install / "TarnFileUpdater.exe"
    shutil.copyfile(wine.exe("TarnFileUpdater_forced_crash.exe"), exe)
    (install / "Exception.txt").write_bytes(b"an earlier report\r\n")
    (install / "Exception.dmp").write_bytes(b"old dump")
    p = wine.start(exe, cwd=install)
    try:
        p.wait(timeout=90)
    except subprocess.TimeoutExpired:
        p.kill()
        raise
    text = (install / "Exception.txt").read_bytes().decode("cp949")
    assert text.startswith("an earlier report\r\n"), "earlier reports stay"
    reports = split_reports(text)
    assert len(reports) == 1
    r = parse_report(reports[0])
    assert r["exe"].endswith("\\TarnFileUpdater.exe")
    lines = reports[0].split("\r\n")
    assert any(line.startswith("an Access Violation in module TarnFileUpdater.exe at ") for line in lines)
    assert "Write to location 00000000 caused an access violation." in lines
    assert r["modules"] and r["modules"][0][0].endswith("\\TarnFileUpdater.exe")
    assert (install / "Exception.dmp").read_bytes()[:4] == b"MDMP"
