"""Turns the figures of one bench/run.sh into the table: printed, and written to
docs/benchmarks.md. Whatever follows the analysis marker in that file is kept as it is."""
import json
import os
import re
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = Path(os.environ.get("BENCH_WORK", ROOT / "build" / "bench"))
DOC = ROOT / "docs" / "benchmarks.md"
MARKER = "<!-- analysis: kept by bench/report.py -->"
MiB = 1024 * 1024


def med(runs, key):
    return statistics.median(r[key] for r in runs)


def rng(runs, key):
    vals = [r[key] for r in runs]
    return f"{min(vals):.2f}–{max(vals):.2f}"


def table(head, rows):
    out = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    out += ["| " + " | ".join(str(c).replace("|", "\\|") for c in row) + " |" for row in rows]
    return out


def core_figures():
    """Median over the core_bench runs of each line's median (microseconds)."""
    text = (WORK / "core.txt").read_text() if (WORK / "core.txt").exists() else ""
    figures = {}
    for line in text.splitlines():
        m = re.match(r"\s*(.*?)\s+median\s+([\d.]+) us", line)
        if m:
            figures.setdefault(m.group(1).strip(), []).append(float(m.group(2)))
    labels = {}
    summary = WORK / "callgrind-summary.txt"
    if summary.exists():
        current = {}
        for line in summary.read_text().splitlines():
            path, _, rest = line.partition(":")
            if rest.startswith("desc: Trigger: Client Request: "):
                current[path] = rest.split(": ", 3)[-1].strip()
            elif rest.startswith("summary: ") and path in current:
                labels[current[path]] = int(rest.split()[1])
    return {k: (statistics.median(v), len(v)) for k, v in figures.items()}, labels


def main():
    res = json.loads((WORK / "results.json").read_text())
    m = res["machine"]
    arch = m["wine_arch"]
    arch_note = ("the shipped 32-bit build under 32-bit Wine" if arch == "win32" else
                 "the x86-64 build of the same sources: this kernel runs no 32-bit programs")
    port = res.get("port", 18380)
    load_end = f"; at the end {' '.join(res['load_end'])}" if "load_end" in res else ""
    pinning = (f"- Pinning: the wineserver and every Windows program run on CPU {m['cpus']} only "
               "(`BENCH_CPUS`, see bench/README.md); section 8 repeats the whole runs without it"
               if m.get("cpus") else "- Pinning: none (`BENCH_CPUS` empty)")
    lines = ["# Benchmarks", "",
             "Produced by `bench/run.sh` (see bench/README.md); the tables below come from one run of it.", "",
             f"- Date: {m['date']}; load average (1, 5, 15 min) at the start {' '.join(m['load'])}{load_end}"
             + (" — **quick run (BENCH_QUICK=1), smaller sizes**" if res.get("quick") else ""),
             f"- Machine: {m['cores']} cores ({m['cpu']}), {m['memory_mib']} MiB memory, Linux {m['kernel']}",
             f"- Wine: {m['wine']}, arch {arch} ({arch_note}); one persistent wineserver per prefix for the "
             "whole run; Xvfb display without a window manager. Sections 1–6: a prefix whose X11 driver "
             "leaves windows unmanaged (`HKCU\\Software\\Wine\\X11 Driver` `Managed`=`N`); section 7: "
             "the same prefix with Wine's defaults",
             f"- Server: {m['nginx']} on 127.0.0.1:{port} (sendfile on); {m['curl']}",
             pinning,
             f"- Each figure is the median of {res['repeat']} runs unless said otherwise; MiB = 2^20 bytes.", ""]
    lines += targets(res)

    # 1. Full update
    if "full" in res:
        lines += full_section(res)
    if "noop" in res:
        lines += noop_section(res)
    if "managed" in res:
        lines += whole_runs_section(res, "managed",
                                    "## 7. The same runs in a prefix with Wine's default window management")
    if "unpinned" in res:
        lines += whole_runs_section(res, "unpinned", "## 8. The same runs without pinning (prefix as in 1–6)")
    lines += core_section()
    if "growth" in res:
        lines += growth_section(res)
    if "full" in res and "growth" in res:
        lines += memory_section(res)
    if "experiments" in res:
        lines += experiments_section(res)
    if "link" in res:
        lines += link_section(res)
    if "maps" in res:
        lines += maps_section(res)
    return write(lines)


