# brelsplit as a user runs it: what it gives back, and what it refuses to write or read.
import errno, os, shutil, signal, subprocess
from pathlib import Path

import pytest

from conftest import (AS_NOBODY, BRELPACK, BRELSPLIT, DECODED, DECODER_BANNER, GENERIC_POSIX, PROMPT, as_root, be32,
                      files_below, hidden, loop_disk, names_below, put, run, unsanitized, viv)


# Where names can't be swapped or taken only when free (EINVAL), a plain rename replaces a file, and a link takes a name.
@pytest.mark.parametrize("fault", [None, f"rename2:{errno.EINVAL}\ntmpfile:{errno.EOPNOTSUPP}"], ids=["", "no swap"])
def test_gives_back_what_brelpack_packed_byte_for_byte(tmp_path, fault):
    files = {"plain.txt": b"hello\n", "empty": b"", "sub dir/with space.bin": os.urandom(300 << 10),
             "sub dir/deeper/zeros": bytes(1000), "per%cent%s%n.txt": b"%s%n", os.fsdecode(b"caf\xc3\xa9-\xff"): b"x"}
    put(tmp_path / "source", files)
    put(tmp_path / "target", {"sub dir/deeper/packed.viv": b""})  # the folders the names need
    assert run(BRELPACK, "../target/packed.viv", *files, cwd=tmp_path / "source").returncode == 0
    target = tmp_path / "target"
    for _ in range(2):  # made, then replaced
        result = run(BRELSPLIT, "packed.viv", "ignored", "arguments", cwd=target, fault=fault)
    entry_lines = b"".join(b"\n" + os.fsencode(name) for name in files)
    ignored = b"".join(b"brelsplit: %s: ignored: brelsplit unpacks only the first archive named\n" % extra
                       for extra in (b"ignored", b"arguments"))
    assert (result.stdout, result.stderr, result.returncode) == (DECODER_BANNER + entry_lines + DECODED, ignored, 0)
    assert files_below(target) == files | {"packed.viv": viv(*files.items()), "sub dir/deeper/packed.viv": b""}
    assert hidden(target) == []


LONGEST = "n" * 255  # the longest name ext4 takes


def test_later_duplicates_win_existing_files_take_the_new_length_and_errors_keep_their_place(tmp_path):
    archive = viv(("d", b"first"), ("../x", b"1"), ("e", b""), ("d", b"second"), (LONGEST, b"new"), ("h", b"new"))
    put(tmp_path, {"a.viv": archive, "e": b"old contents", "d": b"a longer old content, cut to the new length",
                   LONGEST: b"old and longer", "h": b"old"})
    os.link(tmp_path / "h", tmp_path / "other name of h")  # keeps the old bytes: h is replaced
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path, merged=True)  # errors and entry lines on one stream
    lines = f"\nd\n../x" f"brelsplit: a.viv: entry 2 \"../x\": {CLIMBS}\n" f"\ne\nd\n{LONGEST}\nh".encode()
    assert (result.stdout, result.returncode) == (DECODER_BANNER + lines + PROMPT, 2)
    assert files_below(tmp_path) == {"a.viv": archive, "d": b"second", "e": b"", LONGEST: b"new", "h": b"new",
                                     "other name of h": b"old"}


# Rewritten in place, a.viv (and other, the same file) would be cut short under "z", still to be written; an entry that
# is the whole archive (of one page) would move its times, as a write by another program does.
@pytest.mark.parametrize("entries, whole", [([("a.viv", b"A" * 3000), ("other", b"O" * 3000)], False),
                                            ([("a.viv", b"")], True)], ids=["parts of it", "the whole of it"])
def test_an_entry_named_after_the_archive_does_not_change_the_bytes_still_to_be_written(tmp_path, entries, whole):
    archive = viv(*entries, ("z", b"last entry"))
    archive = patched(archive, 16, 0, len(archive)) if whole else archive
    put(tmp_path, {"a.viv": archive})
    if not whole:
        os.link(tmp_path / "a.viv", tmp_path / "other")
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path)
    assert (result.stderr, result.returncode) == (b"", 0)
    assert files_below(tmp_path) == ({"a.viv": archive} if whole else dict(entries)) | {"z": b"last entry"}


