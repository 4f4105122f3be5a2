"""The Windows programs, run under wine: the same frame and archives, Windows names and the Win32 console
key wait."""
import os
import re

import pytest

from conftest import DECODER_BANNER, ENCODER_BANNER, files_below, names_below, put, run, viv
from terminal import Terminal

WINE = os.environ.get("WINE_LOADER", "")
BRELPACK_EXE = os.environ.get("BRELPACK_EXE", "")
BRELSPLIT_EXE = os.environ.get("BRELSPLIT_EXE", "")
WINE_ENVIRONMENT = {"WINEPREFIX": os.environ.get("WINE_PREFIX", ""), "WINEDEBUG": "-all"}


def run_windows(program, *arguments, cwd):
    return run(WINE, program, *arguments, cwd=cwd, env=WINE_ENVIRONMENT)


def crlf(text):
    """Standard output is a text stream on Windows: every line feed goes out as CR LF."""
    return text.replace(b"\n", b"\r\n")


def visible_text(screen):
    """What a terminal shows of wine's console output: it draws with control sequences, moving the cursor
    right over blanks (counted here as blanks); every other sequence and every CR is dropped."""
    screen = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or b"0"), screen)
    return re.sub(rb"\x1b\[[0-?]*[ -/]*[@-~]|\r", b"", screen)


@pytest.mark.parametrize("program, banner", [(BRELPACK_EXE, ENCODER_BANNER), (BRELSPLIT_EXE, DECODER_BANNER)])
def test_too_few_arguments_print_the_usage_and_exit_with_one(tmp_path, program, banner):
    result = run_windows(program, cwd=tmp_path)
    assert (result.stdout, result.returncode) == (crlf(banner + b"\nNot enought parameters\nPress any key..."), 1)
    assert names_below(tmp_path) == []


def test_round_trip_keeps_backslash_names_and_binary_bytes(tmp_path):
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


def test_refuses_drives_roots_shares_climbs_and_devices(tmp_path):
    names = ["C:x", "\\x", "\\\\host\\share\\x", "a\\..\\..\\x", "CON", "nul.txt"]
    put(tmp_path, {"a.viv": viv(*((name, b"data") for name in names), ("ok", b"7"))})
    result = run_windows(BRELSPLIT_EXE, "a.viv", cwd=tmp_path)
    reasons = ["a name with a drive letter would be written outside the working folder",
               "an absolute name would be written outside the working folder",
               "an absolute name would be written outside the working folder",
               "a name with a \"..\" part could be written outside the working folder",
               "the name is that of a device", "the name is that of a device"]
    assert result.stderr == crlf("".join(f"brelsplit: a.viv: entry {number} \"{name}\": {reason}\n"
                                         for number, (name, reason) in enumerate(zip(names, reasons), 1)).encode())
    assert result.returncode == 2
    assert names_below(tmp_path) == ["a.viv", "ok"]


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
        assert terminal.finish() == status
        terminal.rest()
        assert visible_text(terminal.shown).endswith(prompt + echo), terminal.shown
