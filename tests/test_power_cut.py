# A power cut right after a run: the file system is shut down with its journal committed, file data not written since.
import os, shutil

import pytest

from conftest import BRELPACK, BRELSPLIT, loop_disk, put, run, sh, viv


@pytest.fixture
def ext4_disk(tmp_path):
    if not shutil.which("xfs_io"):
        pytest.skip("xfs_io (package xfsprogs) is needed to shut the file system down")
    with loop_disk("ext4", tmp_path, 96) as disk:
        yield tmp_path / "ext4.img", disk


@pytest.mark.parametrize("old_size, new_size", [(8 << 20, 8 << 20), (3000, 5000)], ids=["8 MiB", "few KiB"])
def test_files_replaced_just_before_a_power_cut_are_old_or_whole_and_new(ext4_disk, old_size, new_size):
    image, disk = ext4_disk
    old, new = b"o" * old_size, b"n" * new_size
    old_archive, new_archive = viv(("in", old)), viv(("in", new))
    put(disk, {"out.bin": old, "packed.viv": old_archive, "in": new, "unpack.viv": viv(("out.bin", new))})
    assert sh("sync")
    # Write-back started early puts the bytes on the disk soon enough, but only the flush makes sure of it.
    assert run(BRELSPLIT, "unpack.viv", cwd=disk, fault="no-write-back:").returncode == 0
    assert run(BRELPACK, "packed.viv", "in", cwd=disk, fault="no-write-back:").returncode == 0

    assert sh("xfs_io", "-x", "-c", "shutdown -f", disk)
    assert sh("umount", disk) and sh("mount", "-o", "loop", image, disk)
    kept = (disk / "out.bin").read_bytes(), (disk / "packed.viv").read_bytes()
    assert kept[0] in (old, new) and kept[1] in (old_archive, new_archive), [data[:20] for data in kept]
    assert sorted(os.listdir(disk)) == ["in", "lost+found", "out.bin", "packed.viv", "unpack.viv"]
