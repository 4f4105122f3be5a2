# brelpack as a user runs it: the archive's bytes, and failures that leave an earlier archive as it was.
import errno, os, subprocess, time

import pytest
from pathlib import Path

from conftest import (AS_NOBODY, BRELPACK, BRELSPLIT, ENCODED, ENCODER_BANNER, GENERIC_POSIX, PROMPT, as_root, be32,
                      names_below, put, run, unsanitized, viv)


def test_packs_two_files_as_the_header_and_directory_describe(tmp_path):
    put(tmp_path, {"a": b"abc", "b": b"defgh"})
    result = run(BRELPACK, "out.viv", "a", "b", cwd=tmp_path)
    assert (result.stdout, result.stderr, result.returncode) == (ENCODER_BANNER + ENCODED, b"", 0)
    assert (tmp_path / "out.viv").read_bytes() == (b"BIGF" + be32(44) + be32(2) + be32(36) + be32(36) + be32(3) +
                                                   b"a\0" + be32(39) + be32(5) + b"b\0" + b"abcdefgh")


# Names as given, duplicates twice, an archive among its inputs as it was; the old archive's mode and owner kept.
@pytest.mark.parametrize("fault", [None, f"fallocate:{errno.EOPNOTSUPP}", f"tmpfile:{errno.EOPNOTSUPP}",
                                   f"rename2:{errno.EINVAL}\ntmpfile:{errno.EOPNOTSUPP}"])
def test_every_way_of_making_the_archive_gives_the_same_result(tmp_path, fault):
    put(tmp_path, {"big": os.urandom(300 << 10), "sub dir/F.Txt": b"xy", "empty": b"", "old.viv": b"BIGF previous"})
    (tmp_path / "old.viv").chmod(0o604)
    os.chown(tmp_path / "old.viv", 65534, 65534)  # as root, the suite's user in CI
    os.link(tmp_path / "old.viv", tmp_path / "old hard link")  # keeps the old archive
    names = ["big", "sub dir/F.Txt", "empty", "./sub dir/F.Txt", str(tmp_path / "empty"), "old.viv", "big"]
    before = names_below(tmp_path)
    for archive in ("old.viv", LONGEST, LONGEST):  # made, then replaced
        expected = viv(*((name, (tmp_path / name).read_bytes()) for name in names))
        result = run(BRELPACK, archive, *names, cwd=tmp_path, umask=0o027, fault=fault)
        assert (result.stderr.decode(), result.returncode) == (f"brelpack: {tmp_path}/empty: stored as given, but brelsplit "
                                                               f"will refuse to write it: {ABSOLUTE}\n", 0)
        assert (tmp_path / archive).read_bytes() == expected
    kept = [((tmp_path / name).stat().st_mode & 0o7777, (tmp_path / name).stat().st_uid) for name in ("old.viv", LONGEST)]
    assert kept == [(0o604, 65534), (0o640, os.geteuid())] and (tmp_path / "old hard link").read_bytes() == b"BIGF previous"
    assert names_below(tmp_path) == sorted(before + [LONGEST])


LONGEST = "n" * 251 + ".viv"  # the longest name ext4 takes
ABSOLUTE = "an absolute name would be written outside the working folder"
ARCHIVE = viv(("in", b"data"))


@pytest.mark.parametrize("command, result, expected", [
    ('ln -s /proc/self/fd/1 out && "$BRELPACK" out in | cat > x.viv', "x.viv", ARCHIVE + ENCODER_BANNER + ENCODED),
    ('echo kept > log && ln -s /proc/self/fd/1 out && "$BRELPACK" out in >> log', "log",
     b"kept\n" + ARCHIVE + ENCODER_BANNER + ENCODED),
    ('"$BRELPACK" >(cat > y.viv) in > /dev/null; wait $!', "y.viv", ARCHIVE),
    ('echo BIGF > x.viv && "$BRELPACK" x.viv in 2>> x.viv', "x.viv", ARCHIVE),  # named directly: replaced
    (': > x.viv && "$BRELPACK" x.viv in', "x.viv", ARCHIVE),  # empty, as a file made for it is
    # what this run printed there is not the user's
    ('mkdir d && "$BRELPACK" /dev/stdout d/../in > x.viv 2>&1', "x.viv", viv(("d/../in", b"data"))),
    # a file removed while it stays open: through standard output, through another descriptor
    ('{ rm x.viv && "$BRELPACK" /dev/stdout in && cat <&3 > y.viv; } > x.viv 3< x.viv', "y.viv",
     ARCHIVE + ENCODER_BANNER + ENCODED),
    ('{ rm x.viv && "$BRELPACK" /dev/fd/4 in > /dev/null && cat <&3 > y.viv; } 4> x.viv 3< x.viv', "y.viv", ARCHIVE),
])
def test_the_archive_goes_where_a_plain_create_would_write(tmp_path, command, result, expected):
    put(tmp_path, {"in": b"data"})
    shell = run("bash", "-c", command, cwd=tmp_path, env={"BRELPACK": BRELPACK})
    assert (shell.stderr, shell.returncode) == (b"", 0)
    assert (tmp_path / result).read_bytes() == expected


