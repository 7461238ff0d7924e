"""The crash reporter in a real process under Wine: the crash probe (tests/e2e/helpers/crash_probe)
links the updater's reporter and crashes on purpose; these tests read the "Exception.txt" and
"Exception.dmp" it leaves beside itself.

The report's format is the 32-bit one; the x86-64 build prints the same lines with RAX..RIP in the
EAX..EIP fields and addresses in full (more than 8 digits where they need them), so the patterns
accept 8 or more hex digits for addresses."""
import datetime
import re
import shutil
import struct

import pytest

PROBE = "crash_probe.exe"
ADDR = r"[0-9a-f]{8,16}"
WORD = r"[0-9a-f]{8}"

HEADER = re.compile(r"^\[(?P<tid>[0-9a-f]+) (?P<when>\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})\]: "
                    r"======================= first excpetion$")
START = re.compile(r"^start at (?P<when>\d{2}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})$")
RUN_BY = re.compile(r"^(?P<exe>.+), run by (?P<user>.+)\.$")
PROCESSORS = re.compile(r"^\d+ processor\(s\), type \d+\.$")
MEMORY = re.compile(r"^(?P<mb>\d+) MBytes physical memory\.$")
EXCEPTION = re.compile(rf"^(?P<what>.+) in module (?P<module>.+) at (?P<cs>[0-9a-f]{{4}}):(?P<eip>{ADDR})\.$")
ACCESS = re.compile(rf"^(?P<kind>Read from|Write to) location (?P<addr>{ADDR}) caused an access violation\.$")
REGISTERS = [
    re.compile(rf"^EAX=(?P<eax>{ADDR}) CS=(?P<cs>[0-9a-f]{{4}}) EIP=(?P<eip>{ADDR}) EFLGS={WORD}$"),
    re.compile(rf"^EBX={ADDR} SS=[0-9a-f]{{4}} ESP=(?P<esp>{ADDR}) EBP=(?P<ebp>{ADDR})$"),
    re.compile(rf"^ECX={ADDR} DS=[0-9a-f]{{4}} ESI={ADDR} FS=[0-9a-f]{{4}}$"),
    re.compile(rf"^EDX={ADDR} ES=[0-9a-f]{{4}} EDI={ADDR} GS=[0-9a-f]{{4}}$"),
]
CODE_BYTES = re.compile(r"^(?:[0-9a-f]{2} |\?\? ){16}$")
DUMP = re.compile(rf"^(?P<addr>{ADDR}):(?: {WORD}){{8}}$")
DUMP_FAULT = "Exception encountered during stack dump"
SYM_FRAME = re.compile(rf"^(?P<fp>{ADDR})  (?P<pc>{ADDR}) (?P<rest>.*)$")
SYMBOL = re.compile(r"^(?P<name>\S.*) \+(?P<disp>[0-9a-f]+)$")
PARAMS = re.compile(rf"^Params:   {ADDR} {ADDR} {ADDR} {ADDR}$")
FP_FRAME = re.compile(rf"^(?P<fp>{ADDR})  (?P<pc>{ADDR})  (?P<module>.*)$")
FP_BYTES = re.compile(r"^Bytes at CS:EIP: (?:[0-9a-f]{2} |\?\? ){16}$")
MODULE = re.compile(rf"^(?P<path>.+), loaded at 0x(?P<base>{ADDR}) - "
                    r"(?P<when>\d{2}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}) \(KR\)$")


class Lines:
    def __init__(self, lines):
        self.lines = lines
        self.i = 0

    def peek(self):
        assert self.i < len(self.lines), "report ends early"
        return self.lines[self.i]

    def take(self, pattern=None, exact=None):
        line = self.peek()
        self.i += 1
        if exact is not None:
            assert line == exact, f"line {self.i}: expected {exact!r}, got {line!r}"
            return None
        m = pattern.match(line)
        assert m, f"line {self.i}: {line!r} does not match {pattern.pattern}"
        return m