# Cut before the walk (the header left or not), written over once opened (no name is shown from it), at a page boundary
# or inside the last page (where the lost bytes would read as zeros), grown back, written over.
@pytest.mark.parametrize("fault, written", [*((f"pread:truncate -s {size} a.viv", {}) for size in (0, 20)),
                                            ("pread:printf x | dd of=a.viv bs=1 seek=50 conv=notrunc status=none", {}), *(
    ("write:" + command, {"a": b"a" * 100}) for command in ("truncate -s 8192 a.viv", "truncate -s -40 a.viv",
                                                           "truncate -s -50 a.viv && truncate -s +50 a.viv",
                                                           "printf c | dd of=a.viv bs=1 seek=20060 conv=notrunc status=none"))])
def test_an_archive_changed_while_it_is_read_is_reported_and_what_was_written_stays_whole(tmp_path, fault, written):
    put(tmp_path, {"a.viv": viv(("a", b"a" * 100), ("b", os.urandom(20000)), ("c", b"c")), "b": b"previous b"})
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path, fault=fault)
    assert (result.stdout, result.stderr, result.returncode) == (DECODER_BANNER + b"\na\nb" * bool(written) + PROMPT,
                                                                 b"brelsplit: a.viv: the archive changed while being read\n", 2)
    assert files_below(tmp_path) == written | {"a.viv": (tmp_path / "a.viv").read_bytes(), "b": b"previous b"}


# The folder's default ACL, not the umask, would give a new file its mode and an entry that lets nobody read it.
@pytest.mark.skipif(GENERIC_POSIX, reason="ACLs are carried over through Linux's own calls only")
@pytest.mark.parametrize("old_acl", [None, "u:daemon:r"], ids=["no ACL", "an ACL of its own"])
@pytest.mark.parametrize("where", ["", "sub/"], ids=["working folder", "subfolder"])
@pytest.mark.parametrize("program", [BRELPACK, BRELSPLIT], ids=["brelpack", "brelsplit"])
def test_a_replaced_file_keeps_its_mode_and_acl_in_a_folder_with_a_default_acl(tmp_path, program, where, old_acl):
    out = tmp_path / where / "out.viv"
    put(tmp_path, {"in": b"data", "a.viv": viv((where + "out.viv", b"new bytes")), where + "out.viv": b"BIGF old"})
    if not shutil.which("setfacl") or subprocess.run(["setfacl", "-d", "-m", "u::rw,g::rw,o::rw,u:nobody:rw", out.parent],
                                                     capture_output=True).returncode:
        pytest.skip("setfacl is missing (package acl), or the file system here takes no ACLs")
    out.chmod(0o644)
    subprocess.run(["setfacl", "-b", out], check=True)
    if old_acl:
        subprocess.run(["setfacl", "-m", old_acl, out], check=True)
    acl = lambda: os.getxattr(out, "system.posix_acl_access") if "system.posix_acl_access" in os.listxattr(out) else None
    before = acl()
    arguments = [where + "out.viv", "in"] if program == BRELPACK else ["a.viv"]
    assert run(program, *arguments, cwd=tmp_path, umask=0o022).returncode == 0
    assert out.stat().st_mode & 0o7777 == 0o644 and out.read_bytes() == (b"new bytes" if program == BRELSPLIT else viv(("in", b"data")))
    assert acl() == before and (before is None) == (old_acl is None)


BIG = 24 << 20  # written in several pieces


# Every file is left old or whole, nothing hidden left behind (but for a kill where files without a name can't be made).
SPLIT, PACK = [BRELSPLIT, "a.viv"], [BRELPACK, "old", "in"]  # stopped while an entry is written; before "in" is read


