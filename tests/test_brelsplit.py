"""brelsplit as a user runs it: what it gives back, and what it refuses to write or read."""
import os
import shutil

import pytest

from conftest import BRELPACK, BRELSPLIT, DECODED, DECODER_BANNER, PROMPT, be32, files_below, put, run, viv


def test_gives_back_what_brelpack_packed_byte_for_byte(tmp_path):
    files = {"plain.txt": b"hello\n", "empty": b"", "sub dir/with space.bin": os.urandom(300 << 10),
             "sub dir/deeper/zeros": bytes(1000), "per%cent%s%n.txt": b"%s%n", "caf\xc3\xa9-\xff.dat": os.urandom(4097)}
    files = {os.fsdecode(name.encode("latin-1")): data for name, data in files.items()}
    source, target = tmp_path / "source", tmp_path / "target"
    put(source, files)
    for name in files:
        (target / name).parent.mkdir(parents=True, exist_ok=True)
    assert run(BRELPACK, "packed.viv", *files, cwd=source).returncode == 0
    (source / "packed.viv").rename(target / "packed.viv")

    result = run(BRELSPLIT, "packed.viv", "ignored", "arguments", cwd=target)
    entry_lines = b"".join(b"\n" + os.fsencode(name) for name in files)
    assert (result.stdout, result.stderr, result.returncode) == (DECODER_BANNER + entry_lines + DECODED, b"", 0)
    assert files_below(target) == files | {"packed.viv": viv(*((os.fsencode(n), d) for n, d in files.items()))}


def test_later_duplicates_win_and_existing_files_take_the_new_length(tmp_path):
    archive = viv(("d", b"first"), ("e", b""), ("d", b"second"))
    put(tmp_path, {"a.viv": archive, "e": b"old contents", "d": b"a longer old content, cut to the new length"})
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path)
    assert (result.stdout, result.returncode) == (DECODER_BANNER + b"\nd\ne\nd" + DECODED, 0)
    assert files_below(tmp_path) == {"a.viv": archive, "d": b"second", "e": b""}


@pytest.mark.parametrize("count", [0, 0x80000000, 0xFFFFFFFF])
def test_no_entries_when_the_count_is_zero_or_negative(tmp_path, count):
    archive = bytearray(viv(("x", b"data")))
    archive[8:12] = be32(count)
    put(tmp_path, {"a.viv": bytes(archive)})
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path)
    assert (result.stdout, result.returncode) == (DECODER_BANNER + DECODED, 0)
    assert list(files_below(tmp_path)) == ["a.viv"]


def test_an_entry_named_after_the_archive_does_not_change_the_bytes_still_to_be_written(tmp_path):
    # Written over in place, "a.viv" or "other" (the same file) would be cut to 3000 bytes, and "z"
    # after it read from what is no longer there.
    archive = viv(("a.viv", b"A" * 3000), ("other", b"O" * 3000), ("z", b"last entry"))
    put(tmp_path, {"a.viv": archive})
    os.link(tmp_path / "a.viv", tmp_path / "other")
    result = run(BRELSPLIT, "a.viv", cwd=tmp_path)
    assert (result.stderr, result.returncode) == (b"", 0)
    assert files_below(tmp_path) == {"a.viv": b"A" * 3000, "other": b"O" * 3000, "z": b"last entry"}


def test_an_archive_cut_short_while_it_is_read_is_reported_and_what_was_written_stays_whole(tmp_path):
    archive = viv(("a", b"a" * 100), ("b", os.urandom(20000)), ("c", b"c"))
    cases = [  # where the archive is cut, the entry lines shown, the files written
        (8192, b"\na\nb", {"a": b"a" * 100}),
        (0, b"", {}),
    ]
    for length, entry_lines, written in cases:
        work = tmp_path / str(length)
        put(work, {"a.viv": archive, "b": b"previous b"})
        result = run(BRELSPLIT, "a.viv", cwd=work, fault=f"shorten:a.viv:{length}")
        assert (result.stdout, result.stderr, result.returncode) == (
            DECODER_BANNER + entry_lines + PROMPT, b"brelsplit: a.viv: the archive changed while being read\n", 2)
        written = written | {"a.viv": archive[:length], "b": b"previous b"}
        assert files_below(work) == written


