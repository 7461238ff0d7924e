"""The crash reporter in a real process under Wine: the crash probe (tests/e2e/helpers/crash_probe)
links the updater's reporter and crashes on purpose; these tests read the "Exception.txt" and
"Exception.dmp" it leaves beside itself.

The report's structure is checked by crash_support.parse_report."""
import datetime
import re
import shutil

import pytest

from crash_support import dump_exception, parse_report, pe_facts, split_reports

PROBE = "crash_probe.exe"


@pytest.fixture
def probe(wine, tmp_path):
    """A copy of the probe in a folder of its own: the reports land beside it."""
    built = wine.exe(PROBE)
    if not built.exists():
        pytest.fail(f"{PROBE} is not built; build the Windows preset first")
    copy = tmp_path / PROBE
    shutil.copy2(built, copy)
    return copy


def run(wine, probe, *args, extra_env=None):
    result = wine.run(probe, *args, cwd=probe.parent, timeout=120, extra_env=extra_env)
    out = result.stdout.decode("latin-1")
    facts = dict(re.findall(r"(\S+)=(\S+)", out))
    return result, out, facts


def report_of(probe):
    path = probe.parent / "Exception.txt"
    assert path.exists(), "no report written"
    return path.read_bytes().decode("latin-1")


def exit_status(code):
    return code & 0xFF


def no_files(probe):
    return not (probe.parent / "Exception.txt").exists() and not (probe.parent / "Exception.dmp").exists()


# ---- A fault's report, section by section -----------------------------------------------------

def test_read_fault_report_matches_the_structure(wine, probe, capsys):
    result, out, facts = run(wine, probe, "read-av")
    assert facts["installed"] == "1" and facts["before-globals"] == "1", out
    assert exit_status(result.returncode) == 0x05, "the previous filter's verdict 1 ends the process"
    r = parse_report(report_of(probe))

    assert r["thread"] == int(facts["main-thread"], 16)
    now = datetime.datetime.now()
    assert abs((r["time"] - now).total_seconds()) < 300
    assert 0 <= (r["time"] - r["start"]).total_seconds() < 120
    assert r["exe"] == wine.unix_to_windows(probe)
    assert r["memory_mb"] > 0
    assert r["what"] == "an Access Violation"
    assert r["module"] == PROBE
    assert r["access"] == ("Read from", int(facts["address"], 16))
    assert "??" not in r["code"]

    link_time, base = pe_facts(probe)
    kst = datetime.datetime.fromtimestamp(link_time, datetime.timezone.utc) + datetime.timedelta(hours=9)
    assert r["modules"] == [(wine.unix_to_windows(probe), base, kst.strftime("%y/%m/%d %H:%M:%S"))]

    with capsys.disabled():
        print(f"\n[crash] Wine took the {r['walk']} walk; frames: "
              f"{[f.get('name') or f.get('module') for f in r['frames']]}")
    if r["walk"] == "symbolic":
        names = [f["name"] for f in r["frames"]]
        # The probe faults three calls deep below main.
        assert names[:4] == ["Fault", "FaultLevel2", "FaultLevel1", "main"], names
        assert r["frames"][0]["pc"] == r["eip"]
        fps = [f["fp"] for f in r["frames"]]
        assert fps[:4] == sorted(fps[:4])
    else:
        assert r["frames"] and r["frames"][0]["pc"] == r["eip"]

    dump = (probe.parent / "Exception.dmp").read_bytes()
    assert dump[:4] == b"MDMP"
    # The previous filter ran after both files were complete.
    assert "report=1 dump=1" in out


def test_write_fault_names_the_written_address(wine, probe):
    _, _, facts = run(wine, probe, "write-av")
    r = parse_report(report_of(probe))
    assert r["access"] == ("Write to", int(facts["address"], 16))


def test_divide_by_zero_has_no_access_line(wine, probe):
    result, _, _ = run(wine, probe, "divide")
    assert exit_status(result.returncode) == 0x94
    r = parse_report(report_of(probe))
    assert r["what"] == "an Integer Divide by Zero"
    assert r["module"] == PROBE
    assert r["access"] is None


def test_fault_on_another_thread_reports_that_thread(wine, probe):
    _, _, facts = run(wine, probe, "thread-av")
    r = parse_report(report_of(probe))
    assert r["thread"] == int(facts["fault-thread"], 16) != int(facts["main-thread"], 16)
    assert r["access"][0] == "Read from"


def test_uncaught_cxx_exception_is_reported_then_terminates_as_usual(wine, probe):
    result, _, _ = run(wine, probe, "cxx")
    assert b"terminate called after throwing" in result.stderr
    assert result.returncode == 3, "the runtime's own terminate handling still ends the process"
    r = parse_report(report_of(probe))
    assert r["what"] == "a Microsoft C++ Exception"
    if r["walk"] == "symbolic":
        # From the terminate handler through the runtime's frames to the throw in main.
        names = [f["name"] for f in r["frames"]]
        assert "ReportUncaughtCxxException" in names[0] and "main" in names, names
    assert (probe.parent / "Exception.dmp").read_bytes()[:4] == b"MDMP"


def test_stack_overflow_is_reported_for_its_thread_with_a_dump(wine, probe):
    # The overflowing thread has no stack left to write with; the report still describes it.
    _, _, facts = run(wine, probe, "stack-overflow")
    r = parse_report(report_of(probe))
    assert r["thread"] == int(facts["overflow-thread"], 16)
    assert (r["what"], r["module"], r["modules"][0][0]) == ("a Stack Overflow", PROBE, wine.unix_to_windows(probe))
    if r["walk"] == "symbolic":
        # Thousands of calls deep: the walk ends within the recursion.
        assert {f["name"] for f in r["frames"]} == {"Recurse"}
    assert dump_exception((probe.parent / "Exception.dmp").read_bytes()) == (r["thread"], 0xC00000FD)