# What the check reads is the file looked at: one swapped in and back meanwhile, or a pipe put there, is not taken for it.
@pytest.mark.parametrize("meanwhile", ["mv a.viv aside && mv other.viv a.viv\nopened:in:mv a.viv other.viv && mv aside a.viv",
                                       "mv a.viv aside && mkfifo a.viv"], ids=["swapped in and back", "a pipe put there"])
def test_a_file_that_is_no_archive_is_kept_whatever_moves_while_it_is_checked(tmp_path, meanwhile):
    put(tmp_path, {"in": b"data", "a.viv": b"precious", "other.viv": b"BIGF other"})
    result = run(BRELPACK, "a.viv", "in", cwd=tmp_path, fault="open:a.viv:" + meanwhile)
    assert (result.returncode, (tmp_path / "aside").read_bytes()) == (2, b"precious")


@as_root
def test_as_another_user_an_archive_they_may_not_write_is_refused_and_kept_and_a_new_one_made(open_folder):
    open_folder.chmod(0o777)
    put(open_folder, {"in": b"data", "old.viv": b"BIGF previous", "closed/theirs.viv": b"BIGF previous",
                      "unread.viv": b"BIGF previous"})
    (open_folder / "old.viv").chmod(0o444)
    os.chown(open_folder / "closed/theirs.viv", 65534, 65534)  # theirs, in a folder they may not write in
    os.chown(open_folder / "unread.viv", 65534, 65534)
    (open_folder / "unread.viv").chmod(0o200)  # theirs to write, but not to read: whether it is an archive can't be told
    for archive, reason in (("old.viv", "Permission denied"), ("closed/theirs.viv", "Permission denied"),
                            ("unread.viv", "not replaced: it can't be read to tell whether it is a VIV archive")):
        result = run(*AS_NOBODY, BRELPACK, archive, "in", cwd=open_folder)
        assert (result.stderr, result.returncode) == (f"brelpack: {archive}: {reason}\n".encode(), 2)
        assert (open_folder / archive).read_bytes() == b"BIGF previous"
    assert run(*AS_NOBODY, BRELPACK, "new.viv", "in", cwd=open_folder).returncode == 0
    assert names_below(open_folder) == ["closed", "closed/theirs.viv", "in", "new.viv", "old.viv", "unread.viv"]
    assert (open_folder / "new.viv").read_bytes() == ARCHIVE


# A drop box (root's, mode 0733): another user may make files in it, as a plain create does, but not list it.
@as_root
@pytest.mark.skipif(GENERIC_POSIX, reason="built so, folders are opened for reading: glibc has no O_SEARCH")
@pytest.mark.parametrize("program, arguments, written", [(BRELPACK, ["box/x.viv", "in"], ARCHIVE),
                                                         (BRELSPLIT, ["a.viv"], b"entry")], ids=["brelpack", "brelsplit"])
def test_as_another_user_files_are_made_in_a_folder_they_may_not_read(open_folder, program, arguments, written):
    open_folder.chmod(0o755)
    put(open_folder, {"in": b"data", "a.viv": viv(("box/x.viv", b"entry")), "box/.keep": b""})
    (open_folder / "box").chmod(0o733)
    result = run(*AS_NOBODY, program, *arguments, cwd=open_folder)
    assert (result.stderr, result.returncode, (open_folder / "box/x.viv").read_bytes()) == (b"", 0, written)


# As root in a shared sticky folder such as /tmp, another user's file or pipe is refused and kept where the system
# refuses a plain create of it (fs.protected_regular, fs.protected_fifos); root's own is written as anywhere.
@pytest.mark.parametrize("owner", [65534, 0], ids=["another user's", "root's own"])
@pytest.mark.parametrize("program, old", [(BRELPACK, b"BIGF old"), (BRELPACK, None), (BRELSPLIT, b"o" * 9),
                                          (BRELSPLIT, b"o" * 9000), (BRELSPLIT, None)],  # None: a named pipe
                         ids=["brelpack", "brelpack, a pipe", "brelsplit, in place", "brelsplit, replaced",
                              "brelsplit, a pipe"])
