# The frame of every run: the usage failure, and the key wait on a real terminal.
import os, signal, subprocess, sys, termios

import pytest

from conftest import (BRELPACK, BRELSPLIT, DECODED, DECODER_BANNER, ENCODED, ENCODER_BANNER, PROMPT, names_below, put,
                      run, viv, with_fault)
from terminal import Terminal


@pytest.mark.parametrize("program, arguments, banner", [
    (BRELPACK, [], ENCODER_BANNER), (BRELPACK, ["out.viv"], ENCODER_BANNER), (BRELSPLIT, [], DECODER_BANNER)])
def test_too_few_arguments_print_the_usage_and_exit_with_one(tmp_path, program, arguments, banner):
    result = run(program, *arguments, cwd=tmp_path)
    assert (result.stdout, result.stderr, result.returncode) == (banner + b"\nNot enought parameters" + PROMPT, b"", 1)
    assert names_below(tmp_path) == []


@pytest.mark.parametrize("argv, keys, ending_signal, echo, status", [
    pytest.param([BRELPACK], b"x", None, b"x\r\n", 1, id="letter after the usage failure"),
    # a line typed while the run is busy is dropped at the prompt: the shell gets none of it
    pytest.param([BRELPACK, "out.viv", "in"], b"y", None, b"y\r\n", 0, id="keys typed before the prompt dropped"),
    pytest.param([BRELSPLIT, "a.viv"], b"\x03", None, b"^C\r\n", 0, id="Ctrl+C is a key; control bytes in names shown as ?"),
    pytest.param([BRELPACK], b"\x7f", None, b"^?\r\n", 1, id="DEL in caret notation"),
    pytest.param([BRELPACK], b"\x9b", None, b"\r\n", 1, id="C1 control byte alone, not echoed"),
    pytest.param([BRELPACK], b"\x1b[15~", None, b"\r\n", 1, id="function key, whole sequence taken"),
    pytest.param([BRELPACK], "é".encode(), None, "é".encode() + b"\r\n", 1, id="character of several bytes"),
    *(pytest.param([BRELPACK, "out.viv", "in"], b"", ending, b"", -ending, id=f"ended by {ending.name}")
      for ending in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)),
])
def test_one_key_ends_the_wait_and_its_line_and_leaves_the_terminal_as_it_was(tmp_path, argv, keys, ending_signal, echo,
                                                                              status):
    put(tmp_path, {"in": b"data", "a.viv": viv((b"a\x1b[2J\x07b\x9b2J\xc2\x9b2J caf\xc3\xa9", b"x"))})
    typed = b"ls -d src\r" if keys == b"y" else b""  # typed while "in" is opened, slowly
    with Terminal(argv, tmp_path, env={**os.environ, **with_fault("open:in:sleep 1")} if typed else None) as terminal:
        os.write(terminal.master, typed)
        terminal.expect(b"Press any key...")  # on screen before any key is pressed
        assert terminal.waits_for_key() and terminal.rest() == b"" and terminal.process.poll() is None
        assert b"\x1b" not in terminal.shown and (argv[0] == BRELPACK or b"\na?[2J?b?2J?2J caf\xc3\xa9" in terminal.shown)
        if ending_signal:
            terminal.process.send_signal(ending_signal)
        os.write(terminal.master, keys)
        assert terminal.process.wait(timeout=20) == status
        assert terminal.rest() == echo
        assert termios.tcgetattr(terminal.slave) == terminal.before
        assert terminal.unread_input() == 0


# As in `brelsplit a.viv | tee log`.
@pytest.mark.parametrize("arguments, status, output", [
    ([], 1, DECODER_BANNER + b"\nNot enought parameters" + PROMPT), (["a.viv"], 0, DECODER_BANNER + b"\na" + DECODED)],
    ids=["usage failure", "completed run"])
def test_the_prompt_shows_on_the_terminal_and_the_output_in_the_pipe_during_the_wait(tmp_path, arguments, status,
                                                                                    output):
    put(tmp_path, {"a.viv": viv(("a", b"x"))})
    reader, writer = os.pipe()
    os.set_blocking(reader, False)
    with Terminal([BRELSPLIT, *arguments], tmp_path, stdout=writer) as terminal:
        os.close(writer)
        assert terminal.expect(b"Press any key...") == b"\r\nPress any key..." and terminal.waits_for_key()
        assert os.read(reader, 1 << 16) == output  # BlockingIOError when the pipe is still empty
        os.write(terminal.master, b"x")
        assert terminal.process.wait(timeout=20) == status and terminal.rest() == b"x\r\n"
    assert os.read(reader, 1) == b""
    os.close(reader)