@pytest.mark.parametrize("argv, fault, entry", [
    *((SPLIT, f"write:raise {number}", entry) for number, entry in ((2, "old"), (15, "new"), (1, "old"), (3, "new"),
                                                                     (9, "old"), (9, "new"))),
    *((PACK, f"open:in:raise {number}", "old") for number in (2, 15, 1, 3, 9)),
    # the stop waits for the one write over a small file, made only where the file system's kind is known
    pytest.param(SPLIT, "pwrite:raise 2", "small",
                 marks=pytest.mark.skipif(GENERIC_POSIX, reason="no file is written over where it stands")),
])
@pytest.mark.parametrize("unnamed", [True, False], ids=["unnamed", "named"])
def test_a_stopped_run_leaves_every_file_old_or_whole(tmp_path, argv, fault, entry, unnamed):
    before = {"old": b"BIGF" + b"o" * (BIG - 4), "small": b"s" * 1000, "in": b"data"}
    put(tmp_path, before | {"a.viv": viv((entry, b"n" * (BIG if entry != "small" else 1000)), ("z", b"z"))})
    result = run(*argv, cwd=tmp_path, fault=fault if unnamed else f"tmpfile:{errno.EOPNOTSUPP}\n{fault}")
    assert result.returncode == -(signal_number := int(fault.split()[-1]))
    left = hidden(tmp_path)
    assert len(left) == (1 if signal_number == signal.SIGKILL and not (unnamed and not GENERIC_POSIX) else 0)
    expected = before | {"a.viv": (tmp_path / "a.viv").read_bytes()} | ({"small": b"n" * 1000} if entry == "small" else {})
    assert {name: data for name, data in files_below(tmp_path).items() if name not in left} == expected


@pytest.fixture
def full_copy_on_write_disk(tmp_path):  # a small btrfs, filled: an overwrite there needs room it hasn't got
    with loop_disk("btrfs", tmp_path, 200) as disk:
        yield disk


def test_a_full_copy_on_write_disk_leaves_existing_files_as_they_were(full_copy_on_write_disk):
    disk, sync = full_copy_on_write_disk, lambda: subprocess.run(["sync"], check=True)
    pages = {f"page{number}": b"O" * 16384 for number in range(40)}  # an overwrite there needs new room too
    before = {"large": os.urandom(8 << 20), "small": b"o" * 1000} | pages
    new = {"small": b"n" * 1000} | {name: b"N" * 16384 for name in pages}
    put(disk, before | {"a.viv": viv(("large", os.urandom(8 << 20)), *new.items())})
    # filled to the last block, the end with small files, then a few freed: room for part of a write, not all of it
    sync()
    room = os.statvfs(disk)
    subprocess.run(["dd", "if=/dev/zero", f"of={disk}/fill", "bs=64k",
                    f"count={max(0, room.f_bavail * room.f_frsize - (4 << 20)) >> 16}"], capture_output=True)
    (disk / "crumbs").mkdir()
    try:
        for number in range(100000):
            (disk / "crumbs" / str(number)).write_bytes(bytes(4096))
    except OSError:
        sync()
    for number in range(3):
        (disk / "crumbs" / str(number)).unlink()
    sync()
    inode = os.stat(disk / "small").st_ino
    result = run(BRELSPLIT, "a.viv", cwd=disk)
    sync()
    Path("/proc/sys/vm/drop_caches").write_text("3")
    assert result.returncode == 2 and b"large: No space left on device" in result.stderr
    after = files_below(disk)
    assert after["large"] == before["large"]
    assert [name for name in new if after[name] not in (before[name], new[name])] == []  # none torn
    assert after["small"] == before["small"] or os.stat(disk / "small").st_ino != inode  # replaced, never written over
    assert sorted(os.listdir(disk)) == sorted(["a.viv", "crumbs", "fill", "large", "small", *pages])


# One page at most, which the disk writes whole, is written over where it stands; a longer file, or one over the
# file-size limit, is replaced by a new file (the kill at a write in place would end the run).
@pytest.mark.parametrize("size, limit, in_place", [(1000, None, True), (4096, None, True), (4097, None, False),
                                                   (16384, None, False), (1000, 512, False)])
def test_only_a_file_of_one_page_at_most_within_the_file_size_limit_is_written_over_where_it_stands(
        tmp_path, size, limit, in_place):
    put(tmp_path, {"a.viv": viv(("f", b"n" * size)), "f": b"o" * size})
    inode = os.stat(tmp_path / "f").st_ino
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path, file_size=limit, fault=None if in_place else "pwrite:raise 9")
    error = b"brelsplit: f: File too large\n" if limit else b""
    assert (result.stderr, result.returncode) == (error, 2 if limit else 0)
    assert (tmp_path / "f").read_bytes() == (b"o" if limit else b"n") * size
    assert (os.stat(tmp_path / "f").st_ino == inode) == (in_place and not GENERIC_POSIX or bool(limit))


def patched(archive, at, *values):  # these 32-bit values written over the archive from offset `at`
    return archive[:at] + b"".join(map(be32, values)) + archive[at + 4 * len(values):]


