# The Windows programs, run under wine.
import os, re, signal, subprocess, time, zipfile
from pathlib import Path

import pytest

from conftest import DECODER_BANNER, files_below, hidden, names_below, put, run, viv
from terminal import Terminal

WINE, BRELPACK_EXE, BRELSPLIT_EXE = (os.environ.get(name, "") for name in ("WINE_LOADER", "BRELPACK_EXE", "BRELSPLIT_EXE"))
# Under a UTF-8 locale wine takes arguments and Linux names as UTF-8, and its ANSI code page is 1252.
WINE_ENVIRONMENT = {"WINEPREFIX": os.environ.get("WINE_PREFIX", ""), "WINEDEBUG": "-all", "LC_ALL": "C.UTF-8"}


def wine(program, *arguments, cwd):
    return run(WINE, program, *arguments, cwd=cwd, env=WINE_ENVIRONMENT)


def test_round_trip_keeps_backslash_names_and_every_byte(tmp_path):
    binary = b"line\r\nfeed\n\x1a\0end"
    put(tmp_path, {"src/a.txt": b"text\n", "src/sub/b.bin": binary, "dst/sub/.keep": b""})
    archive = viv(("a.txt", b"text\n"), ("sub\\b.bin", binary))
    assert wine(BRELPACK_EXE, "..\\dst\\packed.viv", "a.txt", "sub\\b.bin", cwd=tmp_path / "src").returncode == 0
    assert (tmp_path / "dst/packed.viv").read_bytes() == archive
    assert wine(BRELPACK_EXE, "NUL", "a.txt", cwd=tmp_path / "src").returncode == 0  # a device: written into
    result = wine(BRELSPLIT_EXE, "packed.viv", cwd=tmp_path / "dst")
    transcript = DECODER_BANNER + b"\na.txt\nsub\\b.bin\n\nDecoded!\nPress any key..."
    assert (result.stdout, result.returncode) == (transcript.replace(b"\n", b"\r\n"), 0)  # a text stream
    assert files_below(tmp_path / "dst") == {"packed.viv": archive, "a.txt": b"text\n", "sub/b.bin": binary, "sub/.keep": b""}


# Names reach the system as given, whatever the code page holds, and are stored in its bytes; a name it can't hold exactly
# is refused, so no look-alike is read or written in its place (best fit made "out.viv" of "\uff4fut.viv").
@pytest.mark.parametrize("arguments, stored, error", [
    (["\uff4fut.viv", "b.txt", "\xe9.txt"], [(b"b.txt", b"b"), (b"\xe9.txt", b"e")], ""),
    (["w.viv", "sub\uff3ck.txt", "\u0436.txt", "b.txt"], [], "brelpack: sub?k.txt: {0}\r\nbrelpack: ?.txt: {0}\r\n"),
])
def test_names_outside_the_code_page_name_no_other_file(tmp_path, arguments, stored, error):
    given = {"out.viv": b"old", "b.txt": b"b", "\xe9.txt": b"e", "sub/k.txt": b"k", "\u0436.txt": b"zh", "out/.keep": b""}
    put(tmp_path, given)
    result = wine(BRELPACK_EXE, *arguments, cwd=tmp_path)
    reason = "the name has characters the archive's code page can't hold"
    assert (result.returncode, result.stderr.decode()) == (2 if error else 0, error.format(reason))
    assert files_below(tmp_path) == {**given, **({arguments[0]: viv(*stored)} if stored else {})}
    if stored:  # written out in the code page, and shown as stored
        unpacked = wine(BRELSPLIT_EXE, "..\\" + arguments[0], cwd=tmp_path / "out")
        assert unpacked.returncode == 0 and all(b"\n" + name + b"\r\n" in unpacked.stdout for name, _ in stored)
        assert files_below(tmp_path / "out") == {".keep": b"", **{name.decode("cp1252"): data for name, data in stored}}


