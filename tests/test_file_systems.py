# The file promises on every kind of disk users write to: made as a small loop image each, mounted once for its cases.
import contextlib, os

import pytest

from conftest import BRELPACK, BRELSPLIT, DISKS, FUSE, GENERIC_POSIX, files_below, hidden, loop_disk, put, run, sh, viv

@pytest.fixture(scope="module", params=DISKS)
def disk(request, tmp_path_factory):
    with loop_disk(request.param, tmp_path_factory.mktemp("disks")) as mounted:
        yield request.param, mounted


def mode(path):
    return os.stat(path).st_mode & 0o7777


def test_packing_and_unpacking_make_and_replace_files_whole(disk, tmp_path):
    kind, disk = disk
    work = disk / "replace"
    put(work, {"in": os.urandom(200 << 10), "small": b"s" * 300, "out.viv": b"BIGF old", "sub/a": b"old a", "sub/b": b"bbb"})
    with contextlib.suppress(OSError):  # where the file system keeps modes
        os.chmod(work / "out.viv", 0o640), os.chmod(work / "sub/a", 0o600)
    modes = mode(work / "out.viv"), mode(work / "sub/a")
    for archive, inputs in (("new.viv", ["in", "small"]), ("out.viv", ["in", "small"]), ("out.viv", ["out.viv", "in"])):
        expected = viv(*((name, (work / name).read_bytes()) for name in inputs))
        result = run(BRELPACK, archive, *inputs, cwd=work)
        assert (result.stderr, result.returncode, (work / archive).read_bytes()) == (b"", 0, expected), kind
    entries = {"sub/a": b"new a, longer", "sub/b": b"BBB", "big": os.urandom(100 << 10)}  # b: a same-length rewrite
    put(tmp_path, {"a.viv": viv(*entries.items())})
    for _ in range(2):  # into folders where the files are missing, then over them
        result = run(BRELSPLIT, tmp_path / "a.viv", cwd=work)
        assert (result.stderr, result.returncode) == (b"", 0) and files_below(work).items() >= entries.items(), kind
    assert (mode(work / "out.viv"), mode(work / "sub/a"), hidden(work), hidden(work / "sub")) == (*modes, [], [])


@pytest.mark.parametrize("fault, left", [("raise 2", 0), ("raise 9", 1)], ids=["Ctrl+C", "kill"])
def test_a_stop_part_way_leaves_the_old_files_and_at_most_the_hidden_file_a_kill_leaves(disk, tmp_path, fault, left):
    kind, disk = disk
    work = disk / fault.replace(" ", "")
    before = {"in": b"i" * (50 << 10), "out.viv": b"BIGF old", "x": b"old x"}
    put(work, before | {"a.viv": viv(("x", b"n" * (50 << 10)))})
    before["a.viv"] = (work / "a.viv").read_bytes()
    for program, arguments, at in ((BRELPACK, ["out.viv", "in"], "open:in:"), (BRELSPLIT, ["a.viv"], "write:")):
        assert run(program, *arguments, cwd=work, fault=at + fault).returncode == -int(fault[-1]), kind
    # a kill leaves the file being written under its hidden name, where the file system can't make one without a name
    assert len(hidden(work)) == 2 * left * (kind in FUSE or GENERIC_POSIX), kind
    assert {name: data for name, data in files_below(work).items() if name not in hidden(work)} == before


def test_a_full_disk_leaves_the_old_files_and_nothing_else(disk):
    kind, disk = disk
    work = disk / "full"
    before = {"in": os.urandom(1 << 20), "out.viv": b"BIGF old", "x": b"old x", "a.viv": viv(("x", os.urandom(2 << 20)))}
    put(work, before)
    sh("dd", "if=/dev/zero", f"of={disk}/fill", "bs=256k")  # until the disk is full
    sh("sync")
    try:
        for program, arguments in ((BRELPACK, ["out.viv", "in"]), (BRELSPLIT, ["a.viv"])):
            result = run(program, *arguments, cwd=work)
            full = b"Operation not permitted" if kind == "fat" else b"No space left on device"  # fusefat's own word
            assert (result.returncode, result.stderr.count(b"\n"), full in result.stderr) == (2, 1, True), result.stderr
        assert (files_below(work), sorted(os.listdir(work))) == (before, sorted(before)), kind
    finally:
        os.remove(disk / "fill")


# Written over meanwhile by another program (in the same second, where the file system keeps coarse times), an old
# archive that is no archive by then is kept.
def test_an_archive_written_over_meanwhile_with_what_is_no_archive_is_kept(disk):
    kind, disk = disk
    work = disk / "over"
    put(work, {"in": b"data", "out.viv": b"BIGFold"})
    result = run(BRELPACK, "out.viv", "in", cwd=work, fault="opened:in:printf notes12 | dd of=out.viv conv=notrunc status=none")
    assert (result.returncode, (work / "out.viv").read_bytes(), hidden(work)) == (2, b"notes12", []), kind
