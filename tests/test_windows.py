# The Windows programs, run under wine: a round trip with Windows names and every byte value that a text
# stream would change, and the Win32 console key wait.
import os
import re

from conftest import DECODER_BANNER, files_below, put, run, viv
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
    result = run(WINE, BRELSPLIT_EXE, "packed.viv", cwd=tmp_path / "dst", env=WINE_ENVIRONMENT)
    transcript = DECODER_BANNER + b"\na.txt\nsub\\b.bin\n\nDecoded!\nPress any key..."
    assert (result.stdout, result.returncode) == (transcript.replace(b"\n", b"\r\n"), 0)  # a text stream
    assert files_below(tmp_path / "dst") == {
        "packed.viv": archive, "a.txt": b"text\n", "sub/b.bin": binary, "sub/.keep": b""}


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
        os.write(terminal.master, b"x")
        assert terminal.process.wait(timeout=20) == 1
        terminal.rest()
        assert visible().endswith(b"\nNot enought parameters\nPress any key...x"), terminal.shown