def targets(res):
    """Whole-run ratios against the targets: a full update at most 1.1 x the plain 4096-byte
    loop, and with the default transfers in flight at most 0.5 x; a no-op run at most 1.3 x the
    floor plus one catalogue fetch, both with Wine's start; through the link emulator at 60 ms, the
    default build's small-file run at most 1.5 x curl's with 8 transfers in flight."""
    rows = []
    pin = f", CPU {res['machine']['cpus']}" if res["machine"].get("cpus") else ""

    def row(what, prefix, upd, ref, limit):
        ratio = upd / ref
        rows.append((what, prefix, f"{upd:.2f} s / {ref:.2f} s", f"{ratio:.2f}", f"≤ {limit}",
                     "yes" if ratio <= limit else "no"))

    if "full" in res:
        r = res["full"]["runs"]
        row("full update (start → client started) / plain 4096-byte loop", "Managed=N" + pin,
            med(r["upd"], "client"), med(r["wf4k"], "wall"), 1.1)
        row("the same, default build (several transfers in flight)", "Managed=N" + pin,
            med(r["upd"], "client"), med(r["wf4k"], "wall"), 0.5)
    if "noop" in res:
        n = res["noop"]
        row("no-op run / floor + one catalogue fetch", "Managed=N" + pin,
            statistics.median(x["upd"]["client"] for x in n), statistics.median(x["cat"]["wall"] for x in n), 1.3)
    small60 = link_target_row(res)
    if small60:
        row("distant server, 60 ms: default build's small-file run / curl -Z --parallel-max 8",
            "Managed=N" + pin, *small60, 1.5)
    for key, prefix in (("managed", "defaults" + pin), ("unpinned", "Managed=N, unpinned")):
        if key not in res:
            continue
        mg = res[key]
        row("full update / plain 4096-byte loop", prefix, med(mg["upd"], "client"), med(mg["wf4k"], "wall"), 1.1)
        row("no-op run / floor + one catalogue fetch", prefix, med(mg["noop"], "client"), med(mg["cat"], "wall"),
            1.3)
    if not rows:
        return []
    return (["## Against the targets", ""]
            + table(["run", "prefix", "updater / reference (medians)", "ratio", "target", "met"], rows) + [""])


def whole_runs_section(res, key, title):
    mg = res[key]
    f = res.get("full", {})
    what = f"{f['files']} files, {f['bytes'] / MiB:.0f} MiB" if f else "the release of section 1"
    lines = [f"{title} ({what}, {len(mg['upd'])} rounds)", ""]
    upd, wf4 = med(mg["upd"], "client"), med(mg["wf4k"], "wall")
    noop, cat = med(mg["noop"], "client"), med(mg["cat"], "wall")
    lines += table(["run", "s (median)", "min–max", "×"], [
        ("updater, full update: start → client started", f"{upd:.2f}", rng(mg["upd"], "client"), f"{upd / wf4:.2f}"),
        ("updater, full update: start → updater process ended", f"{med(mg['upd'], 'end'):.2f}",
         rng(mg["upd"], "end"), f"{med(mg['upd'], 'end') / wf4:.2f}"),
        ("wininet_fetch, 4096-byte reads", f"{wf4:.2f}", rng(mg["wf4k"], "wall"), "1.00"),
        ("updater, no-op run: start → client started", f"{noop:.2f}", rng(mg["noop"], "client"),
         f"{noop / cat:.2f}"),
        ("floor + one catalogue fetch", f"{cat:.2f}", rng(mg["cat"], "wall"), "1.00"),
    ])
    ratios = [u["client"] / w["wall"] for u, w in zip(mg["upd"], mg["wf4k"])]
    lines += ["", "× is against the reference row below it (the plain loop for the full update, the floor plus "
              "one catalogue fetch for the no-op run). Full update / plain loop round by round: "
              + ", ".join(f"{x:.2f}" for x in ratios) + ".", ""]
    return lines


