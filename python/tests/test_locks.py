"""Lock files as tecctl and the window program name, write and honour them:
one name per device, whatever symbolic link names it; the pid as ten ASCII
digits; stale ones replaced, a living holder's left alone."""

import os
import subprocess
import sys

import pytest

from tecontrol import controller as C


@pytest.mark.parametrize("device, name", [
    ("/dev/ttyUSB0", "LCK..ttyUSB0"),
    ("/dev/pts/3", "LCK..pts_3"),
    ("/tmp/x/port", "LCK..port"),    # a device outside /dev: its file name
])
def test_lock_file_names(device, name):
    assert C._lock_name(device) == name


def test_every_name_of_a_device_takes_the_same_lock(tmp_path):
    link = tmp_path / "by-id-adapter"
    link.symlink_to("/dev/null")
    assert C._lock_name(C._resolved(str(link))) == "LCK..null"
    missing = str(tmp_path / "ttyNone")
    assert C._resolved(missing) == missing  # said missing when it is opened


@pytest.mark.parametrize("content, pid", [
    (b"      1234\n", 1234),                   # ours and tecctl's
    (b"1234\npython3\nhost\n", 1234),          # Qt's
    ((1234).to_bytes(4, sys.byteorder), 1234),  # older programs' binary int
    (b"junk\n", 0),
])
def test_lock_file_pids(tmp_path, content, pid):
    (tmp_path / "LCK..x").write_bytes(content)
    assert C._lock_file_pid(str(tmp_path / "LCK..x")) == pid


def test_a_fifo_is_never_read_as_a_lock_file(tmp_path):
    os.mkfifo(str(tmp_path / "LCK..x"))
    assert C._lock_file_pid(str(tmp_path / "LCK..x")) is None


@pytest.fixture
def lock_dirs(tmp_path, monkeypatch):
    dirs = (str(tmp_path / "run"), str(tmp_path / "var"))
    for d in dirs:
        os.mkdir(d)
    monkeypatch.setattr(C, "_LOCK_DIRS", dirs)
    return dirs


def dead_pid():
    p = subprocess.Popen([sys.executable, "-c", ""])
    p.wait()
    return p.pid


def test_our_lock_file_replaces_a_stale_one_and_goes_at_release(lock_dirs):
    path = os.path.join(lock_dirs[0], "LCK..ttyUSB0")
    with open(path, "w") as f:
        f.write("%10d\n" % dead_pid())
    assert C._lock_holder("/dev/ttyUSB0") is None and os.path.exists(path)
    lock = C._LockFile("/dev/ttyUSB0")
    assert lock.held and lock.path == path
    assert open(path, "rb").read() == b"%10d\n" % os.getpid()
    lock.release()
    assert not os.path.exists(path)


def test_a_living_holder_keeps_the_device_and_its_lock_file(lock_dirs):
    path = os.path.join(lock_dirs[0], "LCK..pts_3")
    with open(path, "w") as f:
        f.write("%10d\n" % os.getppid())
    assert C._lock_holder("/dev/pts/3") is not None
    lock = C._LockFile("/dev/pts/3")
    assert not lock.held and lock.path is None
    assert open(path).read() == "%10d\n" % os.getppid()


def test_release_leaves_a_lock_file_another_process_made_since(lock_dirs):
    lock = C._LockFile("/dev/ttyS0")
    with open(lock.path, "w") as f:
        f.write("%10d\n" % os.getppid())
    lock.release()
    assert os.path.exists(os.path.join(lock_dirs[0], "LCK..ttyS0"))


def test_an_unwritable_first_folder_gives_way_to_the_next(lock_dirs):
    os.rmdir(lock_dirs[0])
    lock = C._LockFile("/dev/ttyS1")
    assert lock.path == os.path.join(lock_dirs[1], "LCK..ttyS1")
    lock.release()