def test_as_root_another_users_file_or_pipe_in_a_shared_sticky_folder_is_refused_and_kept(shared_sticky_folder,
                                                                                          program, old, owner):
    out = shared_sticky_folder / "out"
    put(out.parent, {"in": b"data", "a.viv": viv(("out", b"n" * len(old or b"")))} | ({"out": old} if old else {}))
    if old is None:  # its reader waits from the start
        os.mkfifo(out, 0o666)
        reader = os.open(out, os.O_RDONLY | os.O_NONBLOCK)
    os.chown(out, owner, owner)
    result = run(program, *(["out", "in"] if program == BRELPACK else ["a.viv"]), cwd=out.parent)
    got = out.read_bytes() if old else os.read(reader, 1 << 16)
    if old is None:
        os.close(reader)
    expected = ((f"{os.path.basename(program)}: out: Permission denied\n".encode(), 2, old or b"") if owner else
                (b"", 0, ARCHIVE if program == BRELPACK else b"n" * len(old or b"")))
    assert (result.stderr, result.returncode, got, out.stat().st_uid) == (*expected, owner)


# A named pipe whose reader comes only later is waited on, not refused, and gets more than it holds.
def test_writes_through_a_link_and_into_a_pipe_whose_reader_comes_later(tmp_path):
    put(tmp_path, {"in": os.urandom(1 << 20), "target": b"BIGF old"})
    (tmp_path / "link").symlink_to("target")
    os.mkfifo(tmp_path / "pipe")
    packing = subprocess.Popen([BRELPACK, "pipe", "in"], cwd=tmp_path, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
    time.sleep(0.5)
    assert packing.poll() is None  # still waiting for a reader
    received = (tmp_path / "pipe").read_bytes()
    assert (packing.communicate(timeout=60)[1], packing.returncode) == (b"", 0)
    assert received == viv(("in", (tmp_path / "in").read_bytes()))
    assert run(BRELPACK, "link", "in", cwd=tmp_path).returncode == 0 and (tmp_path / "link").is_symlink()
    assert (tmp_path / "target").read_bytes() == received


def failure(what, arguments, *errors, marks=(), **options):
    return pytest.param(arguments.split(), options, "".join(f"brelpack: {e}\n" for e in errors), id=what, marks=marks)


NO_FILE, CHANGED = "No such file or directory", "file changed size while being read"
FAILURES = [
    failure("missing inputs", "out.viv in nowhere gone", f"nowhere: {NO_FILE}", f"gone: {NO_FILE}"),
    failure("folder as input", "out.viv in folder", "folder: Is a directory"),
    failure("archive's folder missing", "no/out.viv in", f"no/out.viv: {NO_FILE}"),
    failure("archive is a folder", "folder in", "folder: Is a directory"),
    failure("archive named as a folder", "new.viv/ in", "new.viv/: Is a directory"),
    failure("link leading nowhere", "dangling in", "dangling: not writing through a symbolic link that leads to no file"),
    # files dropped onto the program, or `brelpack *.txt`: the first would be lost
    failure("file with no archive", "keep in", "keep: not replaced: it is not a VIV archive"),
    failure("file-size limit", "out.viv in", "out.viv: File too large", file_size=4096),
    failure("file-size limit, through a link", "link in", "link: File too large", file_size=4096),
    failure("disk full", "out.viv in", "out.viv: No space left on device", fault=f"fallocate:{errno.ENOSPC}",
            marks=pytest.mark.skipif(GENERIC_POSIX, reason="room is not reserved there")),
    failure("over 4 GiB", "out.viv in sparse", "out.viv: the archive would take 4294975530 bytes, more than the "
            "4294967295 a VIV archive can hold"),
    # read as a pipe is, it would be given up 4 GiB in as larger than any archive: here the file-size limit comes first
    failure("endless device", "out.viv /dev/zero", f"/dev/zero: stored as given, but brelsplit will refuse to write "
            f"it: {ABSOLUTE}", "out.viv: File too large", file_size=1 << 20),
    failure("input vanishes between the passes", "out.viv keep in", f"in: {NO_FILE}", fault="open:in:rm in"),
    failure("input grows between the passes", "out.viv in keep", f"in: {CHANGED}", fault="open:in:echo >> in"),
    failure("input shrinks between the passes", "out.viv keep in", f"in: {CHANGED}", fault="open:in:truncate -s-1 in"),
    failure("large input grows", "out.viv large keep", f"large: {CHANGED}", fault="open:large:echo >> large"),
    failure("large input written over", "out.viv large", f"large: {CHANGED}",
            fault="write:printf x | dd of=large conv=notrunc status=none"),
    # from a pipe, a failed move of bytes is the archive's: reading a pipe fails with nothing else
    failure("archive refused from a pipe", "out.viv /dev/stdin", f"/dev/stdin: stored as given, but brelsplit will refuse "
            f"to write it: {ABSOLUTE}", "out.viv: Operation not permitted", fault=f"splice:{errno.EPERM}", given=b"piped",
            marks=pytest.mark.skipif(GENERIC_POSIX, reason="bytes are not moved by splice there")),
    failure("large input shrinks", "out.viv keep large", f"large: {CHANGED}", fault="open:large:truncate -s-1 large"),
    failure("input grows, hidden archive in another folder", "folder/out.viv in", f"in: {CHANGED}",
            fault=f"open:in:echo >> in\ntmpfile:{errno.EOPNOTSUPP}"),
]


@pytest.mark.parametrize("arguments, options, error", FAILURES)
def test_failures_leave_the_previous_archive_and_the_folder_as_they_were(tmp_path, arguments, options, error):
    put(tmp_path, {"in": b"i" * 8192, "keep": b"kept", "out.viv": b"BIGF previous", "sparse": b"", "big": b"",
                   "large": b"l" * (100 << 10)})
    os.truncate(tmp_path / "sparse", 1 << 32)
    os.truncate(tmp_path / "big", 1 << 30)
    (tmp_path / "folder").mkdir()
    (tmp_path / "link").symlink_to("out.viv")
    (tmp_path / "dangling").symlink_to("nowhere/out.viv")
    before = [name for name in names_below(tmp_path) if options.get("fault") != f"open:{name}:rm {name}"]
    result = run(BRELPACK, *arguments, cwd=tmp_path, **options)
    assert (result.stdout, result.stderr.decode(), result.returncode) == (ENCODER_BANNER + PROMPT, error, 2)
    assert (tmp_path / "out.viv").read_bytes() == b"BIGF previous"
    assert names_below(tmp_path) == before


@pytest.mark.parametrize("command, stored, fault", [
    ("brelpack a.viv /dev/stdin in < given", [("/dev/stdin", b"given bytes"), ("in", b"data")], None),
    ("printf piped | brelpack a.viv in /dev/stdin", [("in", b"data"), ("/dev/stdin", b"piped")], None),
    ("brelpack a.viv <(head -c 300000 big) in", [("/dev/fd/63", b"b" * 300000), ("in", b"data")], None),
    # into a pipe too, where it is held whole, in memory grown as it comes
    ("brelpack /dev/fd/3 <(cat big) in 3>&1 >/dev/null | cat > a.viv", [("/dev/fd/63", b"b" * 3000000), ("in", b"data")],
     None),
    # a named pipe whose writer is gone once it is open: opened again, it would wait for another forever
    *((f"mkfifo f; (printf fifo > f; touch written) & timeout 10 brelpack {archive}", [("f", b"fifo")],
       "opened:f:until [ -e written ]; do sleep 0.01; done") for archive in ("a.viv f", "/dev/fd/3 f 3>&1 >/dev/null | cat > a.viv")),
    pytest.param("brelpack a.viv /proc/self/cmdline", [("/proc/self/cmdline", f"{BRELPACK}\0a.viv\0/proc/self/cmdline\0"
                 .encode())], None, marks=pytest.mark.skipif(GENERIC_POSIX, reason="measured there by its size, 0")),
])
def test_an_input_that_is_a_pipe_is_read_whole_and_stored(tmp_path, command, stored, fault):
    put(tmp_path, {"in": b"data", "given": b"given bytes", "big": b"b" * 3000000})
    result = run("bash", "-c", command.replace("brelpack", BRELPACK), cwd=tmp_path, fault=fault)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "a.viv").read_bytes() == viv(*stored)