def full_section(res):
    lines = []
    f = res["full"]
    r = f["runs"]
    mib = f["bytes"] / MiB
    floor = med(r["triv"], "wall")
    wf4 = med(r["wf4k"], "wall")
    wf64 = med(r["wf64k"], "wall")
    curl = med(r["curl"], "wall")
    upd_c = med(r["upd"], "client")
    upd_e = med(r["upd"], "end")
    lines += [f"## 1. Full update on loopback: {f['files']} files, {mib:.0f} MiB, fresh install folder", ""]
    rows = [
        ("updater: start → client started", upd_c, rng(r["upd"], "client")),
        ("updater: start → updater process ended", upd_e, rng(r["upd"], "end")),
        ("(a) wininet_fetch, 4096-byte reads (wine start included)", wf4, rng(r["wf4k"], "wall")),
        ("(b) wininet_fetch, 65536-byte reads", wf64, rng(r["wf64k"], "wall")),
        ("(c) curl, same files one after another (one process, keep-alive)", curl, rng(r["curl"], "wall")),
        ("(d) wine + trivial program (the floor)", floor, rng(r["triv"], "wall")),
    ]
    out = []
    for name, s, span in rows:
        rate = f"{mib / s:.1f}" if "floor" not in name else "–"
        out.append((name, f"{s:.2f}", span, rate, f"{s / wf4:.2f}", f"{s / wf64:.2f}", f"{s / curl:.2f}",
                    f"{s / floor:.1f}"))
    lines += table(["run", "s (median)", "min–max", "MiB/s", "× (a)", "× (b)", "× (c)", "× (d)"], out)
    wf4_in = med(r["wf4k"], "inner")
    wf64_in = med(r["wf64k"], "inner")
    lines += ["", f"Target with the default build: the full update at most 0.5 × (a); here "
              f"{upd_c / wf4:.2f} × (a), {'met' if upd_c / wf4 <= 0.5 else 'not met'}."]
    lines += ["", f"Inside the fetch loops (without Wine's start): (a) {wf4_in:.2f} s = {mib / wf4_in:.1f} MiB/s, "
              f"{med(r['wf4k'], 'reads'):.0f} reads; (b) {wf64_in:.2f} s = {mib / wf64_in:.1f} MiB/s, "
              f"{med(r['wf64k'], 'reads'):.0f} reads. Without the floor: updater (to client) − floor = "
              f"{upd_c - floor:.2f} s against (a) − floor = {wf4 - floor:.2f} s, ratio "
              f"{(upd_c - floor) / (wf4 - floor):.2f}. Start → end minus start → client = "
              f"{upd_e - upd_c:.2f} s (the window closing after the client is started).", ""]

    return lines


def noop_section(res):
    lines = []
    n = res["noop"]
    nu_c = statistics.median(x["upd"]["client"] for x in n)
    nu_e = statistics.median(x["upd"]["end"] for x in n)
    cat = statistics.median(x["cat"]["wall"] for x in n)
    cat_in = statistics.median(x["cat"]["inner"] for x in n)
    nfloor = statistics.median(x["triv"]["wall"] for x in n)
    lines += ["## 2. No-op run (everything up to date)", ""]
    lines += table(["run", "s (median)", "× floor + catalogue fetch"], [
        ("updater: start → client started", f"{nu_c:.2f}", f"{nu_c / cat:.2f}"),
        ("updater: start → updater process ended", f"{nu_e:.2f}", f"{nu_e / cat:.2f}"),
        ("floor + one catalogue fetch (wininet_fetch of the catalogue: wine start, WinINet, one request)",
         f"{cat:.2f}", "1.00"),
        ("floor alone (wine + trivial program)", f"{nfloor:.2f}", f"{nfloor / cat:.2f}"),
    ])
    lines += ["", f"The catalogue request itself took {cat_in * 1000:.0f} ms inside the loop.", ""]

    return lines


def core_section():
    lines = []
    core, instr = core_figures()
    if not core:
        return lines
    lines += ["## 3. Engine core, native (RelWithDebInfo)", ""]
    rows = []
    for name, (value, count) in core.items():
        label = {"parse + plan (ParseCatalogue, BuildUpdatePlan)": "parse+plan",
                 "of which parse (incl. 300 folder creation attempts)": "parse",
                 "of which plan (600 local-time texts, 300 x 300 compares)": "plan",
                 "scan + parse + plan of the same folder": "scan300+parse+plan",
                 "scan (BuildLocalInventory)": "scan10000"}.get(name)
        what = {"scan (BuildLocalInventory)": "scan of 10,000 files in 100 folders (BuildLocalInventory)"}.get(
            name, name if "300" in name or "parse" in name else name)
        ins = f"{instr[label]:,}" if label in instr else "–"
        rows.append((what, f"{value:.1f}", ins, count))
    lines += table(["part", "µs (median of the runs' medians)", "instructions (callgrind, one run)",
                    "core_bench runs"], rows)
    lines += ["", "Each core_bench run takes the median of 51 (parse/plan), 21 and 11 (scan) timed runs after a "
              "warm-up; callgrind counts one run after the warm-up (client requests around the timed part).", ""]

    return lines