# No shell expands wildcards on Windows: each match in name order whatever its case, stored with the folder as typed; no
# folder, hidden file (wine hides dot files), nor a name matched only by its short 8.3 form; a pattern that matches
# nothing is reported and nothing written.
@pytest.mark.parametrize("patterns, stored, error", [
    (["p\\*.tga", "p\\?.TG"], ["p\\a.tga", "p\\B.tga", "p\\c.tga", "p\\e.tg"], ""),
    (["p\\*.bmp", "p\\a.tga", "*\\a.tga"], [], "p\\*.bmp: no file matches this pattern\r\nbrelpack: *\\a.tga: only the last "
     "part of a path may hold the wildcards * and ?"),
])
def test_wildcards_name_the_files_they_match(tmp_path, patterns, stored, error):
    given = {f"p/{name}": name.encode() for name in ("c.tga", "B.tga", "a.tga", "d.tgax", "e.tg", "sub.tga/x", ".h.tga")}
    put(tmp_path, given)
    result = wine(BRELPACK_EXE, "w.viv", *patterns, cwd=tmp_path)
    assert (result.returncode, result.stderr.decode()) == ((2, f"brelpack: {error}\r\n") if error else (0, ""))
    packed = {"w.viv": viv(*[(name, name[2:].encode()) for name in stored])} if stored else {}
    assert files_below(tmp_path) == {**given, **packed}


# Five folders of 59 characters and a file name pass MAX_PATH: read, written, replaced through hidden files and unpacked.
def test_paths_longer_than_max_path_work_in_both_programs(tmp_path):
    deep = "/".join(f"{i}" * 59 for i in range(5)) + "/f.txt"
    name = deep.replace("/", "\\")
    put(tmp_path, {f"in/{deep}": b"deep", f"in/{deep}.viv": b"BIGF old", f"out/{deep}": b"older"})
    assert wine(BRELPACK_EXE, f"{name}.viv", name, cwd=tmp_path / "in").returncode == 0
    assert wine(BRELSPLIT_EXE, f"..\\in\\{name}.viv", cwd=tmp_path / "out").returncode == 0
    assert files_below(tmp_path) == {f"in/{deep}": b"deep", f"in/{deep}.viv": viv((name, b"deep")), f"out/{deep}": b"deep"}


# "..:x" would be "..\\x", "sub:NUL" the device NUL, "s:stream" a drive's folder; COM¹ is a port as COM1 is (code page
# 1252 bytes). Nor is a file, stream or device written.
@pytest.mark.parametrize("refused, reason", [
    (["..:x", "sub:..:..:y", "sub:NUL", "s:stream"], "a name with a colon would name a drive or a stream on Windows"),
    (["COM\xb9", "lpt\xb2.txt", "Com\xb3 .x"], "the name is that of a device"),
], ids=["colon", "device"])
def test_names_windows_gives_another_meaning_are_refused_and_nothing_leaves_the_working_folder(tmp_path, refused, reason):
    encoded = [name.encode("latin-1") for name in refused]
    put(tmp_path, {"work/a.viv": viv(*[(name, name) for name in encoded], ("plain.txt", b"plain")), "work/sub/.keep": b""})
    result = wine(BRELSPLIT_EXE, "a.viv", cwd=tmp_path / "work")
    assert (result.returncode, result.stderr.decode("latin-1").splitlines()) == (2, [
        f'brelsplit: a.viv: entry {number} "{name}": {reason}' for number, name in enumerate(refused, 1)])
    assert names_below(tmp_path) == ["work", "work/a.viv", "work/plain.txt", "work/sub", "work/sub/.keep"]
    assert (tmp_path / "work/plain.txt").read_bytes() == b"plain"


# Files dragged onto brelpack.exe come as full paths, the first where the archive's name belongs: it is kept.
def test_files_dropped_onto_brelpack_are_kept(tmp_path):
    put(tmp_path, {"body.tga": b"texture", "car.dat": b"data"})
    body, car = (f"Z:{tmp_path / name}".replace("/", "\\") for name in ("body.tga", "car.dat"))
    result = wine(BRELPACK_EXE, body, car, cwd=tmp_path)
    assert (result.returncode, result.stderr.decode().splitlines()) == (2, [
        f"brelpack: {car}: stored as given, but brelsplit will refuse to write it: a name with a colon would name a "
        "drive or a stream on Windows", f"brelpack: {body}: not replaced: it is not a VIV archive"])
    assert files_below(tmp_path) == {"body.tga": b"texture", "car.dat": b"data"}


