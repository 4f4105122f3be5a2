#!/usr/bin/env python3
"""Measures brelpack and brelsplit against cat and GNU tar on the same files.

Builds a Release binary, makes its own data in a temporary folder, and times each pair of commands
alternately, page cache warm (every command runs once untimed first, and dirty pages are written back
before each timed run). Reports medians, spreads and ratios, with each run's peak resident memory,
and writes the table to docs/benchmarks.md.

    python3 bench/run.py [--runs N] [--output docs/benchmarks.md] [--memory 1,3] [--baseline REVISION]

The memory table runs each way of using the programs (files, pipes, FUSE file systems when run as root,
the Windows programs under wine when they can be built) on archives of 1 and 3 GiB; --baseline builds
another revision and alternates it with this one on the 1 GiB jobs.
"""
import argparse
import contextlib
import glob
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MiB = 1 << 20


BUILD = os.path.join(ROOT, "build-bench")
MEASURE = os.path.join(BUILD, "measure")


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["c++", "-O2", "-o", MEASURE, os.path.join(ROOT, "bench", "measure.cpp")], check=True)
    return os.path.join(BUILD, "brelpack"), os.path.join(BUILD, "brelsplit")


def run_once(argv, cwd, stdout_path=None, stdin_path=None, env=None):
    """Runs argv through the launcher; returns (seconds, peak KiB, peak anonymous KiB) of the command."""
    launcher = [MEASURE] + (["-i", stdin_path] if stdin_path else []) + [stdout_path or "-"]
    result = subprocess.run(launcher + argv, cwd=cwd, capture_output=True, text=True, env=env)
    if result.returncode != 0:
        sys.exit(f"{argv[0]} failed with status {result.returncode}: {result.stderr}")
    seconds, peak, anonymous = result.stdout.split()
    return float(seconds), int(peak), int(anonymous)


def empty_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def fresh_folder(path):
    """Before each run: an empty folder never used before, at `path` (the previous one moves aside).
    Emptying the same folder again would make the next run pay for ext4's search past the inodes just
    deleted (recently_deleted() in the inode allocator), which swamps what is measured."""
    count = [0]

    def prepare():
        count[0] += 1
        if os.path.exists(path):
            os.rename(path, f"{path}-{count[0]}")
        os.makedirs(path)

    return prepare


class Case:
    """One command of a comparison, with what must be true before each of its runs."""

    def __init__(self, label, argv, cwd, prepare=None, stdout_path=None):
        self.label, self.argv, self.cwd, self.prepare, self.stdout_path = label, argv, cwd, prepare, stdout_path
        self.seconds, self.peaks, self.anonymous = [], [], []

    def run(self, timed):
        if self.prepare:
            self.prepare()
        os.sync()
        elapsed, peak, anonymous = run_once(self.argv, self.cwd, self.stdout_path)
        if timed:
            self.seconds.append(elapsed)
            self.peaks.append(peak)
            self.anonymous.append(anonymous)


def compare(cases, runs):
    for case in cases:
        case.run(timed=False)
    for _ in range(runs):
        for case in cases:
            case.run(timed=True)


def make_files(folder, count, size, seed):
    os.makedirs(folder)
    names = []
    block = os.urandom(min(size, 8 * MiB)) if size else b""
    for i in range(count):
        name = f"f{i:05d}"
        with open(os.path.join(folder, name), "wb") as f:
            written = 0
            while written < size:
                piece = block[: size - written]
                # A different first byte per block keeps the files from being identical.
                f.write(bytes([(seed + i + written) & 0xFF]) + piece[1:])
                written += len(piece)
        names.append(name)
    return names


