# The Windows programs, run under wine: a round trip with Windows names and every byte value that a text
# stream would change, and the Win32 console key wait.
import os
import re
import signal
import subprocess
import time

import pytest

from conftest import DECODER_BANNER, files_below, names_below, put, run, viv
from terminal import Terminal

WINE, BRELPACK_EXE, BRELSPLIT_EXE = (os.environ.get(name, "") for name in ("WINE_LOADER", "BRELPACK_EXE", "BRELSPLIT_EXE"))
WINE_ENVIRONMENT = {"WINEPREFIX": os.environ.get("WINE_PREFIX", ""), "WINEDEBUG": "-all"}


def test_round_trip_keeps_backslash_names_and_every_byte(tmp_path):
    binary = b"line\r\nfeed\n\x1a\0end"
    put(tmp_path, {"src/a.txt": b"text\n", "src/sub/b.bin": binary, "dst/sub/.keep": b""})
    packed = run(WINE, BRELPACK_EXE, "..\\dst\\packed.viv", "a.txt", "sub\\b.bin", cwd=tmp_path / "src",
                 env=WINE_ENVIRONMENT)
    archive = viv(("a.txt", b"text\n"), ("sub\\b.bin", binary))
    assert packed.returncode == 0 and (tmp_path / "dst/packed.viv").read_bytes() == archive
    # A device is written into, not replaced or refused.
    assert run(WINE, BRELPACK_EXE, "NUL", "a.txt", cwd=tmp_path / "src", env=WINE_ENVIRONMENT).returncode == 0
    result = run(WINE, BRELSPLIT_EXE, "packed.viv", cwd=tmp_path / "dst", env=WINE_ENVIRONMENT)
    transcript = DECODER_BANNER + b"\na.txt\nsub\\b.bin\n\nDecoded!\nPress any key..."
    assert (result.stdout, result.returncode) == (transcript.replace(b"\n", b"\r\n"), 0)  # a text stream
    assert files_below(tmp_path / "dst") == {
        "packed.viv": archive, "a.txt": b"text\n", "sub/b.bin": binary, "sub/.keep": b""}


# Windows takes a colon for a separator: "..:x" would be "..\\x", "sub:NUL" the device NUL, "s:stream" a drive's
# folder. Such names are refused, and nothing is written outside the working folder, nor as a file or a stream in it.
def test_names_with_a_colon_are_refused_and_nothing_leaves_the_working_folder(tmp_path):
    colon_names = ["..:x", "sub:..:..:y", "sub:NUL", "s:stream"]
    put(tmp_path, {"work/a.viv": viv(*[(name, name.encode()) for name in colon_names], ("plain.txt", b"plain")),
                   "work/sub/.keep": b""})
    result = run(WINE, BRELSPLIT_EXE, "a.viv", cwd=tmp_path / "work", env=WINE_ENVIRONMENT)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines() == [
        f'brelsplit: a.viv: entry {number} "{name}": a name with a colon would name a drive or a stream on Windows'
        for number, name in enumerate(colon_names, 1)]
    assert names_below(tmp_path) == ["work", "work/a.viv", "work/plain.txt", "work/sub", "work/sub/.keep"]
    assert (tmp_path / "work/plain.txt").read_bytes() == b"plain"


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


# wine turns SIGINT into the console's Ctrl+C event. Sent while a large file is being written under its hidden name: the
# run ends with the status Ctrl+C gives (0xC000013A, of which a POSIX parent sees the low byte) and removes that file;
# the old file is kept.
@pytest.mark.parametrize("program, arguments", [(BRELPACK_EXE, ["old", "big", "big"]), (BRELSPLIT_EXE, ["a.viv"])])
def test_ctrl_c_while_writing_keeps_the_old_file_and_leaves_nothing(tmp_path, program, arguments):
    put(tmp_path, {"old": b"previous", "a.viv": viv(("old", bytes(512 << 20))), "big": b""})
    os.truncate(tmp_path / "big", 512 << 20)
    before = sorted(os.listdir(tmp_path))
    process = subprocess.Popen([WINE, program, *arguments], cwd=tmp_path, env=dict(os.environ, **WINE_ENVIRONMENT),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, start_new_session=True)
    for _ in range(3000):
        if any(name.startswith(".brel-") for name in os.listdir(tmp_path)):
            break
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    assert process.wait(timeout=60) == 0x3A
    assert sorted(os.listdir(tmp_path)) == before and (tmp_path / "old").read_bytes() == b"previous"


@pytest.fixture(scope="module")
def hold_file(tmp_path_factory):  # a Windows program that holds a file open, sharing it with nobody
    program = tmp_path_factory.mktemp("holder") / "hold_file.exe"
    subprocess.run([os.environ["MINGW_CXX"], "-O2", "-static", "-o", program, os.environ["HOLD_FILE_SOURCE"]], check=True)
    return program


# Another program holds the output for a moment: the run waits for it and then replaces the file; held for longer
# than the run waits, the file is reported, naming the reason, and kept.
@pytest.mark.parametrize("held_ms, status", [(1500, 0), (20000, 2)], ids=["let go", "held too long"])
@pytest.mark.parametrize("program", ["brelsplit", "brelpack"])
def test_an_output_another_program_holds_for_a_moment_is_waited_for(tmp_path, hold_file, program, held_ms, status):
    put(tmp_path, {"out.bin": b"old", "a.viv": viv(("out.bin", b"new" * 1000)), "in": b"new" * 1000})
    holder = subprocess.Popen([WINE, hold_file, "out.bin", str(held_ms)], cwd=tmp_path, stdout=subprocess.PIPE,
                              env=dict(os.environ, **WINE_ENVIRONMENT))
    try:
        assert holder.stdout.readline().strip() == b"held"
        started = time.monotonic()
        if program == "brelsplit":
            result = run(WINE, BRELSPLIT_EXE, "a.viv", cwd=tmp_path, env=WINE_ENVIRONMENT)
            left = b"new" * 1000 if status == 0 else b"old"
        else:
            result = run(WINE, BRELPACK_EXE, "out.bin", "in", cwd=tmp_path, env=WINE_ENVIRONMENT)
            left = viv(("in", b"new" * 1000)) if status == 0 else b"old"
        waited = time.monotonic() - started
    finally:
        holder.kill()
        holder.wait()
    assert result.returncode == status and (tmp_path / "out.bin").read_bytes() == left
    if status:
        assert waited >= 3 and re.fullmatch(rb"brel\w+: out.bin: (Permission denied|Sharing violation|.*another process.*)\r?\n",
                                       result.stderr), result.stderr
    assert not [name for name in os.listdir(tmp_path) if name.startswith(".brel-")]