def test_key_wait_on_the_console_ends_with_one_key_and_echoes_it(tmp_path):
    def visible():  # wine draws with control sequences: a move right shows as blanks, the others as nothing
        shown = re.sub(rb"\x1b\[(\d*)C", lambda move: b" " * int(move.group(1) or b"0"), terminal.shown)
        return re.sub(rb"\x1b\[[0-?]*[ -/]*[@-~]|\r", b"", shown)

    with Terminal([WINE, BRELPACK_EXE], tmp_path, env=dict(os.environ, **WINE_ENVIRONMENT),
                  input_from_terminal=True) as terminal:
        for _ in range(100):
            if visible().endswith(b"Press any key..."):
                break
            terminal.rest()
        terminal.waits_for_key()  # the terminal out of line mode, or it would echo the key itself
        os.write(terminal.master, b"x")
        assert terminal.process.wait(timeout=20) == 1
        terminal.rest()
        assert visible().endswith(b"\nNot enought parameters\nPress any key...x\n"), terminal.shown


# wine turns SIGINT into Ctrl+C; its status 0xC000013A shows to a POSIX parent as the low byte.
@pytest.mark.parametrize("program, arguments", [(BRELPACK_EXE, ["old", "big", "big"]), (BRELSPLIT_EXE, ["a.viv"])])
def test_ctrl_c_while_writing_keeps_the_old_file_and_leaves_nothing(tmp_path, program, arguments):
    put(tmp_path, {"old": b"BIGF previous", "a.viv": viv(("old", bytes(512 << 20))), "big": b""})
    os.truncate(tmp_path / "big", 512 << 20)
    before = sorted(os.listdir(tmp_path))
    process = subprocess.Popen([WINE, program, *arguments], cwd=tmp_path, env=dict(os.environ, **WINE_ENVIRONMENT),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, start_new_session=True)
    for _ in range(3000):  # until the output's hidden file is being written
        if hidden(tmp_path):
            break
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=60) == 0x3A
    assert sorted(os.listdir(tmp_path)) == before and (tmp_path / "old").read_bytes() == b"BIGF previous"


@pytest.fixture(scope="module")
def hold_file(tmp_path_factory):  # a Windows program that holds a file open, sharing it with nobody
    program = tmp_path_factory.mktemp("holder") / "hold_file.exe"
    subprocess.run([os.environ["MINGW_CXX"], "-O2", "-static", "-o", program, os.environ["HOLD_FILE_SOURCE"]], check=True)
    return program


# Held for longer than the run waits, the file is reported, naming the reason, and kept.
@pytest.mark.parametrize("held_ms, status", [(1500, 0), (20000, 2)], ids=["let go", "held too long"])
@pytest.mark.parametrize("program, arguments, new", [(BRELSPLIT_EXE, ["a.viv"], b"new" * 1000),
                                                     (BRELPACK_EXE, ["out.bin", "in"], viv(("in", b"new" * 1000)))],
                         ids=["brelsplit", "brelpack"])
def test_an_output_another_program_holds_for_a_moment_is_waited_for(tmp_path, hold_file, program, arguments, new, held_ms,
                                                                    status):
    put(tmp_path, {"out.bin": b"BIGF old", "a.viv": viv(("out.bin", b"new" * 1000)), "in": b"new" * 1000})
    holder = subprocess.Popen([WINE, hold_file, "out.bin", str(held_ms)], cwd=tmp_path, stdout=subprocess.PIPE,
                              env=dict(os.environ, **WINE_ENVIRONMENT))
    try:
        assert holder.stdout.readline().strip() == b"held"
        started = time.monotonic()
        result = wine(program, *arguments, cwd=tmp_path)
        waited = time.monotonic() - started
    finally:
        holder.kill()
        holder.wait()
    assert result.returncode == status and (tmp_path / "out.bin").read_bytes() == (b"BIGF old" if status else new)
    if status:
        assert waited >= 3 and re.fullmatch(rb"brel\w+: out.bin: (Permission denied|Sharing violation|.*another process.*)\r?\n",
                                       result.stderr), result.stderr
    assert hidden(tmp_path) == []


# The zip for Windows users: the two programs, the licence, the READMEs, the Windows one readable in Notepad.
def test_the_windows_zip_holds_the_programs_and_a_readme_with_windows_line_ends(tmp_path):
    config = Path(BRELPACK_EXE).parent / "CPackConfig.cmake"
    subprocess.run(["cpack", "-B", tmp_path, "--config", config], check=True, capture_output=True)
    with zipfile.ZipFile(next(tmp_path.glob("brel-tools-*-win64.zip"))) as packed:
        assert sorted(packed.namelist()) == ["LICENSE", "README-Windows.txt", "README.md", "brelpack.exe", "brelsplit.exe"]
        text = packed.read("README-Windows.txt")
    assert text.count(b"\n") > 50 and text.count(b"\r\n") == text.count(b"\n") and b"\r\r" not in text