def test_fault_while_holding_the_heap_lock_is_reported_in_full(wine, probe):
    # The report needs the heap; a thread with stack enough writes it itself, under its own lock.
    result, out, _ = run(wine, probe, "heap-locked")
    assert "report=1 dump=1" in out and exit_status(result.returncode) == 0x05
    assert parse_report(report_of(probe))["what"] == "an Access Violation"


# ---- Files: appended report, replaced dump, nothing when the report cannot be written ---------

def test_report_is_appended_and_dump_replaced(wine, probe):
    earlier = b"[1 2001/01/01 00:00:00]: ======================= first excpetion\r\nold report\r\n"
    (probe.parent / "Exception.txt").write_bytes(earlier)
    old_dump = b"OLD!" * 100000
    (probe.parent / "Exception.dmp").write_bytes(old_dump)
    run(wine, probe, "read-av")
    data = (probe.parent / "Exception.txt").read_bytes()
    assert data.startswith(earlier)
    parse_report(data[len(earlier):].decode("latin-1"))
    dump = (probe.parent / "Exception.dmp").read_bytes()
    assert dump[:4] == b"MDMP" and b"OLD!OLD!" not in dump


def test_report_beside_an_executable_in_a_hangul_folder(wine, probe):
    folder = probe.parent / "피마 업데이트"
    folder.mkdir()
    moved = folder / PROBE
    probe.rename(moved)
    run(wine, moved, "read-av")
    r = parse_report(report_of(moved))
    # The report's text is CP949, like every path the updater handles.
    assert r["exe"].encode("latin-1").decode("cp949") == wine.unix_to_windows(moved)
    assert (folder / "Exception.dmp").read_bytes()[:4] == b"MDMP"


def test_unwritable_report_leaves_the_dump_alone_and_tells_the_debugger(wine, probe):
    (probe.parent / "Exception.txt").mkdir()
    (probe.parent / "Exception.dmp").write_bytes(b"older dump")
    result, _, _ = run(wine, probe, "read-av", extra_env={"WINEDEBUG": "-all,warn+debugstr"})
    assert b'"Error creating exception report"' in result.stderr
    assert (probe.parent / "Exception.dmp").read_bytes() == b"older dump"
    assert exit_status(result.returncode) == 0x05, "the exception still reaches the previous filter"


# ---- What is not reported ------------------------------------------------------------------------

def test_code_e0000001_writes_nothing_and_returns_the_previous_verdict(wine, probe):
    result, out, _ = run(wine, probe, "not-reported")
    assert no_files(probe)
    assert "previous-filter code=e0000001" in out
    assert "continued" in out and result.returncode == 0, "verdict -1 (continue) came back through the reporter"


def test_switched_off_reporter_writes_nothing(wine, probe):
    result, out, _ = run(wine, probe, "switch-off")
    assert no_files(probe)
    assert "previous-filter code=c0000005" in out
    assert exit_status(result.returncode) == 0x05


def test_second_fault_on_another_thread_adds_nothing(wine, probe):
    result, out, facts = run(wine, probe, "second-thread")
    assert "previous-filter code=c0000005" in out, "the second fault is still chained"
    assert exit_status(result.returncode) == 0x05
    reports = split_reports(report_of(probe))
    assert len(reports) == 1
    r = parse_report(reports[0])
    assert r["what"] == "Unknown exception type"  # 0xE0000002, the first one
    assert r["thread"] == int(facts["main-thread"], 16)


def test_second_fault_on_the_reporting_thread_adds_nothing(wine, probe):
    result, out, _ = run(wine, probe, "second-same-thread")
    assert out.count("previous-filter") == 2
    assert exit_status(result.returncode) == 0x05
    assert len(split_reports(report_of(probe))) == 1


def test_exception_after_removal_only_chains(wine, probe):
    # The reporter had no previous filter, so its filter stays installed after removal.
    result, out, _ = run(wine, probe, "after-removal")
    assert "raising after removal installed=0" in out
    # What becomes of the exception then is Wine's debugger's business (under load it sometimes
    # lets the process continue); the reporter must only stay out of it.
    assert no_files(probe)


# ---- The previous filter's verdict -----------------------------------------------------------

@pytest.mark.parametrize("verdict", [-1, 1])
def test_previous_filter_verdict_decides_the_fate(wine, probe, verdict):
    result, out, _ = run(wine, probe, "chain", f"--verdict={verdict}")
    parse_report(report_of(probe))
    if verdict == -1:
        assert "continued" in out and result.returncode == 0
    else:
        assert "continued" not in out and exit_status(result.returncode) == 0x02


def test_filter_returns_previous_verdict_directly(wine, probe):
    _, out, _ = run(wine, probe, "filter-verdict", "--verdict=-1")
    assert "top-is-reporter=1 verdict=-1" in out
    # Without the probe's filter the previous one is the C runtime's, which declines: 0.
    _, out, _ = run(wine, probe, "filter-verdict", "--no-previous")
    assert "top-is-reporter=1 verdict=0" in out
    assert no_files(probe)


def test_runtime_filter_and_system_default_after_the_report(wine, probe):
    # As in the updater: the C runtime's filter is the previous one and declines, so the system's
    # default handling follows the report (Wine's debugger; its exit status is not reliable).
    result, _, facts = run(wine, probe, "read-av", "--no-previous")
    r = parse_report(report_of(probe))
    assert r["access"] == ("Read from", int(facts["address"], 16))
    assert b"Unhandled page fault on read access" in result.stderr