def test_hostile_or_broken_archives_never_write_outside_the_folder_or_read_beyond_the_archive(tmp_path):
    outside = str(tmp_path / "outside")
    past_end = bytearray(viv(("x", b"abc"), ("y", b"ok")))
    past_end[16:20] = be32(100)
    wraps = bytearray(viv(("x", b"abc"), ("y", b"ok")))
    wraps[16:24] = be32(0xFFFFFFF0) + be32(0x20)
    unterminated = bytearray(viv(("ok", b"1"), ("name", b"2"))[:16 + 11 + 8 + 3])
    unterminated[16:20] = be32(0)  # entry 1 takes its one byte from the header
    climbing = "a name with a \"..\" part could be written outside the working folder"
    cases = [  # what, archive (None: no file), entry lines, errors after "brelsplit: ", files written, limits
        ("missing archive", None, "", ["a.viv: No such file or directory"], {}, {}),
        ("shorter than the header", b"BIGF0000", "",
         ["a.viv: the archive is 8 bytes long, shorter than its 16-byte header"], {}, {}),
        ("count 0x7FFFFFFF on 20 bytes", b"BIGF" + be32(20) + be32(0x7FFFFFFF) + be32(0) + b"abcd", "",
         ["a.viv: entry 1: the directory runs past the end of the archive"], {}, {}),
        ("name without terminator", bytes(unterminated), "\nok",
         ["a.viv: entry 2: the name has no 0 byte before the end of the archive"], {"ok": b"B"}, {}),
        ("data past the end", bytes(past_end), "\nx\ny",
         ["a.viv: entry 1 \"x\": its data (offset 100, size 3) lies outside the archive, which is 41 bytes long"],
         {"y": b"ok"}, {}),
        ("offset + size wraps", bytes(wraps), "\nx\ny",
         ["a.viv: entry 1 \"x\": its data (offset 4294967280, size 32) lies outside the archive, which is 41 bytes long"],
         {"y": b"ok"}, {}),
        ("climbing, absolute and empty names; a link to replace",
         viv(("../x", b"1"), (outside, b"2"), ("a/../../x", b"3"), ("", b"4"), ("link", b"5")),
         f"\n../x\n{outside}\na/../../x\n\nlink",
         [f"a.viv: entry 1 \"../x\": {climbing}",
          f"a.viv: entry 2 \"{outside}\": an absolute name would be written outside the working folder",
          f"a.viv: entry 3 \"a/../../x\": {climbing}", "a.viv: entry 4 \"\": the name is empty"],
         {"link": b"5"}, {}),
        ("missing folder, file-size limit",
         viv(("no/x", b"1"), ("big", b"b" * 5000), ("new", b"n" * 5000), ("large", b"l" * 5000), ("z", b"2")),
         "\nno/x\nbig\nnew\nlarge\nz",
         ["no/x: No such file or directory", "big: File too large", "new: File too large", "large: File too large"],
         {"z": b"2"}, {"file_size": 4096}),
    ]
    for what, archive, entry_lines, errors, written, limits in cases:
        # Already there: files that a failed write must leave whole (one shorter, one longer than the
        # new bytes), and a link out of the folder that an entry of that name must replace, not follow.
        work = tmp_path / "work"
        put(tmp_path, {"work/big": b"previous", "work/large": b"L" * 6000, "victim": b"untouched"})
        (work / "link").symlink_to("../victim")
        if archive is not None:
            put(work, {"a.viv": archive})
        result = run(BRELSPLIT, "a.viv", cwd=work, **limits)
        assert result.stdout == DECODER_BANNER + entry_lines.encode() + PROMPT, what
        assert result.stderr.decode() == "".join(f"brelsplit: {error}\n" for error in errors), what
        assert result.returncode == 2, what
        expected = {"work/big": b"previous", "work/large": b"L" * 6000, "victim": b"untouched"}
        expected |= {"work/" + name: data for name, data in written.items()}
        if archive is not None:
            expected["work/a.viv"] = archive
        assert files_below(tmp_path) == expected, what
        shutil.rmtree(work)
