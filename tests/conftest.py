# What the end-to-end tests share: the programs run as from a script, archives made to order, the texts printed.
import contextlib, os, re, resource, shutil, signal, struct, subprocess, tempfile
from pathlib import Path

import pytest

BRELPACK, BRELSPLIT, FAULT_SHIM = (os.environ.get(name, "") for name in ("BRELPACK", "BRELSPLIT", "FAULT_SHIM"))
GENERIC_POSIX = os.environ.get("BREL_GENERIC_POSIX") == "1"  # no files without a name, no reserving of room
AS_NOBODY = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
unsanitized = pytest.mark.skipif(os.environ.get("BREL_SANITIZED") == "1", reason="sanitizers take more")
as_root = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"), reason="needs root to run as another user")

VERSION = re.search(r"project\(brel .*VERSION ([\d.]+)\)", (Path(__file__).parents[1] / "CMakeLists.txt").read_text())[1]
CREDITS = (f"\n\tThe brel tools {VERSION}, free to use, copy and share\n\tE-Mail:   brel-tools@example.org".encode() +
           b"\n\tHomepage: https://brel-tools.example.org/\n")
ENCODER_BANNER = b"Tarvex VIV file encoder" + CREDITS + b"\nUsage: brelpack <filename>.viv file1.xxx file2.xxx ...\n\n"
DECODER_BANNER = b"Tarvex VIV file decoder" + CREDITS + b"\nUsage: brelsplit <filename>.viv\n\n"
PROMPT = b"\nPress any key..."
ENCODED, DECODED = b"\n\nEncoded!" + PROMPT, b"\n\nDecoded!" + PROMPT


# In a session of its own with no controlling terminal, so the key wait returns at once. Limits in bytes; `fault` is a
# BREL_FAULT for the fault shim; `given` is piped to standard input; `ignoring` is a signal ignored from the start.
def run(program, *arguments, cwd, file_size=None, address_space=None, umask=None, fault=None, env=None,
        merged=False, given=None, ignoring=None):
    def set_up():
        for limit, value in ((resource.RLIMIT_FSIZE, file_size), (resource.RLIMIT_AS, address_space)):
            if value is not None:
                resource.setrlimit(limit, (value, value))
        if umask is not None:
            os.umask(umask)
        if ignoring is not None:
            signal.signal(ignoring, signal.SIG_IGN)

    environment = {**os.environ, **(env or {}), **(with_fault(fault) if fault is not None else {})}
    return subprocess.run([str(program), *map(str, arguments)], cwd=cwd, input=given,
                          stdin=subprocess.DEVNULL if given is None else None, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT if merged else subprocess.PIPE, start_new_session=True,
                          preexec_fn=set_up, env=environment, timeout=120)


def with_fault(fault):  # the sanitizers' runtime would otherwise insist on being loaded first
    return dict(LD_PRELOAD=FAULT_SHIM, BREL_FAULT=fault, ASAN_OPTIONS="verify_asan_link_order=0")


be32 = struct.Struct(">I").pack


def viv(*files):  # an archive of (name, data) pairs, in this order, laid out as brelpack lays one out
    files = [(os.fsencode(name), data) for name, data in files]
    offset = 16 + sum(9 + len(name) for name, _ in files)
    header = b"BIGF" + be32(offset + sum(len(data) for _, data in files)) + be32(len(files)) + be32(offset)
    directory = b""
    for name, data in files:
        directory += be32(offset) + be32(len(data)) + name + b"\0"
        offset += len(data)
    return header + directory + b"".join(data for _, data in files)


def put(folder, files):  # each name: bytes, with the folders the names need
    for name, data in files.items():
        (Path(folder) / name).parent.mkdir(parents=True, exist_ok=True)
        (Path(folder) / name).write_bytes(data)


def files_below(folder):  # every regular file below the folder (links left out), with its bytes
    return {str(path.relative_to(folder)): path.read_bytes()
            for path in sorted(Path(folder).rglob("*")) if path.is_file() and not path.is_symlink()}


def names_below(folder):  # everything below the folder, links and folders included
    return sorted(str(path.relative_to(folder)) for path in Path(folder).rglob("*"))


def hidden(folder):  # the program's own hidden files left in the folder
    return [name for name in os.listdir(folder) if name.startswith(".brel-")]


@pytest.fixture
def open_folder():  # where another user may go: pytest's folders are root's own
    folder = Path(tempfile.mkdtemp(dir="/tmp"))
    yield folder
    shutil.rmtree(folder)


# kind: how an image is made (megabytes, command), how it is mounted; the FUSE ones can't make files without a name
DISKS = {"ext4": (64, ["mkfs.ext4", "-q"], ["mount", "-o", "loop"]),
         "xfs": (300, ["mkfs.xfs", "-q"], ["mount", "-o", "loop"]),
         "btrfs": (128, ["mkfs.btrfs", "-q"], ["mount", "-o", "loop"]),
         "tmpfs": (32, None, ["mount", "-t", "tmpfs", "-o", "size=32m", "none"]),
         "exfat": (32, ["mkfs.exfat"], ["mount", "-o", "loop", "-t", "exfat-fuse"]),
         "fat": (32, ["mkfs.vfat"], ["fusefat", "-o", "rw+"]),
         "ntfs": (32, ["mkfs.ntfs", "-F", "-Q"], ["ntfs-3g"])}
FUSE = {"exfat", "fat", "ntfs"}


def sh(*command):
    return subprocess.run(list(map(str, command)), capture_output=True).returncode == 0


@contextlib.contextmanager
def loop_disk(kind, folder, megabytes=None):  # the folder with the file system mounted on it, or a skip saying why
    size, make, mount = DISKS[kind]
    image, disk = folder / f"{kind}.img", folder / kind
    disk.mkdir()
    image.write_bytes(b"")
    os.truncate(image, (megabytes or size) << 20)
    if os.geteuid() != 0 or not (make is None or sh(*make, image)) or not sh(*mount, *([image] * (make is not None)), disk):
        pytest.skip(f"no {kind} image can be made and mounted here (needs root, a loop device, {make or mount})")
    try:
        yield disk
    finally:
        sh("umount", disk) or sh("umount", "-l", disk)


@pytest.fixture
def shared_sticky_folder(open_folder):  # as /tmp, where the system may refuse root a plain create of another's file
    settings = {Path("/proc/sys/fs/protected_regular"): "2", Path("/proc/sys/fs/protected_fifos"): "1"}
    before = {path: path.read_text() for path in settings}
    try:
        for path, value in settings.items():
            path.write_text(value)
    except OSError as error:
        pytest.skip(f"needs root, to set fs.protected_regular and fs.protected_fifos: {error}")
    open_folder.chmod(0o1777)
    yield open_folder
    for path, value in before.items():
        path.write_text(value)
