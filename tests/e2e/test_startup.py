"""The updater's start-up under Wine: single instance, a running client (restart argument, wake-up
handshake, termination by image name), the obsolete files, and the executable's resources.

"The update runs" is observed as the catalogue request at the test server and the client being
started from the install folder at the end of the run (install/standin.log), which every run does.
Whether the updater owns the client mutex during its run is probed while the server holds the
catalogue reply back."""
import os
import time

import pytest

from startup_support import OBSOLETE, CatalogueServer, Scene, wait_until

PORT = int(os.environ.get("TARN_TEST_PORT", "18380"))

# The restart pause and the time limit of one timed send.
PAUSE = 2.0
# Start-up work without any pause stays well below the pause; generous for a loaded machine.
NO_PAUSE = 1.8
# How long a started run may take to reach its end (the client start).
RUN_TIMEOUT = 30


@pytest.fixture
def server():
    s = CatalogueServer(PORT)
    yield s
    s.close()


@pytest.fixture
def scene(wine, tmp_path, server):
    s = Scene(wine, tmp_path)
    s.server = server
    yield s
    s.close()


def wait_client_started(scene, count=1, timeout=RUN_TIMEOUT):
    assert wait_until(lambda: len(scene.client_starts()) >= count, timeout), \
        f"the client was not started at the end of a run: {scene.client_starts()}"
    return scene.client_starts()


def assert_update_ran(scene):
    """One run: the catalogue requested, then the client started from the install folder."""
    (start,) = wait_client_started(scene)
    install = scene.wine.unix_to_windows(scene.install)
    assert start.fields["cwd"].lower() == install.lower()
    assert start.fields["cmdline"].lower().rstrip('"').endswith("pimfile.exe")
    requests = scene.server.catalogue_requests()
    assert len(requests) == 1, scene.server.requests
    assert requests[0] <= start.time + 0.05


def probe_client_mutex_during_run(scene):
    """Holds the catalogue reply, probes the client mutex while the updater waits for it, lets the
    reply go. Returns the probe's verdict: free, abandoned, owned-elsewhere."""
    assert wait_until(lambda: scene.server.catalogue_requests(), RUN_TIMEOUT), "no catalogue request"
    try:
        (probe,) = [l for l in scene.tool("--probe") if l.event == "probe"]
    finally:
        scene.server.hold.set()
    return probe.fields["client"]


def deletion_delay(scene, run, name="Probe.exe", timeout=RUN_TIMEOUT):
    """Seconds from the updater's start to the deletion of an obsolete file in its current directory."""
    gone = wait_until(lambda: not (scene.cwd / name).exists(), timeout)
    assert gone is not None, f"{name} was not deleted"
    return gone - run.t0


def assert_nothing_happened(scene, run_time, *clients):
    """The updater ended at once: nothing deleted, no client started, the clients left alone."""
    assert run_time < NO_PAUSE, f"the updater took {run_time:.2f} s"
    time.sleep(0.5)  # a start of the client at the end of a run would show by now
    assert scene.present(scene.cwd) == sorted(OBSOLETE)
    assert scene.client_starts() == []
    assert scene.server.requests == []
    for c in clients:
        assert c.alive


# --- single instance -------------------------------------------------------------------------

@pytest.mark.parametrize("tail", ["", "-restart"])
def test_second_updater_ends_at_once(scene, tail):
    scene.put_obsolete(scene.cwd)
    scene.start_standin("otherupdater.exe", "--updater-mutex")
    client = scene.start_standin("tarnm.exe", "--mutex", "--window", "answer")
    run = scene.start_updater(tail)
    run_time = run.wait_end()
    assert_nothing_happened(scene, run_time, client)
    assert client.lines("wakeup") == []


