#!/usr/bin/env python3
"""Measures brelpack and brelsplit against cat and GNU tar on the same files.

Builds a Release binary, makes its own data in a temporary folder, and times each pair of commands
alternately, page cache warm (every command runs once untimed first, and dirty pages are written back
before each timed run). Reports medians, spreads and ratios, with each run's peak resident memory,
and writes the table to docs/benchmarks.md.

    python3 bench/run.py [--runs N] [--output docs/benchmarks.md]
"""
import argparse
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
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DBREL_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["c++", "-O2", "-o", MEASURE, os.path.join(ROOT, "bench", "measure.cpp")], check=True)
    return os.path.join(BUILD, "brelpack"), os.path.join(BUILD, "brelsplit")


def run_once(argv, cwd, stdout_path=None):
    """Runs argv through the launcher; returns (seconds, peak KiB, peak anonymous KiB) of the command."""
    result = subprocess.run([MEASURE, stdout_path or "-"] + argv, cwd=cwd, capture_output=True, text=True)
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "benchmarks.md"))
    parser.add_argument("--work", default=None, help="folder for the data (default: a new temporary folder)")
    parser.add_argument("--sets", choices=["small", "large", "both"], default="both",
                        help="which file sets to measure (the table is written only for both)")
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
            rows.append((title, "pack", pack, cat, 1.3 if large else None, total))
            rows.append((title, "pack", pack, tar_pack, 0.8 if large else 1.0, total))

            for fresh in (True, False):
                split_dir, untar_dir = os.path.join(work, "split"), os.path.join(work, "untar")
                # Many files: a new folder each run; a few large ones: the same folder emptied, so that
                # the old copies don't pile up in memory.
                renew = fresh_folder if count > 100 else lambda path: (lambda: empty_folder(path))
                split = Case("brelsplit", [brelsplit, archive], split_dir, renew(split_dir) if fresh else None)
                untar = Case("tar xf", ["tar", "xf", tarball], untar_dir, renew(untar_dir) if fresh else None)
                empty_folder(split_dir)
                empty_folder(untar_dir)
                compare([split, untar], options.runs)
                # Over a previous run, large files are replaced and flushed to the disk first (tar keeps no
                # old file at all); small ones are written over where they stand.
                target = (0.6 if fresh else 1.0) if large else 1.0 if fresh else 0.3
                rows.append((title, "unpack into an empty folder" if fresh else "unpack over the files of a previous run",
                             split, untar, target, total))
                for folder in glob.glob(split_dir + "*") + glob.glob(untar_dir + "*"):
                    shutil.rmtree(folder)
            shutil.rmtree(source)
            shutil.rmtree(out)
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
