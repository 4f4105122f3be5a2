"""brelpack as a user runs it: the archive's bytes, and failures that leave an earlier archive as it was."""
import os
import subprocess
import threading

import pytest

from conftest import (BRELPACK, ENCODED, ENCODER_BANNER, PROMPT, SANITIZED, be32, environment, names_below, put,
                      run, viv)


def test_packs_two_files_as_the_header_and_directory_describe(tmp_path):
    put(tmp_path, {"a": b"abc", "b": b"defgh"})
    result = run(BRELPACK, "out.viv", "a", "b", cwd=tmp_path)
    assert (result.stdout, result.stderr, result.returncode) == (ENCODER_BANNER + ENCODED, b"", 0)
    assert (tmp_path / "out.viv").read_bytes() == (b"BIGF" + be32(44) + be32(2) + be32(36) + be32(36) + be32(3) +
                                                   b"a\0" + be32(39) + be32(5) + b"b\0" + b"abcdefgh")


def test_stores_names_as_given_duplicates_twice_and_empty_files_without_data(tmp_path):
    put(tmp_path, {"sub dir/deeper/F.Txt": b"xy", "empty": b""})
    names = ["sub dir/deeper/F.Txt", "empty", "./sub dir/deeper/F.Txt", str(tmp_path / "empty"), "empty"]
    assert run(BRELPACK, "x.viv", *names, cwd=tmp_path).returncode == 0
    assert (tmp_path / "x.viv").read_bytes() == viv(*((name, (tmp_path / name).read_bytes()) for name in names))


def test_stores_the_previous_contents_of_an_archive_that_is_also_an_input(tmp_path):
    put(tmp_path, {"self.viv": b"old"})
    assert run(BRELPACK, "self.viv", "self.viv", cwd=tmp_path).returncode == 0
    assert (tmp_path / "self.viv").read_bytes() == viv(("self.viv", b"old"))


# Where the file system can't reserve room, or make a file without a name, the archive is made another
# way; the bytes, the kept permissions and the clean folder are the same every way.
@pytest.mark.parametrize("fault", [None, "fallocate:EOPNOTSUPP", "tmpfile:EOPNOTSUPP"])
def test_every_way_of_making_the_archive_gives_the_same_result(tmp_path, fault):
    files = {"big": os.urandom(300 << 10), "sub/empty": b"", "c": b"xyz"}
    put(tmp_path, files | {"old.viv": b"previous archive"})
    (tmp_path / "old.viv").chmod(0o604)
    before = names_below(tmp_path)
    for archive in ("old.viv", "new.viv"):
        result = run(BRELPACK, archive, *files, cwd=tmp_path, umask=0o027, fault=fault)
        assert (result.stderr, result.returncode) == (b"", 0)
        assert (tmp_path / archive).read_bytes() == viv(*files.items())
    assert (tmp_path / "old.viv").stat().st_mode & 0o7777 == 0o604
    assert (tmp_path / "new.viv").stat().st_mode & 0o7777 == 0o640
    assert names_below(tmp_path) == sorted(before + ["new.viv"])


def test_writes_through_a_link_and_into_a_pipe(tmp_path):
    put(tmp_path, {"in": b"data", "target": b"old"})
    (tmp_path / "link").symlink_to("target")
    os.mkfifo(tmp_path / "pipe")
    received = []
    reader = threading.Thread(target=lambda: received.append((tmp_path / "pipe").read_bytes()))
    reader.start()
    assert run(BRELPACK, "pipe", "in", cwd=tmp_path).returncode == 0
    reader.join()
    assert run(BRELPACK, "link", "in", cwd=tmp_path).returncode == 0
    assert received == [viv(("in", b"data"))]
    assert (tmp_path / "link").is_symlink()
    assert (tmp_path / "target").read_bytes() == viv(("in", b"data"))


def failure(what, arguments, error, marks=(), **options):
    return pytest.param(arguments, options, error, id=what, marks=marks)


FAILURES = [
    failure("missing inputs", ["out.viv", "in", "nowhere", "gone"],
            b"brelpack: nowhere: No such file or directory\nbrelpack: gone: No such file or directory\n"),
    failure("folder as input", ["out.viv", "in", "folder"], b"brelpack: folder: Is a directory\n"),
    failure("archive's folder missing", ["no/out.viv", "in"], b"brelpack: no/out.viv: No such file or directory\n"),
    failure("archive is a folder", ["folder", "in"], b"brelpack: folder: Is a directory\n"),
    failure("file-size limit", ["out.viv", "in"], b"brelpack: out.viv: File too large\n", file_size=4096),
    failure("disk full", ["out.viv", "in"], b"brelpack: out.viv: No space left on device\n", fault="fallocate:ENOSPC"),
    failure("over 4 GiB", ["out.viv", "in", "sparse"],
            b"brelpack: out.viv: the archive would take 4294975530 bytes, more than the 4294967295 a VIV archive "
            b"can hold\n"),
    failure("no memory", ["out.viv", "in", "big"], b"brelpack: out.viv: Cannot allocate memory\n",
            address_space=512 << 20,
            marks=pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than that")),
    failure("input vanishes between the passes", ["out.viv", "keep", "in"],
            b"brelpack: in: No such file or directory\n", fault="vanish:in"),
    failure("input grows between the passes", ["out.viv", "in", "keep"],
            b"brelpack: in: file changed size while being read\n", fault="grow:in"),
    failure("input shrinks between the passes", ["out.viv", "keep", "in"],
            b"brelpack: in: file changed size while being read\n", fault="shrink:in"),
]


@pytest.mark.parametrize("arguments, options, error", FAILURES)
def test_failures_leave_the_previous_archive_and_the_folder_as_they_were(tmp_path, arguments, options, error):
    put(tmp_path, {"in": b"i" * 8192, "keep": b"kept", "out.viv": b"previous archive", "sparse": b"", "big": b""})
    os.truncate(tmp_path / "sparse", 1 << 32)
    os.truncate(tmp_path / "big", 1 << 30)
    (tmp_path / "folder").mkdir()
    before = names_below(tmp_path)
    result = run(BRELPACK, *arguments, cwd=tmp_path, **options)
    assert (result.stdout, result.stderr, result.returncode) == (ENCODER_BANNER + PROMPT, error, 2)
    assert (tmp_path / "out.viv").read_bytes() == b"previous archive"
    vanished = ["in"] if options.get("fault") == "vanish:in" else []
    assert names_below(tmp_path) == [name for name in before if name not in vanished]


def test_a_run_killed_part_way_leaves_nothing_behind(tmp_path):
    put(tmp_path, {"in": b"data", "out.viv": b"previous archive"})
    before = names_below(tmp_path)
    process = subprocess.Popen([BRELPACK, "out.viv", "in"], cwd=tmp_path, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True,
                               env=environment("stall:in"))
    assert process.stderr.readline() == b"stalled\n"  # the new archive exists by now, being filled
    process.kill()
    process.wait()
    assert names_below(tmp_path) == before
    assert (tmp_path / "out.viv").read_bytes() == b"previous archive"