def test_second_updater_while_one_runs(scene):
    client = scene.start_standin("tarnm.exe", "--window", "answer")  # window only, no mutex
    scene.server.hold.clear()
    first = scene.start_updater("")
    assert wait_until(lambda: scene.server.catalogue_requests(), RUN_TIMEOUT)
    try:
        cwd2 = scene.root / "cwd2"
        cwd2.mkdir()
        scene.put_obsolete(cwd2)
        second = scene.start_updater("-restart", cwd=cwd2)
        run_time = second.wait_end()
        assert run_time < NO_PAUSE, f"the second updater took {run_time:.2f} s"
        assert scene.present(cwd2) == sorted(OBSOLETE)
        assert len(scene.server.catalogue_requests()) == 1
        assert client.lines("wakeup") == [] and client.alive
    finally:
        scene.server.hold.set()
    first.wait_end()
    assert_update_ran(scene)


# --- no client running -----------------------------------------------------------------------

@pytest.mark.parametrize("tail", ["", "-restart"])
def test_no_client_no_pause_no_handshake(scene, tail):
    scene.put_obsolete(scene.cwd)
    # Processes and a window of the client's names, but nobody holds the client mutex.
    window = scene.start_standin("pimfile.exe", "--window", "answer")
    other = scene.start_standin("tarnm.exe", "--lifetime", "30000")
    scene.server.hold.clear()
    run = scene.start_updater(tail)
    delay = deletion_delay(scene, run)
    assert delay < NO_PAUSE
    print(f"no client: obsolete file deleted {delay:.3f} s after the start")
    # The updater took the client mutex at its start and keeps it through the run.
    assert probe_client_mutex_during_run(scene) == "owned-elsewhere"
    assert_update_ran(scene)
    run.wait_end()
    assert window.lines("wakeup") == []
    assert window.alive and other.alive


def test_abandoned_client_mutex_counts_as_taken(scene):
    scene.put_obsolete(scene.cwd)
    # The keeper holds a handle only, so the mutex outlives the client that abandons it; it also
    # has the client's window, which would receive a handshake.
    keeper = scene.start_standin("pimfile.exe", "--open-mutex", "--window", "answer")
    gone = scene.start_standin("tarnm.exe", "--mutex", "--abandon", wait_for="abandon")
    assert gone.lines("mutex")[0].fields == {"client": "taken", "existed": "1"}
    assert wait_until(lambda: not gone.alive, 10)
    scene.server.hold.clear()
    run = scene.start_updater("")
    assert deletion_delay(scene, run) < NO_PAUSE
    # Taken over from the client that abandoned it, and kept.
    assert probe_client_mutex_during_run(scene) == "owned-elsewhere"
    assert_update_ran(scene)
    run.wait_end()
    assert keeper.lines("wakeup") == []
    assert keeper.alive


# --- client running, restart argument --------------------------------------------------------

@pytest.mark.parametrize("quoted,blanks", [(True, b" "), (False, b"    \t")],
                         ids=["quoted-name", "blanks-and-tab-before-tail"])
def test_restart_pauses_then_terminates_both_images(scene, quoted, blanks):
    scene.put_obsolete(scene.cwd)
    tarnm = scene.start_standin("tarnm.exe", "--mutex", "--window", "answer")
    pimfile = scene.start_standin("pimfile.exe", "--window", "answer")
    scene.server.hold.clear()
    run = scene.start_updater(cmdline=scene.command_line(blanks + b"-restart", quoted=quoted))
    delay = deletion_delay(scene, run)
    # Left abandoned by the terminated client: the updater does not take it again.
    assert probe_client_mutex_during_run(scene) == "abandoned"
    assert wait_until(lambda: not tarnm.alive and not pimfile.alive, 10), \
        f"a client process survived: {[c.exe.name for c in (tarnm, pimfile) if c.alive]}"
    for c in (tarnm, pimfile):
        assert c.terminated()
        stopped = c.ended_at - run.t0
        assert PAUSE <= stopped < PAUSE + 2.0, f"{c.exe.name} stopped {stopped:.2f} s after the start"
        # No window search, no wake-up message.
        assert c.lines("wakeup") == []
    assert PAUSE <= delay < PAUSE + 2.0
    assert_update_ran(scene)
    print(f"restart: obsolete file deleted {delay:.3f} s, client stopped "
          f"{tarnm.ended_at - run.t0:.3f} s after the start")


