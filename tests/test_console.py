"""The frame of every run: the usage failure, and the key wait on a real terminal."""
import signal

import pytest

from conftest import BRELPACK, BRELSPLIT, DECODER_BANNER, ENCODER_BANNER, PROMPT, names_below, put, run, viv
from terminal import Terminal


@pytest.mark.parametrize("program, arguments, banner", [
    (BRELPACK, [], ENCODER_BANNER), (BRELPACK, ["out.viv"], ENCODER_BANNER), (BRELSPLIT, [], DECODER_BANNER)])
def test_too_few_arguments_print_the_usage_and_exit_with_one(tmp_path, program, arguments, banner):
    result = run(program, *arguments, cwd=tmp_path)
    assert (result.stdout, result.stderr, result.returncode) == (banner + b"\nNot enought parameters" + PROMPT, b"", 1)
    assert names_below(tmp_path) == []


@pytest.mark.parametrize("arguments, keys, ending_signal, echo, status", [
    pytest.param([], b"x", None, b"x", 1, id="letter after the usage failure"),
    pytest.param(["out.viv", "in"], b"q", None, b"q", 0, id="letter after packing"),
    pytest.param(["out.viv", "in"], b"\x03", None, b"\x03", 0, id="Ctrl+C is a key"),
    pytest.param(["out.viv", "in"], b"\x1b[A", None, b"", 0, id="cursor key, whole sequence taken"),
    pytest.param([], b"\x1b[15~", None, b"", 1, id="function key, whole sequence taken"),
    pytest.param([], "é".encode(), None, "é".encode(), 1, id="character of several bytes"),
    pytest.param([], b"", signal.SIGTERM, b"", -signal.SIGTERM, id="ended by SIGTERM"),
    pytest.param(["out.viv", "in"], b"", signal.SIGHUP, b"", -signal.SIGHUP, id="ended by SIGHUP"),
])
def test_one_key_ends_the_wait_is_echoed_and_leaves_the_terminal_as_it_was(tmp_path, arguments, keys, ending_signal,
                                                                           echo, status):
    put(tmp_path, {"in": b"data"})
    with Terminal([BRELPACK, *arguments], tmp_path) as terminal:
        assert terminal.expect(b"Press any key...").endswith(b"Press any key...")
        assert terminal.waits_for_key()
        if ending_signal:
            terminal.process.send_signal(ending_signal)
        terminal.press(keys)
        assert terminal.finish() == status
        assert terminal.rest() == echo
        assert terminal.modes_restored()
        assert terminal.unread_input() == 0


def test_names_cannot_send_control_bytes_to_a_terminal(tmp_path):
    name = b"a\x1b[2J\x07b"
    put(tmp_path, {"a.viv": viv((name, b"x"))})
    with Terminal([BRELSPLIT, "a.viv"], tmp_path) as terminal:
        screen = terminal.expect(b"Press any key...")
        assert terminal.waits_for_key()
        terminal.press(b"x")
        assert terminal.finish() == 0
    assert b"a?[2J?b" in screen and b"\x1b" not in screen
    assert (tmp_path / name.decode()).read_bytes() == b"x"
