"""Reading the crash reporter's "Exception.txt" in end-to-end tests: `parse_report` checks one
report line by line against the report's structure and returns what it found; `split_reports`
cuts a file of appended reports apart; `pe_facts` gives the link time and preferred load address
of an executable, for its module-list line; `dump_exception` reads the thread and the code that an
"Exception.dmp" names.

The report's format is the 32-bit one; the x86-64 build prints the same lines with RAX..RIP in the
EAX..EIP fields and addresses in full (more than 8 digits where they need them), so the patterns
accept 8 or more hex digits for addresses."""
import datetime
import re
import struct

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



def dump_exception(data):
    """Thread identifier and exception code of a minidump's exception stream (type 6)."""
    count, directory = struct.unpack_from("<II", data, 8)
    streams = [struct.unpack_from("<III", data, directory + 12 * i) for i in range(count)]
    thread, _, code = struct.unpack_from("<III", data, next(rva for kind, _, rva in streams if kind == 6))
    return thread, code