# --- client running, handshake ---------------------------------------------------------------

@pytest.mark.parametrize("tail", ["", "-Restart", "-restart ", "-restart x", "-RESTART"],
                         ids=["empty", "capital", "trailing-blank", "further-word", "upper"])
def test_answering_client_keeps_running_and_updater_ends(scene, tail):
    scene.put_obsolete(scene.cwd)
    client = scene.start_standin("tarnm.exe", "--mutex", "--window", "answer")
    other = scene.start_standin("pimfile.exe", "--lifetime", "30000")
    run = scene.start_updater(tail)
    run_time = run.wait_end()
    assert_nothing_happened(scene, run_time, client, other)
    # Two sends to its window, then the broadcast: the same registered message three times.
    wakeups = client.lines("wakeup")
    assert len(wakeups) == 3, wakeups
    assert len({w.fields["msg"] for w in wakeups}) == 1
    assert all(w.fields["wparam"] == "0" and w.fields["lparam"] == "0" for w in wakeups)
    assert int(wakeups[0].fields["msg"]) >= 0xC000  # a registered message
    assert client.lines("keydown") == []
    print(f"handshake answered: updater ended after {run_time:.3f} s, "
          f"wake-ups at +{wakeups[0].time - run.t0:.3f}/+{wakeups[1].time - run.t0:.3f}/"
          f"+{wakeups[2].time - run.t0:.3f} s")


def test_hung_client_is_terminated_after_one_timed_send(scene):
    scene.put_obsolete(scene.cwd)
    hung = scene.start_standin("tarnm.exe", "--mutex", "--window", "hang")
    other = scene.start_standin("pimfile.exe", "--lifetime", "30000")
    scene.server.hold.clear()
    run = scene.start_updater("")
    assert wait_until(lambda: not hung.alive, 15), "the hung client was not terminated"
    stopped = hung.ended_at - run.t0
    # One send of 2000 ms, no second one: well under two limits.
    assert PAUSE <= stopped < 2 * PAUSE - 0.3, f"terminated {stopped:.2f} s after the start"
    assert hung.terminated()
    assert wait_until(lambda: not other.alive, 10) and other.terminated()
    assert deletion_delay(scene, run) < stopped + NO_PAUSE
    assert probe_client_mutex_during_run(scene) == "abandoned"
    assert_update_ran(scene)
    print(f"hung client: terminated {stopped:.3f} s after the start")


def test_client_mutex_without_window_updates_and_terminates_nothing(scene):
    scene.put_obsolete(scene.cwd)
    owner = scene.start_standin("tarnm.exe", "--mutex")
    other = scene.start_standin("pimfile.exe", "--lifetime", "30000")
    run = scene.start_updater("")
    assert deletion_delay(scene, run) < NO_PAUSE
    assert_update_ran(scene)
    run.wait_end()
    time.sleep(0.3)
    assert owner.alive and other.alive


# --- termination by image name ---------------------------------------------------------------

def test_one_call_terminates_only_the_first_process_of_a_name(scene):
    owner = scene.start_standin("TarnM.exe", "--mutex")
    first = scene.start_standin("pimfile.exe", "--lifetime", "30000")
    second = scene.start_standin("pimfile.exe", "--lifetime", "30000")
    order = [pid for pid, name in scene.snapshot() if name.lower() == "pimfile.exe"]
    assert sorted(order) == sorted([first.windows_pid, second.windows_pid])
    run = scene.start_updater("-restart")
    assert_update_ran(scene)
    run.wait_end()
    assert wait_until(lambda: not owner.alive, 10) and owner.terminated()  # other letter case
    time.sleep(0.5)
    by_pid = {first.windows_pid: first, second.windows_pid: second}
    assert by_pid[order[0]].terminated(), "the first pimfile.exe in snapshot order was not terminated"
    assert by_pid[order[1]].alive, "the second pimfile.exe was terminated as well"


