# brelsplit as a user runs it: what it gives back, and what it refuses to write or read.
import os

import pytest

from conftest import BRELPACK, BRELSPLIT, DECODED, DECODER_BANNER, PROMPT, be32, files_below, put, run, viv


def test_gives_back_what_brelpack_packed_byte_for_byte(tmp_path):
    files = {"plain.txt": b"hello\n", "empty": b"", "sub dir/with space.bin": os.urandom(300 << 10),
             "sub dir/deeper/zeros": bytes(1000), "per%cent%s%n.txt": b"%s%n", os.fsdecode(b"caf\xc3\xa9-\xff"): b"x"}
    source, target = tmp_path / "source", tmp_path / "target"
    put(source, files)
    put(target, {"sub dir/deeper/packed.viv": b""})  # the folders the names need
    assert run(BRELPACK, "../target/packed.viv", *files, cwd=source).returncode == 0

    result = run(BRELSPLIT, "packed.viv", "ignored", "arguments", cwd=target)
    entry_lines = b"".join(b"\n" + os.fsencode(name) for name in files)
    assert (result.stdout, result.stderr, result.returncode) == (DECODER_BANNER + entry_lines + DECODED, b"", 0)
    assert files_below(target) == files | {"packed.viv": viv(*files.items()), "sub dir/deeper/packed.viv": b""}


def test_later_duplicates_win_existing_files_take_the_new_length_and_errors_keep_their_place(tmp_path):
    archive = viv(("d", b"first"), ("../x", b"1"), ("e", b""), ("d", b"second"))
    put(tmp_path, {"a.viv": archive, "e": b"old contents", "d": b"a longer old content, cut to the new length"})
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path, merged=True)  # errors and entry lines on one stream
    error = f"brelsplit: a.viv: entry 2 \"../x\": {CLIMBS}\n".encode()
    assert (result.stdout, result.returncode) == (DECODER_BANNER + b"\nd\n../x" + error + b"\ne\nd" + PROMPT, 2)
    assert files_below(tmp_path) == {"a.viv": archive, "d": b"second", "e": b""}


def test_an_entry_named_after_the_archive_does_not_change_the_bytes_still_to_be_written(tmp_path):
    # Rewritten in place, a.viv (or other, the same file) would be cut short under "z", still to be written.
    archive = viv(("a.viv", b"A" * 3000), ("other", b"O" * 3000), ("z", b"last entry"))
    put(tmp_path, {"a.viv": archive})
    os.link(tmp_path / "a.viv", tmp_path / "other")
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path)
    assert (result.stderr, result.returncode) == (b"", 0)
    assert files_below(tmp_path) == {"a.viv": b"A" * 3000, "other": b"O" * 3000, "z": b"last entry"}


@pytest.mark.parametrize("length, entry_lines, written", [(8192, b"\na\nb", {"a": b"a" * 100}), (0, b"", {})])
def test_an_archive_cut_short_while_it_is_read_is_reported_and_what_was_written_stays_whole(
        tmp_path, length, entry_lines, written):
    archive = viv(("a", b"a" * 100), ("b", os.urandom(20000)), ("c", b"c"))
    put(tmp_path, {"a.viv": archive, "b": b"previous b"})
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path, fault=f"mmap:truncate -s {length} a.viv")
    assert (result.stdout, result.stderr, result.returncode) == (
        DECODER_BANNER + entry_lines + PROMPT, b"brelsplit: a.viv: the archive changed while being read\n", 2)
    assert files_below(tmp_path) == written | {"a.viv": archive[:length], "b": b"previous b"}


def patched(archive, at, *values):  # these 32-bit values written over the archive from offset `at`
    return archive[:at] + b"".join(map(be32, values)) + archive[at + 4 * len(values):]


CLIMBS = "a name with a \"..\" part could be written outside the working folder"
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
    pytest.param(viv(("../x", b"1"), ("/proc/self/cwd/../x", b"2"), ("a/../../x", b"3"), ("", b"4"), ("link", b"5")),
                 "\n../x\n/proc/self/cwd/../x\na/../../x\n\nlink", [f"a.viv: entry 1 \"../x\": {CLIMBS}",
                 "a.viv: entry 2 \"/proc/self/cwd/../x\": an absolute name would be written outside the working folder",
                 f"a.viv: entry 3 \"a/../../x\": {CLIMBS}", "a.viv: entry 4 \"\": the name is empty"], {"link": b"5"},
                 {}, id="names leading out; a link"),
    pytest.param(viv(("no/x", b"1"), ("big", b"b" * 5000), ("new", b"n" * 5000), ("large", b"l" * 5000), ("z", b"2")),
                 "\nno/x\nbig\nnew\nlarge\nz", ["no/x: No such file or directory", "big: File too large",
                 "new: File too large", "large: File too large"], {"z": b"2"}, {"file_size": 4096},
                 id="missing folder, file-size limit"),
]


@pytest.mark.parametrize("archive, entry_lines, errors, written, limits", HOSTILE)
def test_hostile_or_broken_archives_never_write_outside_the_folder_or_beyond_what_stood_there(
        tmp_path, archive, entry_lines, errors, written, limits):
    # Already there: files a failed write must leave whole, and a link out of the folder to replace, not follow.
    before = {"work/big": b"previous", "work/large": b"L" * 6000, "victim": b"untouched"}
    placed = {"work/a.viv": archive} if archive else {"work/a.viv/.keep": b""}
    put(tmp_path, before | placed)
    (tmp_path / "work/link").symlink_to("../victim")
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path / "work", **limits)
    assert result.stdout == DECODER_BANNER + entry_lines.encode() + PROMPT
    assert result.stderr.decode() == "".join(f"brelsplit: {error}\n" for error in errors)
    assert result.returncode == 2
    assert files_below(tmp_path) == before | placed | {"work/" + name: data for name, data in written.items()}