CLIMBS = "a name with a \"..\" part could be written outside the working folder"
LINKED = "a folder in the path is a link, which is not followed"
THREE = viv(("x", b"abc"), ("y", b"ok"), ("z", b"!"))
HOSTILE = [  # archive (None: a folder), entry lines, errors after "brelsplit: ", files written, limits
    pytest.param(None, "", ["a.viv: Is a directory"], {}, {}, id="archive is a folder"),
    pytest.param(patched(viv(("ok", b"1"), ("name", b"2")), 16, 0)[:38], "\nok",  # entry 1 takes a byte of the header
                 ["a.viv: entry 2: the name has no 0 byte before the end of the archive"], {"ok": b"B"}, {},
                 id="name without terminator"),
    pytest.param(patched(patched(THREE, 16, 100), 26, 0xFFFFFFF0, 0x20), "\nx\ny\nz", [
        "a.viv: entry 1 \"x\": its data (offset 100, size 3) lies outside the archive, which is 52 bytes long",
        "a.viv: entry 2 \"y\": its data (offset 4294967280, size 32) lies outside the archive, which is 52 bytes long"],
        {"z": b"!"}, {}, id="data past the end, offset + size past 32 bits"),
    pytest.param(viv(("../x", b"1"), ("/proc/self/cwd/../x", b"2"), ("a/../../x", b"3"), ("", b"4"), ("link", b"5"),
                     ("up/victim", b"6"), ("./up/victim", b"7")),
                 "\n../x\n/proc/self/cwd/../x\na/../../x\n\nlink\nup/victim\n./up/victim", [
                     f"a.viv: entry 1 \"../x\": {CLIMBS}",
                     "a.viv: entry 2 \"/proc/self/cwd/../x\": an absolute name would be written outside the working folder",
                     f"a.viv: entry 3 \"a/../../x\": {CLIMBS}", "a.viv: entry 4 \"\": the name is empty",
                     f"up/victim: {LINKED}", f"./up/victim: {LINKED}"], {"link": b"5"}, {}, id="names leading out; links"),
    pytest.param(viv(("dir", b"d" * 5000), ("z", b"2")), "\ndir\nz", ["dir: Is a directory"], {"z": b"2"}, {},
                 id="a folder at the name"),
    pytest.param(viv(("big", b"b" * 20000), ("z", b"2")), "\nbig\nz", ["big: Input/output error"], {"z": b"2"},
                 {"fault": f"rename2:{errno.EIO}\nrename:{errno.EIO}"}, id="failed rename"),
    pytest.param(viv(("no/x", b"1"), ("big", b"b" * 5000), ("new", b"n" * 5000), ("large", b"l" * 5000),
                     ("same", b"s" * 8000), ("z", b"2")),
                 "\nno/x\nbig\nnew\nlarge\nsame\nz", [
                     "no/x: the folder \"no/\" does not exist, and brelsplit does not create folders", "big: File too large",
                 "new: File too large", "large: File too large", "same: File too large"], {"z": b"2"},
                 {"file_size": 4096}, id="missing folder, file-size limit"),
    pytest.param(viv(("page", b"p" * 1000), ("z", b"2")), "\npage\nz", [
        "page: No space left on device, and the old bytes could not be put back: the file holds part old, part new bytes"],
        {"page": b"p" * 500 + b"P" * 500, "z": b"2"}, {"fault": f"pwrite-short:{errno.ENOSPC}"},
        marks=pytest.mark.skipif(GENERIC_POSIX, reason="no file is written over where it stands"),
        id="a torn rewrite in place is reported as torn"),
    # 2^31 - 1 entries claimed: one of 9 zeros every 9 bytes, walked in little more memory than the archive's own
    pytest.param(patched(bytes(1 << 20), 8, 0x7FFFFFFF), "\n" * 116506,
                 [*(f"a.viv: entry {number} \"\": the name is empty" for number in range(1, 116507)),
                  "a.viv: entry 116507: the directory runs past the end of the archive"], {},
                 {"address_space": 10 << 20}, marks=unsanitized, id="entries without end"),
    pytest.param(viv(("n" * (24 << 20), b"")), "", ["a.viv: could not get memory to go on: Cannot allocate memory"], {},
                 {"address_space": 40 << 20}, marks=unsanitized, id="no memory for a name"),
]


