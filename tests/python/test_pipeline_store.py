"""Writing pipeline files: atomic, exclusive unless replacing, and nothing left behind on failure."""
import errno
import os

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