# Not in the terminal's foreground process group (`brelpack out.viv in &`, or under timeout(1)), even with TOSTOP set.
# The job is started by a foreground process that reports a stopped job as 128 + the stop signal.
BACKGROUND_JOB = """import os, subprocess, sys
job = subprocess.Popen(sys.argv[1:], process_group=0)
_, status = os.waitpid(job.pid, os.WUNTRACED)
sys.exit(128 + os.WSTOPSIG(status) if os.WIFSTOPPED(status) else os.waitstatus_to_exitcode(status))"""


@pytest.mark.parametrize("to_log, local_modes, shown", [
    (False, 0, (ENCODER_BANNER + ENCODED).replace(b"\n", b"\r\n")), (True, termios.TOSTOP, b"")],
    ids=["standard output on the terminal", "standard output to a file, TOSTOP set"])
def test_a_run_in_the_background_does_not_wait_nor_touch_the_terminal(tmp_path, to_log, local_modes, shown):
    put(tmp_path, {"in": b"data"})
    argv = [sys.executable, "-c", BACKGROUND_JOB, BRELPACK, "out.viv", "in"]
    with (open(tmp_path / "log", "wb") as log,
          Terminal(argv, tmp_path, stdout=log if to_log else None, local_modes=local_modes) as terminal):
        assert terminal.process.wait(timeout=20) == 0
        assert terminal.rest() == shown and termios.tcgetattr(terminal.slave) == terminal.before
    assert (tmp_path / "log").read_bytes() == (ENCODER_BANNER + ENCODED if to_log else b"")
    assert (tmp_path / "out.viv").read_bytes() == viv(("in", b"data"))


# Wherever the entry lines left off, and without a blank line after another error or the banner.
@pytest.mark.parametrize("archive, lines", [
    (viv(("src/a.bin", b"x"))[:8] + b"\0\0\0\2" + viv(("src/a.bin", b"x"))[12:],
     b"\nsrc/a.bin\nbrelsplit: src/a.bin: the folder \"src/\" does not exist, and brelsplit does not create folders\n"
     b"brelsplit: a.viv: entry 2: the directory runs past the end of the archive\n"),
    (None, b"brelsplit: a.viv: No such file or directory\n")], ids=["after an entry line", "after the banner"])
def test_on_a_shared_terminal_an_error_starts_a_line_of_its_own(tmp_path, archive, lines):
    put(tmp_path, {"a.viv": archive} if archive else {})
    with Terminal([BRELSPLIT, "a.viv"], tmp_path) as terminal:
        screen = (DECODER_BANNER + lines + PROMPT).replace(b"\n", b"\r\n")
        assert terminal.expect(b"Press any key...") == screen


# A full disk, and a pipe whose reader has gone (SIGPIPE ignored, so the write fails with EPIPE).
@pytest.mark.parametrize("argv, output, error", [
    ([BRELSPLIT, "a.viv"], "/dev/full", "brelsplit: standard output: No space left on device\n"),
    ([BRELPACK], None, "brelpack: standard output: Broken pipe\n")])
def test_output_that_could_not_be_written_is_reported_with_status_two(tmp_path, argv, output, error):
    put(tmp_path, {"a.viv": viv(("a", b"x"))})
    reader, writer = os.pipe()
    os.close(reader)
    stdout = os.open(output, os.O_WRONLY) if output else writer
    result = subprocess.run(argv, cwd=tmp_path, stdout=stdout, stderr=subprocess.PIPE, start_new_session=True,
                            preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
    for fd in {stdout, writer}:
        os.close(fd)
    assert (result.stderr.decode(), result.returncode) == (error, 2)


# As under nohup: sent while an entry or the archive is written, it changes nothing.
@pytest.mark.parametrize("program, arguments, fault, written", [
    (BRELSPLIT, ["a.viv"], "write:raise 1", "entry"), (BRELPACK, ["out.viv", "in"], "open:in:raise 1", "out.viv")],
    ids=["brelsplit", "brelpack"])
def test_a_stop_signal_the_caller_ignores_stays_ignored(tmp_path, program, arguments, fault, written):
    data = os.urandom(100 << 10)
    put(tmp_path, {"in": data, "a.viv": viv(("entry", data))})
    result = run(program, *arguments, cwd=tmp_path, fault=fault, ignoring=signal.SIGHUP)
    assert (result.stderr, result.returncode) == (b"", 0)
    assert (tmp_path / written).read_bytes() == (data if program == BRELSPLIT else viv(("in", data)))
