"""The compiled-in settings are checked when CMake configures: the catalogue URL's form, the
public key's and the number of transfers in flight."""
import subprocess

import pytest

from run_support import ROOT

KEY = "ecdsa-p256:" + "0123456789abcdef" * 8


def check(tmp_path, url, key, *parallel):
    script = tmp_path / "check.cmake"
    extra = "".join(f' "{p}"' for p in parallel)
    script.write_text(f'include("{ROOT}/cmake/build_settings.cmake")\n'
                      f'tarn_check_build_settings("{url}" "{key}"{extra})\n')
    return subprocess.run(["cmake", "-P", str(script)], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("url,key", [
    ("http://h/dedivur/update/pim", ""),
    ("https://h:8443/dedivur/update/pim", ""),
    ("https://127.0.0.1:18381/dedivur/update/pim", KEY),
])
def test_accepted(tmp_path, url, key):
    r = check(tmp_path, url, key)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("url,key,reason", [
    ("ftp://h/dedivur/update/pim", "", "UPDATE_CATALOGUE_URL must look like"),
    ("https://h/dedivur/update/pim2", "", "UPDATE_CATALOGUE_URL must look like"),
    ("http://h/dedivur/update/pim", KEY[:-1], "128 hex digits"),
    ("http://h/dedivur/update/pim", KEY + "0", "128 hex digits"),
    ("http://h/dedivur/update/pim", KEY.upper(), "UPDATE_PUBLIC_KEY must be empty"),
    ("http://h/dedivur/update/pim", "ed25519:" + "00" * 32, "UPDATE_PUBLIC_KEY must be empty"),
    ("http://" + "h" * 227 + "/dedivur/update/pim", KEY, "too long for '<URL>.sig'"),
])
def test_refused(tmp_path, url, key, reason):
    r = check(tmp_path, url, key)
    assert r.returncode != 0
    assert reason in r.stderr, r.stderr


URL = "http://h/dedivur/update/pim"


@pytest.mark.parametrize("parallel,accepted", [
    ("1", True), ("8", True), ("0", False), ("9", False), ("-1", False), ("6.0", False), ("six", False),
    ("", False), ("16", False),
])
def test_parallel_transfers(tmp_path, parallel, accepted):
    r = check(tmp_path, URL, "", parallel)
    assert (r.returncode == 0) == accepted, r.stderr
    if not accepted:
        assert "UPDATE_PARALLEL_TRANSFERS must be a whole number from 1 to 8" in r.stderr, r.stderr
