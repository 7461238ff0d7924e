"""Shared fixtures for the end-to-end tests: the Windows build under test, Wine with the Korean
locale, and a virtual X display for programs that open windows.

Every test that runs a Windows program goes through `wine.run` or `wine.start`, which apply the
project's prefix, locale and a time-out (scripts/wine-env.sh)."""
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TEST_PORT = int(os.environ.get("TARN_TEST_PORT", "18380"))


def _wine_environment():
    out = subprocess.run(
        ["bash", "-c", f"source '{ROOT}/scripts/wine-env.sh' && tarn_wine_prefix && env -0"],
        check=True, capture_output=True)
    env = {}
    for item in out.stdout.split(b"\0"):
        if b"=" in item:
            k, v = item.split(b"=", 1)
            env[k.decode()] = v.decode(errors="replace")
    return env


class Wine:
    """Runs Windows programs of the matching build under the project's Wine prefix."""

    def __init__(self, env, display):
        self.env = dict(env)
        if display:
            self.env["DISPLAY"] = display
        self.loader = self.env["WINE"]
        self.build = Path(self.env["TARN_WIN_BUILD"])
        self.arch = self.env["TARN_WINE_ARCH"]
        self.prefix = Path(self.env["WINEPREFIX"])

    def exe(self, relative):
        """Path of a built program, e.g. exe('TarnFileUpdater.exe')."""
        p = self.build / relative
        if not p.exists():
            matches = list(self.build.rglob(Path(relative).name))
            if matches:
                return matches[0]
        return p

    def unix_to_windows(self, path):
        """Z:\\... form of a Unix path, as Windows programs see it."""
        return "Z:" + str(Path(path).resolve()).replace("/", "\\")

    def windows_to_unix(self, winpath):
        out = subprocess.run([self.loader, "winepath", "-u", winpath], env=self.env,
                             capture_output=True, text=True, timeout=60)
        return Path(out.stdout.strip())

    def start(self, program, *args, cwd=None, extra_env=None, stdout=None, stderr=None):
        """Starts a program. Output goes to the given files (default: discarded), never to pipes:
        Wine's background services can inherit a pipe and keep it open long after the program."""
        env = dict(self.env)
        if extra_env:
            env.update(extra_env)
        return subprocess.Popen([self.loader, str(program), *map(str, args)], cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL,
                                stdout=stdout if stdout is not None else subprocess.DEVNULL,
                                stderr=stderr if stderr is not None else subprocess.DEVNULL)

    def run(self, program, *args, cwd=None, timeout=120, extra_env=None):
        """Runs a program to its end; returns its exit code and its output as bytes."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = self.start(program, *args, cwd=cwd, extra_env=extra_env, stdout=out, stderr=err)
            try:
                p.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
                err.seek(0)
                raise AssertionError(f"{program} did not end within {timeout} s:\n"
                                     f"{err.read().decode(errors='replace')}")
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(p.args, p.returncode, out.read(), err.read())


@pytest.fixture(scope="session")
def display():
    """A virtual X display for the whole session."""
    if not shutil.which("Xvfb"):
        pytest.skip("Xvfb is not installed")
    # Xvfb picks a free display number itself and writes it to the pipe once it listens.
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        num = pipe.readline().strip()
    if not num.isdigit():
        proc.kill()
        raise RuntimeError("Xvfb did not start")
    yield f":{num}"
    proc.terminate()
    proc.wait(timeout=10)


@pytest.fixture(scope="session")
def wine_env():
    return _wine_environment()


@pytest.fixture(scope="session")
def wine(wine_env, display):
    w = Wine(wine_env, display)
    # Keep one wineserver alive for the session: programs then start in a fraction of a second.
    server = subprocess.Popen(["/usr/bin/wineserver", "-f", "-p"], env=w.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The first program of a session starts Wine's background services; let that happen here.
    subprocess.run([w.loader, "cmd", "/c", "exit"], env=w.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    yield w
    subprocess.run(["/usr/bin/wineserver", "-k"], env=w.env, capture_output=True)
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