# Read past once when the entries come in order (gaps between them skipped), held whole when they don't; a stream
# that ends inside an entry fails that entry and those after it, one that runs on past any archive fails the run.
STREAMED, AFTER = os.urandom(3 << 20), b"after the first megabytes"
IN_ORDER = viv(("a", STREAMED), ("b", AFTER))
GAP = 16 + 2 * 10  # where the data starts
WITH_GAPS = patched(IN_ORDER[:GAP] + b"..." + STREAMED + b"..." + AFTER, 16, GAP + 3, len(STREAMED))
WITH_GAPS = patched(WITH_GAPS, 26, GAP + 6 + len(STREAMED))
# "a" the last bytes, "b" bytes past the first MiB, before them
BACKWARDS = patched(patched(IN_ORDER, 16, GAP + len(STREAMED), len(AFTER)), 26, GAP + (2 << 20))
OUTSIDE = "brelsplit: /dev/stdin: entry {} \"{}\": its data (offset {}, size {}) lies outside the archive, which is {} bytes long"
@pytest.mark.parametrize("given, written, errors", [
    (IN_ORDER, {"a": STREAMED, "b": AFTER}, []),
    (WITH_GAPS, {"a": STREAMED, "b": AFTER}, []),
    (BACKWARDS, {"a": AFTER, "b": STREAMED[2 << 20:(2 << 20) + len(AFTER)]}, []),
    (IN_ORDER[:GAP + 100], {}, [OUTSIDE.format(1, "a", GAP, len(STREAMED), GAP + 100),
                                OUTSIDE.format(2, "b", GAP + len(STREAMED), len(AFTER), GAP + 100)]),
], ids=["in order", "with gaps", "backwards", "cut short"])
def test_an_archive_from_a_pipe_is_read_once_to_its_end(tmp_path, given, written, errors):
    result = run("sh", "-c", f"cat | {BRELSPLIT} /dev/stdin", cwd=tmp_path, given=given)
    assert (result.stderr.decode().splitlines(), files_below(tmp_path)) == (errors, written)


def test_an_endless_stream_is_given_up_past_the_largest_archive(tmp_path):
    result = run(BRELSPLIT, "/dev/zero", cwd=tmp_path)
    assert (result.stderr, result.returncode) == (b"brelsplit: /dev/zero: larger than any archive can be (4294967295 bytes)\n", 2)


@pytest.mark.parametrize("archive, entry_lines, errors, written, limits", HOSTILE)
def test_hostile_or_broken_archives_never_write_outside_the_folder_or_beyond_what_stood_there(
        tmp_path, archive, entry_lines, errors, written, limits):
    # files a failed write must leave whole, and links out of the folder to replace, not follow
    before = {"work/big": b"previous", "work/large": b"L" * 6000, "work/same": b"S" * 8000, "work/page": b"P" * 1000,
              "work/dir/kept": b"kept", "victim": b"untouched"}
    placed = {"work/a.viv": archive} if archive else {"work/a.viv/.keep": b""}
    put(tmp_path, before | placed)
    (tmp_path / "work/link").symlink_to("../victim")
    (tmp_path / "work/up").symlink_to("..")
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path / "work", **limits)
    assert (result.stdout, result.stderr.decode(), result.returncode) == (
        DECODER_BANNER + entry_lines.encode() + PROMPT, "".join(f"brelsplit: {error}\n" for error in errors), 2)
    assert files_below(tmp_path) == before | placed | {"work/" + name: data for name, data in written.items()}


# Another program puts a folder or another file at the output's name while the output is written.
@pytest.mark.parametrize("standing, meanwhile, left", [
    (b"BIGF old", "rm x && mkdir x && echo precious > x/precious", {"x/precious": b"precious\n"}),
    (b"BIGF old", "rm x && echo other > x", {"x": b"other\n"}),
    (None, "mkdir x && echo precious > x/precious", {"x/precious": b"precious\n"}),
    (None, "echo other > x", {"x": b"other\n"}),
])
@pytest.mark.parametrize("unnamed", [True, False], ids=["unnamed", "named"])
@pytest.mark.parametrize("program, arguments, when, written", [(BRELPACK, ["x", "in"], "open:in", {}),
                                                               (BRELSPLIT, ["a.viv"], "write", {"z": b"z"})],
                         ids=["brelpack", "brelsplit"])
