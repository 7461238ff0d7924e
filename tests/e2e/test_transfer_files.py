"""Targets whose full Windows path is at the limit: the download must never need a longer name
than the target's own, so files of 255 and 259 bytes are created and then updated."""
import pytest

from httpserver import HttpServer
from run_support import PORT, Install, assert_matches_release, make_release, publish


def long_name(install, full_length):
    """A path below a folder "deep" whose full Windows path has full_length bytes."""
    room = full_length - len(install.windows_path) - len("\\deep\\")
    assert 20 <= room <= 200, room
    return "deep/" + "n" * (room - 4) + ".bin"


@pytest.mark.parametrize("full_length", [255, 259])
def test_file_at_the_path_limit_is_created_and_updated(wine, tmp_path, full_length):
    install = Install(wine, tmp_path / "install")
    rel = long_name(install, full_length)
    assert len(install.windows_path + "\\" + rel) == full_length
    www = tmp_path / "www"
    with HttpServer(root=www, port=PORT):
        for version, data in enumerate([b"first " * 1000, b"second " * 3000]):
            release = make_release(tmp_path / f"release{version}", {rel: (data, 1_600_000_000 + version * 3600)})
            publish(release, www)
            install.run()
            assert_matches_release(install, release)
            assert sorted(p.name for p in (install.dir / "deep").iterdir()) == [rel.split("/")[1]]