def growth_section(res):
    lines = []
    g = res["growth"]
    lines += ["## 4. Cost growth (updater, fresh install folder each run)", ""]
    rows = []
    for x in g:
        mb = x["bytes"] / MiB
        c = med(x["upd"], "client")
        w = med(x["wf4k"], "wall")
        rows.append((x["files"], f"{mb:.0f}", f"{c:.2f}", f"{mb / c:.1f}", f"{w:.2f}", f"{c / w:.2f}",
                     f"{max(y['hwm'] for y in x['upd']) / 1024:.1f}"))
    lines += table(["files", "MiB", "updater s (to client)", "MiB/s", "wininet_fetch 4096 s", "ratio",
                    "updater VmHWM MiB"], rows)
    counts = [x for x in g if x["kind"] == "count"]
    if len(counts) >= 2:
        a, b = counts[0], counts[-1]
        per_file = (med(b["upd"], "client") - med(a["upd"], "client")) / (b["files"] - a["files"])
        per_file_wf = (med(b["wf4k"], "wall") - med(a["wf4k"], "wall")) / (b["files"] - a["files"])
        lines += ["", f"Per extra file (same total size): updater {per_file * 1000:.1f} ms, wininet_fetch 4096 "
                  f"{per_file_wf * 1000:.1f} ms."]
    sizes = [x for x in g if x["kind"] == "size"]
    if len(sizes) >= 2:
        a, b = sizes[0], sizes[-1]
        dm = (b["bytes"] - a["bytes"]) / MiB
        lines += [f"Per extra MiB (one file): updater {(med(b['upd'], 'client') - med(a['upd'], 'client')) / dm * 1000:.1f}"
                  f" ms, wininet_fetch 4096 {(med(b['wf4k'], 'wall') - med(a['wf4k'], 'wall')) / dm * 1000:.1f} ms."]
    lines += [""]

    return lines


def memory_section(res):
    lines = []
    r = res["full"]["runs"]
    g = res["growth"]
    mib = res["full"]["bytes"] / MiB
    upd = r["upd"]
    triv = r["triv"]
    lines += [f"## 5. Memory (peak, from /proc/PID/status of the Wine process, polled every 20 ms)", ""]
    lines += table(["process", "VmHWM MiB (peak RSS)", "largest RssAnon seen MiB", "VmPeak MiB (address space)"], [
        (f"updater, {mib:.0f} MiB run (max of runs)", f"{max(x['hwm'] for x in upd) / 1024:.1f}",
         f"{max(x['anon'] for x in upd) / 1024:.1f}", f"{max(x['peak'] for x in upd) / 1024:.0f}"),
        ("trivial program (max of runs; polled every 5 ms)", f"{max(x['hwm'] for x in triv) / 1024:.1f}",
         f"{max(x['anon'] for x in triv) / 1024:.1f}", f"{max(x['peak'] for x in triv) / 1024:.0f}"),
    ])
    lines += ["", "Across the growth runs (section 4) the updater's VmHWM ranged "
              f"{min(min(y['hwm'] for y in x['upd']) for x in g) / 1024:.1f}–"
              f"{max(max(y['hwm'] for y in x['upd']) for x in g) / 1024:.1f} MiB for 1 MiB to "
              f"{max(x['bytes'] for x in g) / MiB:.0f} MiB and 1 to {max(x['files'] for x in g)} files.", ""]

    return lines


def experiments_section(res):
    lines = []
    e = res["experiments"]
    emib = e["bytes"] / MiB
    base = None
    rows = []
    for v in e["variants"]:
        s = med(v["runs"], "inner")
        if base is None:
            base = s
        rows.append((v["name"], f"{s:.2f}", f"{emib / s:.1f}", f"{s / base:.2f}", f"{med(v['runs'], 'reads'):.0f}"))
    lines += [f"## 6. WinINet under Wine: {e['files']} files, {emib:.0f} MiB, options of wininet_fetch", ""]
    lines += table(["variant", "s in the loop (median)", "MiB/s", "× plain 4096", "reads"], rows)
    lines += [""]

    return lines


DEFAULT_PARALLEL = "6"


def link_target_row(res):
    """The default build's small-file run at 60 ms and curl's, medians in seconds, or None."""
    for r in res.get("link", []):
        if r["files"] > 1 and r["rtt"] == 60 and r["upd"].get(DEFAULT_PARALLEL) and r["curl8"]:
            return med(r["upd"][DEFAULT_PARALLEL], "end"), med(r["curl8"], "wall")
    return None


