# The Debian package as a user installs it, and the manual pages as man shows them.
import os
import subprocess
from pathlib import Path

from conftest import names_below, put, run

SOURCE, BUILD, VERSION = (os.environ.get(name, "") for name in ("BREL_SOURCE", "BREL_BUILD", "BREL_VERSION"))


def test_the_debian_package_installs_both_programs_their_pages_and_the_readme(tmp_path):
    subprocess.run(["cpack", "-B", tmp_path, "--config", f"{BUILD}/CPackConfig.cmake"], check=True, capture_output=True)
    package = tmp_path / f"brel-tools_{VERSION}_amd64.deb"
    subprocess.run(["dpkg-deb", "-x", package, tmp_path / "root"], check=True)
    assert [name for name in names_below(tmp_path / "root") if (tmp_path / "root" / name).is_file()] == [
        "usr/bin/brelpack", "usr/bin/brelsplit", "usr/share/doc/brel-tools/README.md",
        "usr/share/man/man1/brelpack.1.gz", "usr/share/man/man1/brelsplit.1.gz"]
    put(tmp_path, {"in/a": b"data", "out/.keep": b""})
    assert run(tmp_path / "root/usr/bin/brelpack", "../a.viv", "a", cwd=tmp_path / "in").returncode == 0
    assert run(tmp_path / "root/usr/bin/brelsplit", "../a.viv", cwd=tmp_path / "out").returncode == 0
    assert (tmp_path / "out/a").read_bytes() == b"data"


def test_the_manual_pages_render_without_warnings():
    for page in Path(SOURCE, "man").glob("*.1"):
        shown = subprocess.run(["man", "--warnings=w", "-l", page], capture_output=True,
                               env=dict(os.environ, MANWIDTH="80"))
        assert (shown.returncode, shown.stderr) == (0, b"") and b"EXIT STATUS" in shown.stdout, page