def test_updater_never_terminates_itself(wine, tmp_path, server):
    # Its own image name contains "pimfile.exe" in other letter case.
    scene = Scene(wine, tmp_path, updater_name="OldPimFile.exe")
    scene.server = server
    try:
        owner = scene.start_standin("newtarnm.exe", "--mutex")  # merely contains "tarnm.exe"
        run = scene.start_updater("-restart")
        assert wait_until(lambda: not owner.alive, 10) and owner.terminated()
        # It went on with the run: the client was started at its end, and it ended by itself.
        assert_update_ran(scene)
        run.wait_end()
        # A process terminated with its own exit code would report STILL_ACTIVE (259).
        assert run.lines("ended")[0].fields["code"] == "0"
    finally:
        scene.close()


# --- obsolete files --------------------------------------------------------------------------

def test_obsolete_files_are_deleted_from_the_current_directory_only(scene):
    scene.put_obsolete(scene.cwd, read_only=["rvxcodec.dll"])
    scene.put_obsolete(scene.install)
    (scene.cwd / "Cmp32_v2.dll.bak").write_bytes(b"keep")
    (scene.cwd / "sub").mkdir()
    (scene.cwd / "sub" / "Probe.exe").write_bytes(b"keep")
    scene.run_updater("")
    assert_update_ran(scene)
    assert scene.present(scene.cwd) == []
    assert scene.present(scene.install) == sorted(OBSOLETE)
    assert (scene.cwd / "Cmp32_v2.dll.bak").exists()
    assert (scene.cwd / "sub" / "Probe.exe").exists()


def test_no_obsolete_files_nothing_happens(scene):
    (scene.cwd / "keep.txt").write_bytes(b"keep")
    scene.run_updater("")
    assert_update_ran(scene)
    assert sorted(p.name for p in scene.cwd.iterdir()) == ["keep.txt"]


def test_obsolete_files_at_a_drive_root(scene):
    # A drive letter of this prefix mapped to a fresh folder: the current directory text "X:\"
    # ends in a backslash, so the paths hold two in a row.
    dosdevices = scene.wine.prefix / "dosdevices"
    letter = next((l for l in "tuvwxy" if not (dosdevices / f"{l}:").exists()), None)
    if letter is None:
        pytest.skip("no free drive letter in the prefix")
    root = scene.root / "drive"
    root.mkdir()
    scene.put_obsolete(root, read_only=["Probe.exe"])
    link = dosdevices / f"{letter}:"
    link.symlink_to(root)
    try:
        scene.run_updater("", cwd=f"{letter.upper()}:\\")
        assert_update_ran(scene)
        assert scene.present(root) == []
    finally:
        link.unlink()


# --- resources -------------------------------------------------------------------------------

def test_version_and_manifest_resources(scene):
    lines = scene.tool("--resources", scene.wine.unix_to_windows(scene.updater))
    by_event = {}
    for l in lines:
        by_event.setdefault(l.event, []).append(l)
    assert "error" not in by_event, by_event.get("error")
    (version,) = by_event["version"]
    assert version.fields == {"file": "1.0.0.2", "product": "1.0.0.2"}
    strings = {k: v for l in by_event["version-string"] for k, v in l.fields.items() if k != "block"}
    assert strings == {"FileVersion": "1.0.0.2", "ProductVersion": "1.0.0.2"}
    (manifest,) = by_event["manifest"]
    text = manifest.raw
    assert 'level="requireAdministrator"' in text
    assert 'uiAccess="false"' in text
    # The classic common controls: nothing of the window needs version 6.
    assert "Common-Controls" not in text and "<dependency" not in text