def parse_report(text):
    """Checks one report line by line and returns what it found."""
    assert text.endswith("\r\n")
    assert "\n" not in text.replace("\r\n", "") and "\r" not in text.replace("\r\n", ""), "bare CR or LF"
    assert "\0" not in text
    r = {}
    s = Lines(text[:-2].split("\r\n"))
    m = s.take(HEADER)
    r["thread"] = int(m["tid"], 16)
    r["time"] = datetime.datetime.strptime(m["when"], "%Y/%m/%d %H:%M:%S")
    r["start"] = datetime.datetime.strptime(s.take(START)["when"], "%y/%m/%d %H:%M:%S")
    m = s.take(RUN_BY)
    r["exe"], r["user"] = m["exe"], m["user"]
    s.take(PROCESSORS)
    r["memory_mb"] = int(s.take(MEMORY)["mb"])
    m = s.take(EXCEPTION)
    r["what"], r["module"], r["eip"] = m["what"], m["module"], int(m["eip"], 16)
    r["access"] = None
    if ACCESS.match(s.peek()):
        m = s.take(ACCESS)
        r["access"] = (m["kind"], int(m["addr"], 16))
    s.take(exact="")
    s.take(exact="Registers:")
    regs = {}
    for pattern in REGISTERS:
        regs.update({k: int(v, 16) for k, v in s.take(pattern).groupdict().items()})
    r["regs"] = regs
    assert regs["eip"] == r["eip"]
    s.take(exact="")
    s.take(exact="Bytes at CS:EIP:")
    r["code"] = s.take(CODE_BYTES).group(0)
    s.take(exact="")
    s.take(exact="Stack dump:")
    dump = []
    while DUMP.match(s.peek()):
        dump.append(int(s.take(DUMP)["addr"], 16))
    assert 1 <= len(dump) <= 5
    assert dump[0] == regs["esp"] & ~31, "the first dump starts at ESP cleared to 32 bytes"
    assert dump == list(range(dump[0], dump[0] + 32 * len(dump), 32))
    s.take(exact="")

    walk = s.take(re.compile(r"^(Intel )?Call Stack Information:$"))
    r["walk"] = "frame pointers" if walk.group(1) else "symbolic"
    frames = []
    dumped = list(dump)
    while True:
        while DUMP.match(s.peek()) or s.peek() == DUMP_FAULT:
            line = s.take(re.compile(".*")).group(0)
            if line != DUMP_FAULT:
                dumped.append(int(line.split(":")[0], 16))
        if r["walk"] == "frame pointers" and s.peek() == "Module list:":
            break
        s.take(exact="")
        if s.peek() == "Module list:":
            assert r["walk"] == "symbolic"
            break
        if r["walk"] == "symbolic":
            m = s.take(SYM_FRAME)
            frame = {"fp": int(m["fp"], 16), "pc": int(m["pc"], 16), "name": None, "detail": None}
            sym = SYMBOL.match(m["rest"])
            if sym:
                frame["name"] = sym["name"]
                frame["detail"] = s.take(re.compile(".*")).group(0)
            else:
                assert m["rest"].endswith(" "), f"frame without symbol: {m['rest']!r}"
                frame["module"] = m["rest"][:-1]
            s.take(PARAMS)
        else:
            m = s.take(FP_FRAME)
            frame = {"fp": int(m["fp"], 16), "pc": int(m["pc"], 16), "module": m["module"]}
            s.take(FP_BYTES)
        frames.append(frame)
    assert dumped == sorted(set(dumped)), "a stack line printed twice or out of order"
    r["frames"] = frames
    s.take(exact="Module list:")
    r["modules"] = []
    while s.i < len(s.lines):
        m = s.take(MODULE)
        r["modules"].append((m["path"], int(m["base"], 16), m["when"]))
    return r


def split_reports(text):
    starts = [m.start() for m in re.finditer(r"^\[[0-9a-f]+ \d{4}/", text, re.M)]
    return [text[a:b] for a, b in zip(starts, starts[1:] + [len(text)])]


def pe_facts(path):
    data = path.read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[header:header + 4] == b"PE\0\0"
    link_time = struct.unpack_from("<I", data, header + 8)[0]
    magic = struct.unpack_from("<H", data, header + 24)[0]
    base = struct.unpack_from("<Q", data, header + 48)[0] if magic == 0x20B else \
        struct.unpack_from("<I", data, header + 52)[0]
    return link_time, base


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
        assert "main" in [f["name"] for f in r["frames"]]
    assert (probe.parent / "Exception.dmp").read_bytes()[:4] == b"MDMP"


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
    assert "continued" not in out and result.returncode != 0
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
