# brelpack as a user runs it: the archive's bytes, and failures that leave an earlier archive as it was.
import errno
import os
import subprocess

import pytest

from conftest import BRELPACK, ENCODED, ENCODER_BANNER, PROMPT, be32, names_below, put, run, viv


def test_packs_two_files_as_the_header_and_directory_describe(tmp_path):
    put(tmp_path, {"a": b"abc", "b": b"defgh"})
    result = run(BRELPACK, "out.viv", "a", "b", cwd=tmp_path)
    assert (result.stdout, result.stderr, result.returncode) == (ENCODER_BANNER + ENCODED, b"", 0)
    assert (tmp_path / "out.viv").read_bytes() == (b"BIGF" + be32(44) + be32(2) + be32(36) + be32(36) + be32(3) +
                                                   b"a\0" + be32(39) + be32(5) + b"b\0" + b"abcdefgh")


# Where room can't be reserved or a file can't be made without a name, the archive is made another way: the
# same bytes (names as given, duplicates twice, an archive among its inputs as it was), modes, clean folder.
@pytest.mark.parametrize("fault", [None, f"fallocate:{errno.EOPNOTSUPP}", f"tmpfile:{errno.EOPNOTSUPP}"])
def test_every_way_of_making_the_archive_gives_the_same_result(tmp_path, fault):
    put(tmp_path, {"big": os.urandom(300 << 10), "sub dir/F.Txt": b"xy", "empty": b"", "old.viv": b"previous"})
    (tmp_path / "old.viv").chmod(0o604)
    names = ["big", "sub dir/F.Txt", "empty", "./sub dir/F.Txt", str(tmp_path / "empty"), "old.viv", "big"]
    before = names_below(tmp_path)
    for archive in ("old.viv", "new.viv"):
        expected = viv(*((name, (tmp_path / name).read_bytes()) for name in names))
        result = run(BRELPACK, archive, *names, cwd=tmp_path, umask=0o027, fault=fault)
        warning = f"brelpack: {tmp_path}/empty: stored as given, but brelsplit will refuse to write it: an absolute name"
        assert (result.stderr.decode(), result.returncode) == (warning + " would be written outside the working folder\n", 0)
        assert (tmp_path / archive).read_bytes() == expected
    assert [(tmp_path / name).stat().st_mode & 0o7777 for name in ("old.viv", "new.viv")] == [0o604, 0o640]
    assert names_below(tmp_path) == sorted(before + ["new.viv"])


def test_writes_through_a_link_and_into_a_pipe(tmp_path):
    put(tmp_path, {"in": b"data", "target": b"old"})
    (tmp_path / "link").symlink_to("target")
    os.mkfifo(tmp_path / "pipe")
    reader = subprocess.Popen(["cat", "pipe"], cwd=tmp_path, stdout=subprocess.PIPE)
    assert run(BRELPACK, "pipe", "in", cwd=tmp_path).returncode == 0
    assert run(BRELPACK, "link", "in", cwd=tmp_path).returncode == 0
    assert reader.communicate(timeout=60)[0] == viv(("in", b"data")) and (tmp_path / "link").is_symlink()
    assert (tmp_path / "target").read_bytes() == viv(("in", b"data"))


def failure(what, arguments, *errors, marks=(), **options):
    return pytest.param(arguments.split(), options, "".join(f"brelpack: {e}\n" for e in errors), id=what, marks=marks)


NO_FILE, CHANGED = "No such file or directory", "file changed size while being read"
FAILURES = [
    failure("missing inputs", "out.viv in nowhere gone", f"nowhere: {NO_FILE}", f"gone: {NO_FILE}"),
    failure("folder as input", "out.viv in folder", "folder: Is a directory"),
    failure("archive's folder missing", "no/out.viv in", f"no/out.viv: {NO_FILE}"),
    failure("archive is a folder", "folder in", "folder: Is a directory"),
    failure("file-size limit", "out.viv in", "out.viv: File too large", file_size=4096),
    failure("file-size limit, through a link", "link in", "link: File too large", file_size=4096),
    failure("disk full", "out.viv in", "out.viv: No space left on device", fault=f"fallocate:{errno.ENOSPC}"),
    failure("over 4 GiB", "out.viv in sparse", "out.viv: the archive would take 4294975530 bytes, more than the "
            "4294967295 a VIV archive can hold"),
    failure("no memory", "out.viv in big", "out.viv: Cannot allocate memory", address_space=512 << 20,
            marks=pytest.mark.skipif(os.environ.get("BREL_SANITIZED") == "1", reason="sanitizers take more")),
    failure("input vanishes between the passes", "out.viv keep in", f"in: {NO_FILE}", fault="open:in:rm in"),
    failure("input grows between the passes", "out.viv in keep", f"in: {CHANGED}", fault="open:in:echo >> in"),
    failure("input shrinks between the passes", "out.viv keep in", f"in: {CHANGED}", fault="open:in:truncate -s-1 in"),
]


@pytest.mark.parametrize("arguments, options, error", FAILURES)
def test_failures_leave_the_previous_archive_and_the_folder_as_they_were(tmp_path, arguments, options, error):
    put(tmp_path, {"in": b"i" * 8192, "keep": b"kept", "out.viv": b"previous archive", "sparse": b"", "big": b""})
    os.truncate(tmp_path / "sparse", 1 << 32)
    os.truncate(tmp_path / "big", 1 << 30)
    (tmp_path / "folder").mkdir()
    (tmp_path / "link").symlink_to("out.viv")
    before = [name for name in names_below(tmp_path) if options.get("fault") != f"open:{name}:rm {name}"]
    result = run(BRELPACK, *arguments, cwd=tmp_path, **options)
    assert (result.stdout, result.stderr.decode(), result.returncode) == (ENCODER_BANNER + PROMPT, error, 2)
    assert (tmp_path / "out.viv").read_bytes() == b"previous archive"
    assert names_below(tmp_path) == before


def test_a_run_killed_part_way_leaves_nothing_behind(tmp_path):
    put(tmp_path, {"in": b"data", "out.viv": b"previous archive"})
    before = names_below(tmp_path)
    # Killed just before the input is read, while the new archive is being filled.
    assert run(BRELPACK, "out.viv", "in", cwd=tmp_path, fault="open:in:kill -9 $PPID").returncode == -9
    assert names_below(tmp_path) == before and (tmp_path / "out.viv").read_bytes() == b"previous archive"
