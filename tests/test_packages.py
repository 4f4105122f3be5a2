# The Debian package as a user installs it and as Debian's checker judges it, and the manual pages as man shows them.
import gzip, os, re, shutil, subprocess
from pathlib import Path

import pytest

from conftest import BRELPACK, files_below, names_below, put, run, viv

SOURCE, BUILD, VERSION, BUILD_TYPE = (os.environ.get(f"BREL_{name}", "") for name in ("SOURCE", "BUILD", "VERSION",
                                                                                     "BUILD_TYPE"))
SANITIZED = os.environ.get("BREL_SANITIZED") == "1"


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    folder = tmp_path_factory.mktemp("package")
    subprocess.run(["cpack", "-B", folder, "--config", f"{BUILD}/CPackConfig.cmake"], check=True, capture_output=True)
    return folder / f"brel-tools_{VERSION}_amd64.deb"


def test_the_debian_package_installs_both_programs_their_pages_and_the_documents(package, tmp_path):
    subprocess.run(["dpkg-deb", "-x", package, root := tmp_path / "root"], check=True)
    assert [name for name in names_below(root) if (root / name).is_file()] == [
        "usr/bin/brelpack", "usr/bin/brelsplit", "usr/share/doc/brel-tools/README.md.gz",
        "usr/share/doc/brel-tools/changelog.gz", "usr/share/doc/brel-tools/copyright",
        "usr/share/man/man1/brelpack.1.gz", "usr/share/man/man1/brelsplit.1.gz"]
    changelog = gzip.decompress((root / "usr/share/doc/brel-tools/changelog.gz").read_bytes())
    assert changelog.startswith(f"brel-tools ({VERSION}) ".encode()), "the changelog's last entry is another version"
    put(tmp_path, {"in/a": b"data", "out/.keep": b""})
    assert run(root / "usr/bin/brelpack", "../a.viv", "a", cwd=tmp_path / "in").returncode == 0
    assert run(root / "usr/bin/brelsplit", "../a.viv", cwd=tmp_path / "out").returncode == 0
    assert (tmp_path / "out/a").read_bytes() == b"data"


# Release builds are hardened as Debian builds its packages; lintian reports what is missing as info.
@pytest.mark.skipif(shutil.which("lintian") is None, reason="lintian is not installed (Debian package lintian)")
def test_lintian_finds_nothing_wrong_with_the_debian_package(package):
    checked = subprocess.run(["lintian", "--display-info", package], capture_output=True, text=True)
    hardened = BUILD_TYPE in ("Release", "RelWithDebInfo") and not SANITIZED
    found = [line for line in checked.stdout.splitlines()
             if re.match(r"[EW]: ", line) or (hardened and re.match(r"I: \S+: hardening-", line))]
    assert (checked.returncode, found) == (0, []), checked.stdout


def test_the_manual_pages_render_without_warnings():
    for page in Path(SOURCE, "man").glob("*.1"):
        shown = subprocess.run(["man", "--warnings=w", "-l", page], capture_output=True,
                               env=dict(os.environ, MANWIDTH="80"))
        assert (shown.returncode, shown.stderr) == (0, b"") and b"EXIT STATUS" in shown.stdout, page


# The README's examples as written, each from the same folder, with the programs on the PATH and no terminal.
def test_the_readmes_examples_pack_a_tree_and_unpack_it_into_a_new_folder(tmp_path):
    readme = Path(SOURCE, "README.md").read_text()
    blocks = re.findall(r"```sh\n(.*?)```", readme[readme.index("## Examples"):readme.index("## Limits")], re.S)
    tree = {"car.dat": b"car", "textures/body.tga": b"body", "textures/wheel.tga": b"wheel", "textures/x/y.tga": b"y"}
    put(tmp_path, tree | {"src/" + name: data for name, data in tree.items()})
    for block in blocks:
        result = run("bash", "-c", block, cwd=tmp_path, env={"PATH": f"{Path(BRELPACK).parent}:{os.environ['PATH']}"})
        assert result.returncode == 0, (block, result.stderr)
    assert (tmp_path / "cars.viv").read_bytes() == viv(*sorted(tree.items()))
    assert files_below(tmp_path / "out") == tree and (tmp_path / "car.viv").exists()
