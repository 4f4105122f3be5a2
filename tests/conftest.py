"""What the end-to-end tests share: the programs run as a user runs them from a script, archives made
to order, and the texts the programs print.

A program runs in its own session with no controlling terminal (so its key wait returns at once),
standard input from /dev/null, in a folder of the test's, with its output and status captured."""
import os
import resource
import struct
import subprocess
from pathlib import Path

BRELPACK = os.environ.get("BRELPACK", "")
BRELSPLIT = os.environ.get("BRELSPLIT", "")
FAULT_SHIM = os.environ.get("FAULT_SHIM", "")
SANITIZED = os.environ.get("BREL_SANITIZED") == "1"

CREDITS = (b"\n\tThe brel tools, free to use, copy and share"
           b"\n\tE-Mail:   brel-tools@example.org"
           b"\n\tHomepage: https://brel-tools.example.org/\n")
ENCODER_BANNER = b"Tarvex VIV file encoder" + CREDITS + b"\nUsage: brelpack <filename>.viv file1.xxx file2.xxx ...\n\n"
DECODER_BANNER = b"Tarvex VIV file decoder" + CREDITS + b"\nUsage: brelsplit <filename>.viv\n\n"
PROMPT = b"\nPress any key..."
ENCODED = b"\n\nEncoded!" + PROMPT
DECODED = b"\n\nDecoded!" + PROMPT


def environment(fault=None, env=None):
    """The test's environment, with `env` added and, given a BREL_FAULT, the fault shim preloaded."""
    environment = dict(os.environ, **(env or {}))
    if fault is not None:
        # The sanitizers' runtime would otherwise insist on being loaded first.
        environment.update(LD_PRELOAD=FAULT_SHIM, BREL_FAULT=fault, ASAN_OPTIONS="verify_asan_link_order=0")
    return environment


def run(program, *arguments, cwd, file_size=None, address_space=None, umask=None, fault=None, env=None):
    """Runs the program with these arguments; `file_size` and `address_space` are limits in bytes,
    `fault` a BREL_FAULT for the preloaded fault shim. Returns the CompletedProcess."""
    def set_up():
        for limit, value in ((resource.RLIMIT_FSIZE, file_size), (resource.RLIMIT_AS, address_space)):
            if value is not None:
                resource.setrlimit(limit, (value, value))
        if umask is not None:
            os.umask(umask)

    return subprocess.run([str(program), *map(str, arguments)], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, start_new_session=True, preexec_fn=set_up,
                          env=environment(fault, env), timeout=120)


def be32(value):
    return struct.pack(">I", value)


def viv(*files):
    """An archive of (name, data) pairs, in this order, laid out as brelpack lays one out."""
    files = [(name.encode() if isinstance(name, str) else name, data) for name, data in files]
    data_start = 16 + sum(9 + len(name) for name, _ in files)
    size = data_start + sum(len(data) for _, data in files)
    directory, offset = b"", data_start
    for name, data in files:
        directory += be32(offset) + be32(len(data)) + name + b"\0"
        offset += len(data)
    return b"BIGF" + be32(size) + be32(len(files)) + be32(data_start) + directory + b"".join(d for _, d in files)


def files_below(folder):
    """Every regular file below the folder (links left out), by relative name, with its bytes."""
    folder = Path(folder)
    return {str(path.relative_to(folder)): path.read_bytes()
            for path in sorted(folder.rglob("*")) if path.is_file() and not path.is_symlink()}


def names_below(folder):
    """Everything below the folder, links and folders included, by relative name."""
    return sorted(str(path.relative_to(folder)) for path in Path(folder).rglob("*"))


def put(folder, files):
    """Writes each (name: bytes) into the folder, making the folders its names need."""
    for name, data in files.items():
        path = Path(folder) / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