def link_section(res):
    """Section 9: through the link emulator, the updater built with 1, 6 and 8 transfers in flight
    against curl with 8 in flight."""
    def release(r):
        return (f"{r['files']} × {r['bytes'] // r['files'] // 1024} KiB" if r["files"] > 1
                else f"1 × {r['bytes'] / MiB:.0f} MiB")

    builds = list(res["link"][0]["upd"])
    rows = []
    hwm = {}
    for r in res["link"]:
        size = release(r)
        hwm.setdefault(size, []).extend(x["hwm"] for runs in r["upd"].values() for x in runs)
        curl8 = med(r["curl8"], "wall")
        for n in builds:
            runs = r["upd"][n]
            upd = med(runs, "end")
            rows.append((size, r["rtt"], n + (" (default)" if n == DEFAULT_PARALLEL else ""), f"{upd:.2f}",
                         f"{curl8:.2f}", f"{upd / curl8:.2f}", f"{r['bytes'] * 8 / (r['mbit'] * 1e6):.2f}",
                         ", ".join(f"{x['hwm'] / 1024:.1f}" for x in runs),
                         f"{med(runs, 'connections'):.0f} / {med(r['curl8'], 'connections'):.0f}"))
    first = res["link"][0]
    lines = ["## 9. Distant server: the link emulator (tests/e2e/link_emulator.py) in front of nginx", "",
             "Each direction delayed by half a round trip, the downstream paced at the line's rate (one line "
             "shared by all connections), one round trip charged per new connection. The updater from its "
             "start to its end, built with `UPDATE_PARALLEL_TRANSFERS` 1, 6 (the default) and 8, each run "
             f"as TarnFileUpdater.exe in a fresh folder; curl `-Z --parallel-max 8`; {len(first['curl8'])} "
             f"run(s) each, at {first['mbit']:g} Mbit/s.", ""]
    lines += table(["release", "round trip ms", "transfers in flight", "updater s", "curl ×8 s", "updater / curl",
                    "bytes alone s", "updater VmHWM MiB (each run)", "connections (updater / curl)"], rows)
    small60 = link_target_row(res)
    if small60:
        ratio = small60[0] / small60[1]
        lines += ["", f"Target with the default build: at 60 ms the small-file run at most 1.5 × curl's; here "
                  f"{ratio:.2f} ×, {'met' if ratio <= 1.5 else 'not met'}."]
    lines += ["", "Updater VmHWM over all these runs: " + "; ".join(
        f"{name} {min(v) / 1024:.1f}–{max(v) / 1024:.1f} MiB" for name, v in hwm.items()) + "."]
    return lines + [""]


def maps_section(res):
    """Section 10: one large file, changed a little, fetched whole by the default updater and built
    from the old file's blocks by the one with block maps."""
    m = res["maps"]
    size = m["bytes"]
    rows = []
    for key, name in (("whole", "default build (the file whole)"), ("maps", "`UPDATE_BLOCK_MAPS=ON`")):
        runs = m[key]
        sent = med(runs, "sent")
        rows.append((name, f"{med(runs, 'client'):.2f}", rng(runs, "client"), f"{sent:,.0f}",
                     f"{100 * sent / size:.2f}", f"{med(runs, 'requests'):.0f}",
                     ", ".join(f"{x['hwm'] / 1024:.1f}" for x in runs)))
    lines = [f"## 10. Block maps on a distant line: one file of {m['mb']} MiB, {m['percent']:g} % changed", "",
             f"The new version has {m['percent']:g} % of its bytes replaced in {m['places']} places spread over it; "
             "the old version lies in a fresh install folder. The updater from its start until the client "
             f"started, through the link emulator at {m['rtt']} ms and {m['mbit']:g} Mbit/s, nginx behind it; "
             f"the staged tree holds the file's map ({m['map_bytes']:,} bytes). Bytes sent: the bodies in "
             "nginx's access log, catalogue and map included; requests likewise. The installed file was "
             f"checked byte for byte against the new version after every run. {len(m['maps'])} run(s) each.", ""]
    lines += table(["updater", "s to client (median)", "min–max", "bytes sent", "% of the file", "requests",
                    "VmHWM MiB (each run)"], rows)
    lines += ["", f"The whole file alone takes {size * 8 / (m['mbit'] * 1e6):.1f} s at the line's rate.", "",
              "The map code's speed under Wine (`blockmap_bench`, files in memory):", ""]
    lines += [f"    {line}" for line in m["scan"]]
    return lines + [""]


def write(lines):
    text = "\n".join(lines) + "\n"
    kept = ""
    if DOC.exists():
        old = DOC.read_text()
        if MARKER in old:
            kept = old[old.index(MARKER):]
    if not kept:
        kept = MARKER + "\n"
    DOC.parent.mkdir(parents=True, exist_ok=True)
    DOC.write_text(text + "\n" + kept)
    print(text)
    print(f"written to {DOC}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
