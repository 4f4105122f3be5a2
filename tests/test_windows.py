# The Windows programs, run under wine: the same frame and archives, Windows names and the Win32 console
# key wait.
import os
import re

import pytest

from conftest import DECODER_BANNER, files_below, put, run, viv
from terminal import Terminal

WINE, BRELPACK_EXE, BRELSPLIT_EXE = (os.environ.get(name, "") for name in ("WINE_LOADER", "BRELPACK_EXE", "BRELSPLIT_EXE"))
WINE_ENVIRONMENT = {"WINEPREFIX": os.environ.get("WINE_PREFIX", ""), "WINEDEBUG": "-all"}


def run_windows(program, *arguments, cwd):
    return run(WINE, program, *arguments, cwd=cwd, env=WINE_ENVIRONMENT)


def crlf(text):  # standard output is a text stream on Windows: every line feed goes out as CR LF
    return text.replace(b"\n", b"\r\n")


def visible_text(screen):  # of wine's console output: a cursor move right is blanks; other sequences go
    screen = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or b"0"), screen)
    return re.sub(rb"\x1b\[[0-?]*[ -/]*[@-~]|\r", b"", screen)


def test_round_trip_keeps_backslash_names_and_bytes_and_windows_names_are_refused(tmp_path):
    binary = b"line\r\nfeed\n\x1a\0end"
    put(tmp_path, {"src/a.txt": b"text\n", "src/sub/b.bin": binary})
    (tmp_path / "dst/sub").mkdir(parents=True)
    assert run_windows(BRELPACK_EXE, "..\\dst\\packed.viv", "a.txt", "sub\\b.bin", cwd=tmp_path / "src").returncode == 0
    archive = viv(("a.txt", b"text\n"), ("sub\\b.bin", binary))
    assert (tmp_path / "dst/packed.viv").read_bytes() == archive

    result = run_windows(BRELSPLIT_EXE, "packed.viv", cwd=tmp_path / "dst")
    assert (result.stdout, result.returncode) == (
        crlf(DECODER_BANNER + b"\na.txt\nsub\\b.bin\n\nDecoded!\nPress any key..."), 0)
    assert files_below(tmp_path / "dst") == {"packed.viv": archive, "a.txt": b"text\n", "sub/b.bin": binary}
    # The Windows rules for names are in force (each is tested at code level).
    put(tmp_path, {"dst/b.viv": viv(("nul.txt", b"1"), ("C:x", b"2"))})
    assert run_windows(BRELSPLIT_EXE, "b.viv", cwd=tmp_path / "dst").stderr == crlf(
        b"brelsplit: b.viv: entry 1 \"nul.txt\": the name is that of a device\nbrelsplit: b.viv: entry 2 \"C:x\": a "
        b"name with a drive letter would be written outside the working folder\n")


@pytest.mark.parametrize("arguments, key, echo, status", [
    ([], b"x", b"x", 1),
    (["out.viv", "in"], b"\x03", b"", 0),  # wine's console shows no glyph for 0x03
])
def test_key_wait_on_the_console_ends_with_one_key_and_echoes_it(tmp_path, arguments, key, echo, status):
    put(tmp_path, {"in": b"data"})
    with Terminal([WINE, BRELPACK_EXE, *arguments], tmp_path, env=dict(os.environ, **WINE_ENVIRONMENT),
                  input_from_terminal=True) as terminal:
        prompt = b"Press any key..."
        for _ in range(100):
            terminal.rest()
            if visible_text(terminal.shown).endswith(prompt):
                break
        assert visible_text(terminal.shown).endswith(prompt), terminal.shown
        terminal.press(key)
        assert terminal.process.wait(timeout=20) == status
        terminal.rest()
        assert visible_text(terminal.shown).endswith(prompt + echo), terminal.shown
