"""Pipeline files: names, the root directory handle, stale temporary files, and writes that are
atomic, exclusive unless replacing, and leave nothing behind on failure."""
import errno
import os
import shutil
import subprocess
import threading
import time

import pytest

from velmora.server.handlers.pipeline_import import store


def test_new_pipeline_gets_its_content_and_ordinary_permissions(tmp_path):
    umask = os.umask(0o022)
    try:
        assert store.write_pipeline(str(tmp_path), "p", b"data\n", overwrite=False) == "p.pipeline"
    finally:
        os.umask(umask)
    path = tmp_path / "p.pipeline"
    assert path.read_bytes() == b"data\n"
    assert path.stat().st_mode & 0o777 == 0o644
    assert os.listdir(str(tmp_path)) == ["p.pipeline"]


def test_existing_name_is_kept_unless_replacing(tmp_path):
    store.write_pipeline(str(tmp_path), "p", b"one", overwrite=False)
    with pytest.raises(store.PipelineExists):
        store.write_pipeline(str(tmp_path), "p", b"two", overwrite=False)
    assert (tmp_path / "p.pipeline").read_bytes() == b"one"
    store.write_pipeline(str(tmp_path), "p", b"three", overwrite=True)
    assert (tmp_path / "p.pipeline").read_bytes() == b"three"
    assert os.listdir(str(tmp_path)) == ["p.pipeline"]


def hold_name(root, kind):
    path = root / "p.pipeline"
    if kind == "file":
        path.write_bytes(b"old")
    elif kind == "directory":
        path.mkdir()
    else:  # a link to a directory: the link holds the name, and goes on a replace
        (root / "elsewhere").mkdir()
        path.symlink_to("elsewhere")


# (what holds the name, overwrite, hard links) -> "directory", "taken" or "replaced"
HELD_NAMES = [
    ("file", False, True, "taken"), ("file", True, True, "replaced"),
    ("directory", False, True, "directory"), ("directory", True, True, "directory"),
    ("directory", False, False, "directory"),
    ("link", False, True, "taken"), ("link", True, True, "replaced"),
]


@pytest.mark.parametrize("kind,overwrite,links,outcome", HELD_NAMES)
def test_a_directory_is_the_one_holder_that_overwrite_cannot_replace(tmp_path, monkeypatch, kind,
                                                                     overwrite, links, outcome):
    hold_name(tmp_path, kind)
    def no_links(*args, **kwargs):
        raise OSError(errno.EPERM, "Operation not permitted")

    if not links:
        monkeypatch.setattr(store.os, "link", no_links)
    if outcome == "replaced":
        store.write_pipeline(str(tmp_path), "p", b"new", overwrite=overwrite)
        assert (tmp_path / "p.pipeline").read_bytes() == b"new"
        assert not (tmp_path / "p.pipeline").is_symlink()
        return
    with pytest.raises(store.PipelineExists) as e:
        store.write_pipeline(str(tmp_path), "p", b"new", overwrite=overwrite)
    assert e.value.directory is (outcome == "directory")
    assert (str(e.value) == store.TAKEN_BY_DIRECTORY) is (outcome == "directory")
    assert [n for n in os.listdir(str(tmp_path)) if n.startswith(".")] == []


def test_invalid_name_is_refused_before_touching_the_disk(tmp_path):
    with pytest.raises(store.InvalidName):
        store.write_pipeline(str(tmp_path), "../p", b"x", overwrite=True)
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("overwrite", [False, True])
def test_failed_sync_leaves_nothing_behind(tmp_path, monkeypatch, overwrite):
    def full(fd):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(store.os, "fsync", full)
    with pytest.raises(OSError) as e:
        store.write_pipeline(str(tmp_path), "p", b"x" * 10000, overwrite=overwrite)
    assert e.value.errno == errno.ENOSPC
    assert os.listdir(str(tmp_path)) == []


def test_failed_write_keeps_the_old_pipeline_whole(tmp_path, monkeypatch):
    store.write_pipeline(str(tmp_path), "p", b"old", overwrite=False)
    real_write = os.write

    def short_then_fail(fd, data):
        if len(data) > 3:
            return real_write(fd, bytes(data[:3]))
        raise OSError(errno.EIO, "I/O error")

    monkeypatch.setattr(store.os, "write", short_then_fail)
    with pytest.raises(OSError):
        store.write_pipeline(str(tmp_path), "p", b"new content", overwrite=True)
    assert (tmp_path / "p.pipeline").read_bytes() == b"old"
    assert os.listdir(str(tmp_path)) == ["p.pipeline"]


def test_short_writes_are_completed(tmp_path, monkeypatch):
    real_write = os.write
    monkeypatch.setattr(store.os, "write", lambda fd, data: real_write(fd, bytes(data[:7])))
    data = bytes(range(256)) * 10
    store.write_pipeline(str(tmp_path), "p", data, overwrite=False)
    assert (tmp_path / "p.pipeline").read_bytes() == data