def describe_machine(work):
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    memory = next((line.split(":", 1)[1].strip() for line in open("/proc/meminfo") if line.startswith("MemTotal")), "?")
    # stat -f names ext4 "ext2/ext3"; the mount table names it as it is.
    filesystem = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", work], capture_output=True, text=True).stdout.strip()
    tar = subprocess.run(["tar", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    cat = subprocess.run(["cat", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    thp = open("/sys/kernel/mm/transparent_hugepage/enabled").read().strip()
    return [
        f"- CPU: {cpu}, {os.cpu_count()} cores; memory: {memory}",
        f"- Kernel: {platform.release()}; file system of the work folder: {filesystem}",
        f"- Transparent huge pages: {thp}",
        f"- Reference tools: {tar}; {cat}",
    ]


def summary(case):
    median = statistics.median(case.seconds)
    return median, min(case.seconds), max(case.seconds), max(case.peaks) / 1024, max(case.anonymous) / 1024


class Background:
    """A shell command run beside a measured one, such as the other end of a named pipe."""

    def __init__(self, command, cwd):
        self.process = subprocess.Popen(["bash", "-c", command], cwd=cwd)

    def finish(self):
        if self.process.wait(timeout=600) != 0:
            sys.exit(f"{self.process.args} failed")


@contextlib.contextmanager
def mounted(kind, work, size):
    """A loop image of the file system `kind` mounted through FUSE, or None where that can't be made."""
    tools = {"exfat": (["mkfs.exfat"], ["mount", "-o", "loop", "-t", "exfat-fuse"]),
             "ntfs": (["mkfs.ntfs", "-F", "-f", "-q"], ["ntfs-3g"])}
    make, mount = tools[kind]
    if os.geteuid() != 0 or not shutil.which(make[0]) or not shutil.which(mount[-1] if kind == "ntfs" else "mount.exfat-fuse"):
        yield None
        return
    image, point = os.path.join(work, f"{kind}.img"), os.path.join(work, kind)
    with open(image, "wb") as f:
        f.truncate(size)
    os.makedirs(point, exist_ok=True)
    subprocess.run(make + [image], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(mount + [image, point], check=True)
    try:
        yield point
    finally:
        subprocess.run(["umount", point])
        os.rmdir(point)
        os.remove(image)


def memory_table(brelpack, brelsplit, work, gib, runs, windows):
    """Each way of running the programs on an archive of about `gib` GiB: a list of (way, seconds, peak KiB,
    anonymous KiB), the largest of `runs` runs."""
    folder = os.path.join(work, f"memory-{gib}")
    names = make_files(os.path.join(folder, "in"), 1, gib * 1024 * MiB, seed=gib)
    source = os.path.join(folder, "in", names[0])
    archive, fifo, split = (os.path.join(folder, name) for name in ("a.viv", "fifo", "split"))
    os.mkfifo(fifo)
    results = []

    def measure(way, argv, cwd, before=None, reader=None, writer=None, env=None):
        worst = None
        for _ in range(runs):
            if before:
                before()
            os.sync()
            side = Background(reader or writer, folder) if (reader or writer) else None
            seconds, peak, anonymous = run_once(argv, cwd, stdout_path=fifo if reader else None,
                                                stdin_path=fifo if writer else None, env=env)
            if side:
                side.finish()
            worst = (max(worst[0], seconds), max(worst[1], peak), max(worst[2], anonymous)) if worst else (seconds, peak, anonymous)
        results.append((way, *worst))

    remove = lambda path: (lambda: os.path.exists(path) and os.remove(path))
    measure("pack to a new file", [brelpack, archive, names[0]], os.path.dirname(source), remove(archive))
    measure("pack over an old archive", [brelpack, archive, names[0]], os.path.dirname(source))
    measure("pack to a pipe", [brelpack, "/dev/stdout", names[0]], os.path.dirname(source), reader=f"cat fifo > piped.viv")
    measure("pack with an input from a pipe", [brelpack, os.path.join(folder, "b.viv"), "/dev/stdin"], folder,
            remove(os.path.join(folder, "b.viv")), writer=f"cat {source} > fifo")
    for kind in ("exfat", "ntfs"):
        with mounted(kind, work, gib * 1024 * MiB + 512 * MiB) as point:
            if point:
                measure(f"pack onto {'exFAT' if kind == 'exfat' else 'NTFS'} (FUSE)", [brelpack, os.path.join(point, "a.viv"),
                        names[0]], os.path.dirname(source), remove(os.path.join(point, "a.viv")))
    renew = lambda: empty_folder(split)
    measure("unpack from a file", [brelsplit, archive], split, renew)
    measure("unpack from a pipe", [brelsplit, "/dev/stdin"], split, renew, writer=f"cat {archive} > fifo")
    if windows:
        wine, exe_folder, prefix = windows
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
        measure("Windows: pack to a new file (wine)", [wine, os.path.join(exe_folder, "brelpack.exe"), "w.viv", names[0]],
                os.path.dirname(source), remove(os.path.join(os.path.dirname(source), "w.viv")), env=env)
        measure("Windows: unpack from a file (wine)", [wine, os.path.join(exe_folder, "brelsplit.exe"), archive], split,
                renew, env=env)
    shutil.rmtree(folder)
    return results


def build_windows():
    """The Windows programs and a wine prefix for them, or None where the cross compiler or wine is missing."""
    wine = shutil.which("wine64") or ("/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else None)
    if not wine or not shutil.which("x86_64-w64-mingw32-g++-posix"):
        return None
    folder = os.path.join(ROOT, "build-bench-windows")
    subprocess.run(["cmake", "-S", ROOT, "-B", folder, f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/mingw-w64-x86_64.cmake",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "-j2"], check=True, stdout=subprocess.DEVNULL)
    prefix = os.path.join(folder, "wine-prefix")
    subprocess.run([wine, "wineboot", "--init"], env=dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all"),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return wine, folder, prefix


def build_baseline(revision):
    """brelpack and brelsplit as built from another revision of this repository, for a paired comparison."""
    folder = os.path.join(ROOT, "build-bench-baseline")
    shutil.rmtree(folder, ignore_errors=True)
    source = os.path.join(folder, "source")
    os.makedirs(source)
    archive = subprocess.run(["git", "-C", ROOT, "archive", revision], check=True, capture_output=True).stdout
    subprocess.run(["tar", "x", "-C", source], input=archive, check=True)
    subprocess.run(["cmake", "-S", source, "-B", folder, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "-j2"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, "brelpack"), os.path.join(folder, "brelsplit")


def paired(ours, theirs, work, runs):
    """The two builds alternated on 8 files of 128 MiB: pack and unpack, into new and over old outputs."""
    folder = os.path.join(work, "paired")
    names = make_files(os.path.join(folder, "in"), 8, 128 * MiB, seed=3)
    source = os.path.join(folder, "in")
    rows = []
    for job in ("pack to a new file", "pack over an old archive", "unpack into an empty folder",
                "unpack over the files of a previous run"):
        cases = []
        for label, (brelpack, brelsplit) in (("this build", ours), ("the baseline", theirs)):
            archive = os.path.join(folder, f"{label}.viv")
            split = os.path.join(folder, f"split-{label}")
            os.makedirs(split, exist_ok=True)
            if not os.path.exists(archive):
                run_once([brelpack, archive] + names, source)
            if job.startswith("pack"):
                new = job == "pack to a new file"
                cases.append(Case(label, [brelpack, archive] + names, source, (lambda a: lambda: os.remove(a))(archive) if new else None))
            else:
                fresh = job == "unpack into an empty folder"
                cases.append(Case(label, [brelsplit, archive], split, (lambda d: lambda: empty_folder(d))(split) if fresh else None))
        compare(cases, runs)
        rows.append((job, *cases))
    shutil.rmtree(folder)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "benchmarks.md"))
    parser.add_argument("--work", default=None, help="folder for the data (default: a new temporary folder)")
    parser.add_argument("--sets", choices=["small", "large", "both"], default="both",
                        help="which file sets to measure (the table is written only for both)")
    parser.add_argument("--memory", default="1,3", help="archive sizes in GiB for the memory table ('' for none)")
    parser.add_argument("--memory-runs", type=int, default=2)
    parser.add_argument("--baseline", default=None, help="a git revision to compare this build with, paired")
    options = parser.parse_args()

    brelpack, brelsplit = build()
    work = tempfile.mkdtemp(prefix="brel-bench-", dir=options.work)
    rows = []
    try:
        # The small files first: ext4 makes new files slow for minutes after many were deleted.
        sets = {
            "5 000 files x 1 KiB": (5000, 1024, 5000 * 1024),
            "20 000 files x 1 KiB": (20000, 1024, 20000 * 1024),
            "8 files x 128 MiB": (8, 128 * MiB, 1024 * MiB),
        }
        for title, (count, size, total) in sets.items():
            if options.sets != "both" and (count == 8) != (options.sets == "large"):
                continue
            source = os.path.join(work, "source")
            out = os.path.join(work, "out")
            shutil.rmtree(source, ignore_errors=True)
            empty_folder(out)
            names = make_files(source, count, size, seed=count)
            archive = os.path.join(out, "pack.viv")
            tarball = os.path.join(out, "pack.tar")
            remove = lambda path: (lambda: os.path.exists(path) and os.remove(path))

            pack = Case("brelpack", [brelpack, archive] + names, source, remove(archive))
            cat = Case("cat", ["cat"] + names, source, remove(os.path.join(out, "cat.out")),
                       stdout_path=os.path.join(out, "cat.out"))
            tar_pack = Case("tar cf", ["tar", "cf", tarball] + names, source, remove(tarball))
            compare([pack, cat, tar_pack], options.runs)
            large = count == 8
            rows.append((title, "pack", pack, cat, 1.2 if large else None, total))
            rows.append((title, "pack", pack, tar_pack, 0.6 if large else 1.0, total))

            for fresh in (True, False):
                split_dir, untar_dir = os.path.join(work, "split"), os.path.join(work, "untar")
                # Many files: a new folder each run; a few large ones: the same folder emptied, so that
                # the old copies don't pile up in memory.
                renew = fresh_folder if count > 100 else lambda path: (lambda: empty_folder(path))
                split = Case("brelsplit", [brelsplit, archive], split_dir, renew(split_dir) if fresh else None)
                untar = Case("tar xf", ["tar", "xf", tarball], untar_dir, renew(untar_dir) if fresh else None)
                cat_dir = os.path.join(work, "cat-archive")
                cat_archive = Case("cat", ["cat", archive], cat_dir, renew(cat_dir),
                                   stdout_path=os.path.join(cat_dir, "archive"))
                empty_folder(split_dir)
                empty_folder(untar_dir)
                empty_folder(cat_dir)
                compare([split, untar] + ([cat_archive] if fresh and large else []), options.runs)
                # Over a previous run, large files are replaced and flushed to the disk first (tar keeps no
                # old file at all); small ones are written over where they stand.
                target = (0.6 if fresh else 1.0) if large else 1.0 if fresh else 0.3
                job = "unpack into an empty folder" if fresh else "unpack over the files of a previous run"
                if fresh and large:
                    rows.append((title, job, split, cat_archive, 1.2, total))
                rows.append((title, job, split, untar, target, total))
                for folder in glob.glob(split_dir + "*") + glob.glob(untar_dir + "*") + glob.glob(cat_dir + "*"):
                    shutil.rmtree(folder)
            shutil.rmtree(source)
            shutil.rmtree(out)
        windows = build_windows() if options.memory else None
        memory = [(gib, memory_table(brelpack, brelsplit, work, gib, options.memory_runs if gib == 1 else 1,
                                     windows if gib == 1 else None))
                  for gib in (int(size) for size in options.memory.split(",") if size)]
        pairs = paired((brelpack, brelsplit), build_baseline(options.baseline), work, options.runs) if options.baseline else []
        machine = describe_machine(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    lines = [
        "# Benchmarks",
        "",
        "Made by `python3 bench/run.py` (Release build; page cache warm; each pair run alternately,"
        f" {options.runs} timed runs each after one untimed run; dirty pages written back before every run;"
        " every unpack of the small files into an empty folder gets a folder never used before)."
        " Times are medians in seconds with the fastest and slowest run; memory is the largest peak"
        " resident set of the runs (mapped file pages included) and, for brel, the largest peak of its"
        " anonymous part, memory of the program's own. The ratio is brel's median over the reference's.",
        "",
        *machine,
        "",
        "| Files | Job | brel (s) | Reference (s) | Ratio | Target | brel peak MiB | brel anonymous MiB |"
        " Reference peak MiB | Memory limit MiB |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for title, job, ours, theirs, target, total in rows:
        o, t = summary(ours), summary(theirs)
        ratio = o[0] / t[0]
        limit = total / MiB + 16
        target_text = "-" if target is None else f"<= {target:.1f} {'met' if ratio <= target else 'MISSED'}"
        memory_text = f"{limit:.0f} {'met' if o[3] <= limit else 'MISSED'}"
        lines.append(f"| {title} | {job}: {ours.label} vs {theirs.label} | {o[0]:.3f} ({o[1]:.3f}-{o[2]:.3f}) | "
                     f"{t[0]:.3f} ({t[1]:.3f}-{t[2]:.3f}) | {ratio:.2f} | {target_text} | {o[3]:.1f} | {o[4]:.1f} | {t[3]:.1f} | "
                     f"{memory_text} |")
    if memory:
        lines += ["", "## Memory", "",
                  "Each way of running the programs on one file of 1 or 3 GiB, its largest peak over the runs (the 3 GiB"
                  " ones once): resident memory, mapped file pages included, and its anonymous part. The directory of"
                  " one entry is a few bytes, so the target is 16 MiB for every row (64 MiB under wine).", "",
                  "| Archive | Way | Seconds | Peak MiB | Anonymous MiB | Target |", "|---|---|---|---|---|---|"]
        for gib, results in memory:
            for way, seconds, peak, anonymous in results:
                limit = 64 if "wine" in way else 16
                lines.append(f"| {gib} GiB | {way} | {seconds:.2f} | {peak / 1024:.1f} | {anonymous / 1024:.1f} | "
                             f"<= {limit} {'met' if peak / 1024 <= limit else 'MISSED'} |")
    if pairs:
        lines += ["", f"## Paired with {options.baseline}", "",
                  f"8 files of 128 MiB, the two builds alternated, {options.runs} timed runs each; medians in seconds.", "",
                  "| Job | This build | Baseline | Ratio |", "|---|---|---|---|"]
        for job, ours, theirs in pairs:
            o, t = summary(ours), summary(theirs)
            lines.append(f"| {job} | {o[0]:.3f} ({o[1]:.3f}-{o[2]:.3f}) | {t[0]:.3f} ({t[1]:.3f}-{t[2]:.3f}) | {o[0] / t[0]:.2f} |")
    text = "\n".join(lines) + "\n"
    if options.sets != "both":
        print(text)
        return
    # What was written by hand below the table (the "## Notes" section) stays.
    if os.path.exists(options.output):
        previous = open(options.output).read()
        notes_at = previous.find("\n## Notes")
        if notes_at >= 0:
            text += previous[notes_at:]
    os.makedirs(os.path.dirname(options.output), exist_ok=True)
    with open(options.output, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