# An archive many times larger than the memory a run may have packs and unpacks, through files and pipes alike.
@unsanitized
@pytest.mark.parametrize("pack, unpack", [
    ("brelpack a.viv big small", "brelsplit ../a.viv"),
    ("brelpack /dev/stdout big small | cat > a.viv", "cat ../a.viv | brelsplit /dev/stdin"),
    ("ln -s /dev/stdin big && cat ../big | brelpack ../a.viv big small", "brelsplit ../a.viv"),
], ids=["files", "pipes", "an input from a pipe"])
def test_an_archive_larger_than_the_memory_a_run_may_have_packs_and_unpacks(tmp_path, pack, unpack):
    put(tmp_path, {"small": b"small", "out/.keep": b"", "piped/small": b"small"})
    with open(tmp_path / "big", "wb") as big:
        big.write(b"start")
        big.truncate(256 << 20)
    where = tmp_path / ("piped" if "ln -s" in pack else "")
    for command, cwd in ((pack, where), (unpack, tmp_path / "out")):
        result = run("bash", "-c", f"ulimit -v {32 << 10} && " + command.replace("brel", str(Path(BRELPACK).parent) + "/brel"),
                     cwd=cwd)
        assert (result.returncode, result.stderr) == (0, b""), command
    assert subprocess.run(["cmp", tmp_path / "big", tmp_path / "out/big"]).returncode == 0
    assert (tmp_path / "out/small").read_bytes() == b"small"