def test_without_hard_links_new_names_stay_exclusive(tmp_path, monkeypatch):
    def no_links(*args, **kwargs):
        raise OSError(errno.EPERM, "Operation not permitted")

    monkeypatch.setattr(store.os, "link", no_links)
    store.write_pipeline(str(tmp_path), "p", b"one", overwrite=False)
    assert (tmp_path / "p.pipeline").read_bytes() == b"one"
    with pytest.raises(store.PipelineExists):
        store.write_pipeline(str(tmp_path), "p", b"two", overwrite=False)
    assert (tmp_path / "p.pipeline").read_bytes() == b"one"
    assert os.listdir(str(tmp_path)) == ["p.pipeline"]


def test_other_link_errors_pass_through_and_clean_up(tmp_path, monkeypatch):
    def broken(*args, **kwargs):
        raise OSError(errno.EIO, "I/O error")

    monkeypatch.setattr(store.os, "link", broken)
    with pytest.raises(OSError) as e:
        store.write_pipeline(str(tmp_path), "p", b"x", overwrite=False)
    assert e.value.errno == errno.EIO
    assert os.listdir(str(tmp_path)) == []


@pytest.mark.parametrize("name", ["a", "x" * store.MAX_NAME_BYTES, "é" * (store.MAX_NAME_BYTES // 2)])
def test_longest_names_fit_the_file_system(tmp_path, name):
    store.write_pipeline(str(tmp_path), name, b"x", overwrite=False)
    assert os.listdir(str(tmp_path)) == [name + ".pipeline"]


# --- names that look like other names ------------------------------------------------

REFUSED_NAMES = {  # name: a word of the reason
    "e\u0301t\u00e9": "NFC", "\u212b": "NFC",  # combining acute; the angstrom sign
    "a\u202eb": "format", "zero\u200bwidth": "format", "\ufeffbom": "format", "t\U000e002e": "format",
    "line\u2028sep": "separators", "para\u2029sep": "separators",
    "\uff0e\uff0e\uff0fetc": "look like", "a\u2215b": "look like", "a\u2044b": "look like",
    "x\uff3cy": "look like", "set\u2216minus": "look like", "one\u2024dot": "look like",
    "half\u00bd": "look like", "a\u0338b": "look like", "ja\u3002": "look like",
}
ACCEPTED_NAMES = ["données", "名前", "ノート", "a.b", "v1.2.3", "a b", "\U0001F600", "ελληνικά", "·dot"]


@pytest.mark.parametrize("name,reason", REFUSED_NAMES.items(), ids=[ascii(n) for n in REFUSED_NAMES])
def test_names_that_look_like_others_are_refused_without_being_quoted(name, reason):
    with pytest.raises(store.InvalidName) as e:
        store.check_name(name)
    assert reason in str(e.value)
    assert not (set(name) - set("abcdefghijklmnopqrstuvwxyz")) & set(str(e.value))


@pytest.mark.parametrize("name", ACCEPTED_NAMES)
def test_plain_names_in_any_script_stay_accepted(name):
    store.check_name(name)


# --- the root directory handle -------------------------------------------------------

def fds_on(path):
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            found += [fd] if os.readlink("/proc/self/fd/" + fd) == path else []
        except OSError:
            pass
    return found


def test_closing_while_a_write_runs_keeps_the_handle_until_it_ends(tmp_path):
    entered, proceed = threading.Event(), threading.Event()

    def slow_link(dir_fd, source, target):
        entered.set()
        proceed.wait(60)
        store.hard_link(dir_fd, source, target)

    pipelines = store.PipelineStore(str(tmp_path), link=slow_link).open()
    writer = threading.Thread(target=pipelines.write, args=("p", b"x"), kwargs={"overwrite": False})
    writer.start()
    entered.wait(60)
    pipelines.close()
    assert fds_on(str(tmp_path)) and pipelines.closed
    with pytest.raises(store.StoreClosed):
        pipelines.write("q", b"y", overwrite=False)
    proceed.set()
    writer.join()
    assert os.listdir(str(tmp_path)) == ["p.pipeline"] and fds_on(str(tmp_path)) == []


# --- stale temporary files -----------------------------------------------------------

TMP = ".velmora-0123456789abcdef01234567.tmp"
SWEEP_CASES = {  # name: (kind, old, removed)
    TMP: ("file", True, True),
    TMP.replace("01234", "98765"): ("file", False, False),
    TMP.replace("0123", "abcd"): ("symlink", True, False),
    TMP.replace("01", "ff"): ("dir", True, False),
    TMP.replace("01", "ee"): ("fifo", True, False),
    TMP.replace("0", "", 1): ("file", True, False),  # 23 hex digits
    TMP.replace("abcdef", "ABCDEF"): ("file", True, False),
    TMP + ".x": ("file", True, False),
    "x" + TMP: ("file", True, False),
    "old.pipeline": ("file", True, False),
}
MAKE = {"file": lambda p: open(p, "w").close(), "dir": os.mkdir, "fifo": os.mkfifo}


def test_start_removes_only_its_own_old_regular_temporary_files(tmp_path):
    outside, root = tmp_path / "outside", tmp_path / "root"
    outside.write_text("keep")
    root.mkdir()
    old = time.time() - store.STALE_TEMPORARY_SECONDS - 60
    for name, (kind, is_old, _) in SWEEP_CASES.items():
        path = str(root / name)
        MAKE.get(kind, lambda p: os.symlink(str(outside), p))(path)
        if is_old:
            os.utime(path, (old, old), follow_symlinks=False)
    os.utime(str(outside), (old, old))
    store.PipelineStore(str(root)).open().close()  # what a server does when velmora loads
    assert sorted(os.listdir(str(root))) == sorted(n for n, c in SWEEP_CASES.items() if not c[2])
    assert outside.read_text() == "keep"


def test_a_write_killed_before_taking_the_name_leaves_only_a_stale_temporary(tmp_path, fresh_python):
    proc = fresh_python("""
        import os
        from velmora.server.handlers.pipeline_import import store
        die = lambda *args: os._exit(9)
        store.PipelineStore(os.environ["ROOT"], link=die).open().write("p", b"x", overwrite=False)
    """, env={"ROOT": str(tmp_path)}, check=False)
    assert proc.returncode == 9, proc.stderr
    (leftover,) = os.listdir(str(tmp_path))
    store.PipelineStore(str(tmp_path)).open().close()  # too recent to be taken for a leftover
    assert os.listdir(str(tmp_path)) == [leftover]
    store.PipelineStore(str(tmp_path)).open(stale_after=0).close()
    assert os.listdir(str(tmp_path)) == []


# --- never an empty or partial pipeline ----------------------------------------------

def refuse(err):
    def primitive(dir_fd, source, target):
        raise OSError(err, os.strerror(err))
    return primitive


PRIMITIVE_CASES = {  # id: (link, rename_noreplace, the content stored or the exception); None: real
    "hard link": (None, refuse(errno.EIO), b"new"),
    "no links, exclusive rename": (refuse(errno.EPERM), None, b"new"),
    "link unsupported": (refuse(errno.EOPNOTSUPP), None, b"new"),
    "link count full": (refuse(errno.EMLINK), None, b"new"),
    "no renameat2 in kernel or C library": (refuse(errno.EPERM), refuse(errno.ENOSYS), store.NoAtomicCreate),
    "flag unsupported by the fs": (refuse(errno.ENOSYS), refuse(errno.EINVAL), store.NoAtomicCreate),
    "rename fails": (refuse(errno.EPERM), refuse(errno.EIO), OSError),
}


@pytest.mark.parametrize("link,rename,expected", PRIMITIVE_CASES.values(), ids=list(PRIMITIVE_CASES))
def test_a_new_name_appears_whole_or_not_at_all(tmp_path, link, rename, expected):
    seen = []  # whether the target existed before each primitive ran, and its content after

    def watched(primitive, real):
        def call(dir_fd, source, target):
            seen.append(os.path.exists(str(tmp_path / target)))
            (primitive or real)(dir_fd, source, target)
            seen.append((tmp_path / target).read_bytes())
        return call

    pipelines = store.PipelineStore(str(tmp_path), link=watched(link, store.hard_link),
                                    rename_noreplace=watched(rename, store.rename_noreplace))
    with pipelines.open():
        if isinstance(expected, bytes):
            assert pipelines.write("p", expected, overwrite=False) == "p.pipeline"
            assert seen[0] is False and seen[-1] == expected
            with pytest.raises(store.PipelineExists):  # taken: the real primitive says EEXIST
                pipelines.write("p", b"other", overwrite=False)
            assert (tmp_path / "p.pipeline").read_bytes() == expected
        else:
            with pytest.raises(expected) as e:
                pipelines.write("p", b"new", overwrite=False)
            assert type(e.value) is expected or e.value.errno == errno.EIO
            assert not any(seen) and os.listdir(str(tmp_path)) == []


@pytest.fixture
def fat_dir(tmp_path):
    """A mounted FAT file system, which has no hard links; skipped where it cannot be made."""
    mkfs, image, mount = shutil.which("mkfs.vfat"), str(tmp_path / "fat.img"), str(tmp_path / "mnt")
    os.mkdir(mount)
    with open(image, "wb") as f:
        f.truncate(8 << 20)
    try:
        subprocess.run([mkfs or "mkfs.vfat", image], check=True, capture_output=True)
        subprocess.run(["mount", "-o", "loop", "-t", "vfat", image, mount], check=True,
                       capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip("no FAT file system here (needs root, mkfs.vfat, loop devices): %s" % e)
    yield mount
    subprocess.run(["umount", mount], check=True)


def test_real_file_system_without_hard_links(fat_dir):
    with store.PipelineStore(fat_dir).open() as pipelines:
        assert pipelines.write("p", b"whole", overwrite=False) == "p.pipeline"
        with pytest.raises(store.PipelineExists):
            pipelines.write("p", b"other", overwrite=False)
    assert os.listdir(fat_dir) == ["p.pipeline"]
    with open(os.path.join(fat_dir, "p.pipeline"), "rb") as f:
        assert f.read() == b"whole"