def test_a_name_taken_by_another_program_meanwhile_is_left_to_it(tmp_path, program, arguments, when, written, standing,
                                                                 meanwhile, left, unnamed):
    before = {"a.viv": viv(("x", b"n" * BIG), ("z", b"z")), "in": b"data"}
    put(tmp_path, before | ({"x": standing} if standing else {}))
    fault = f"{when}:{meanwhile}" + ("" if unnamed else f"\ntmpfile:{errno.EOPNOTSUPP}")
    result = run(program, *arguments, cwd=tmp_path, fault=fault)
    message = f"{Path(program).name}: x: another program put something else at this name meanwhile; it is left as it is\n"
    assert (result.stderr.decode(), result.returncode) == (message, 2)
    assert files_below(tmp_path) == before | written | left and hidden(tmp_path) == []


# Written over where it stands, a file taken from its name meanwhile (removed, another put there, a second name given
# to it) is not counted as written: it gets its old bytes back.
@pytest.mark.skipif(GENERIC_POSIX, reason="no file is written over where it stands")
@pytest.mark.parametrize("meanwhile, left", [("rm x", {}), ("echo other > o && mv o x", {"x": b"other\n"}),
                                             ("ln x backup", {"x": b"o" * 10, "backup": b"o" * 10})])
def test_a_file_taken_from_its_name_while_written_over_where_it_stands_is_reported(tmp_path, meanwhile, left):
    before = {"a.viv": viv(("x", b"n" * 10), ("z", b"z"))}
    put(tmp_path, before | {"x": b"o" * 10})
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path, fault=f"pwrite:{meanwhile}")
    message = "brelsplit: x: another program put something else at this name meanwhile; it is left as it is\n"
    assert (result.stderr.decode(), result.returncode) == (message, 2)
    assert files_below(tmp_path) == before | {"z": b"z"} | left


# As another user, their own read-only files (in place or replaced alike) and root's 0644 one are refused and kept.
@as_root
@pytest.mark.parametrize("as_nobody", [True, False], ids=["another user", "root"])
def test_an_output_a_plain_create_could_not_write_is_refused_and_kept(open_folder, as_nobody):
    files = {"own_small": (65534, 0o444), "own_large": (65534, 0o444), "roots": (0, 0o644), "shared": (0, 0o666)}
    put(open_folder, {name: b"old" for name in files} | {"a.viv": viv(("own_small", b"new"),
                                                                      *[(name, b"n" * 9000) for name in list(files)[1:]])})
    for name, (owner, mode) in files.items():
        os.chown(open_folder / name, owner, owner)
        (open_folder / name).chmod(mode)
    os.chown(open_folder, 65534, 65534)
    result = run(*AS_NOBODY * as_nobody, BRELSPLIT, "a.viv", cwd=open_folder)
    refused = ["own_small", "own_large", "roots"] if as_nobody else []
    assert (result.stderr.decode(), result.returncode) == (
        "".join(f"brelsplit: {name}: Permission denied\n" for name in refused), 2 if as_nobody else 0)
    assert [name for name in files if (open_folder / name).read_bytes() == b"old"] == refused
    assert [oct((open_folder / name).stat().st_mode & 0o777) for name in files] == [oct(m) for _, m in files.values()]


# Nothing goes into a folder of the names moved away meanwhile, wherever it is now: the names are looked up anew.
MOVED = "a folder of the name was moved or replaced meanwhile; nothing was written there"


@pytest.mark.parametrize("meanwhile, errors, written", [
    ("mv sub ../outside", [f"sub/big: {MOVED}", "sub/after: the folder \"sub/\" does not exist, and brelsplit does not "
                                                "create folders"], {}),
    ("mv sub ../outside && mkdir sub", [f"sub/big: {MOVED}"], {"work/sub/after": b"after"}),
])
def test_a_folder_moved_away_meanwhile_is_not_followed(tmp_path, meanwhile, errors, written):
    archive = viv(("sub/big", b"b" * BIG), ("sub/after", b"after"))
    put(tmp_path, {"work/a.viv": archive, "work/sub/.keep": b""})
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path / "work", fault=f"write:{meanwhile}")
    assert (result.stderr.decode(), result.returncode) == ("".join(f"brelsplit: {e}\n" for e in errors), 2)
    assert files_below(tmp_path) == {"work/a.viv": archive, "outside/.keep": b""} | written
    assert names_below(tmp_path / "outside") == [".keep"]
