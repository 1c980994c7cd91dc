"""Pipeline files on disk: which names are allowed, and writing one atomically.

A pipeline named N lives in `<root>/N.pipeline`. A file is never seen half
written: the data goes to a hidden temporary file in the same directory, is
synced, and only then takes the final name in one step.
"""
import errno
import os
import secrets
import unicodedata

SUFFIX = ".pipeline"
# Longest file name most Linux file systems accept, in bytes.
NAME_MAX = 255
MAX_NAME_BYTES = NAME_MAX - len(SUFFIX.encode())


class InvalidName(ValueError):
    """The name cannot become a file directly inside the root directory."""


class PipelineExists(Exception):
    """The name is taken and replacing it was not asked for (or is not possible)."""


def check_name(name: str) -> None:
    """Raises InvalidName with a reason fit for the client.

    Only a plain file name is allowed: nothing that names another directory,
    a hidden file, or our own temporary files (which start with ".").
    """
    if name == "":
        raise InvalidName("the pipeline name must not be empty")
    if "/" in name or "\\" in name:
        raise InvalidName("the pipeline name must not contain '/' or '\\'")
    if name.startswith("."):
        raise InvalidName("the pipeline name must not start with '.'")
    if any(unicodedata.category(c) == "Cc" for c in name):
        raise InvalidName("the pipeline name must not contain control characters")
    if name != name.strip():
        raise InvalidName("the pipeline name must not start or end with white space")
    try:
        encoded = name.encode("utf-8")
    except UnicodeEncodeError:
        raise InvalidName("the pipeline name is not valid Unicode text") from None
    if len(encoded) > MAX_NAME_BYTES:
        raise InvalidName(
            "the pipeline name is too long (at most %d bytes in UTF-8)" % MAX_NAME_BYTES
        )


def file_name(name: str) -> str:
    return name + SUFFIX


def write_pipeline(root_dir: str, name: str, data: bytes, *, overwrite: bool) -> str:
    """Writes `data` as the pipeline `name`; returns the file name, relative to root_dir.

    Raises PipelineExists when the name is taken (and `overwrite` is false, or
    the name is held by something that is not a regular file); other OSErrors
    pass through. Nothing is left behind on failure.
    """
    check_name(name)
    target = file_name(name)
    dir_fd = os.open(root_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        tmp = _write_temporary(dir_fd, data)
        try:
            if overwrite:
                _replace(dir_fd, tmp, target)
            else:
                _link_new(dir_fd, tmp, target)
        finally:
            _unlink_quietly(dir_fd, tmp)
        # The new directory entry survives a crash only once the directory is synced.
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)
    return target


def _write_temporary(dir_fd: int, data: bytes) -> str:
    # Fixed length, so that a name near NAME_MAX still gets a temporary file.
    tmp = ".velmora-%s.tmp" % secrets.token_hex(12)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    fd = os.open(tmp, flags, 0o666, dir_fd=dir_fd)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    except BaseException:
        os.close(fd)
        _unlink_quietly(dir_fd, tmp)
        raise
    os.close(fd)
    return tmp


def _replace(dir_fd: int, tmp: str, target: str) -> None:
    try:
        os.replace(tmp, target, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except IsADirectoryError:
        raise PipelineExists("the name is taken by a directory") from None


def _link_new(dir_fd: int, tmp: str, target: str) -> None:
    # link() refuses an existing name atomically, so two imports of the same
    # name cannot both succeed, and the file appears with its whole content.
    try:
        os.link(tmp, target, src_dir_fd=dir_fd, dst_dir_fd=dir_fd, follow_symlinks=False)
        return
    except FileExistsError:
        raise PipelineExists("a pipeline of that name exists") from None
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK):
            raise
    # No hard links here: claim the name exclusively, then swap the content in.
    try:
        fd = os.open(
            target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
            0o666, dir_fd=dir_fd,
        )
    except FileExistsError:
        raise PipelineExists("a pipeline of that name exists") from None
    os.close(fd)
    try:
        os.replace(tmp, target, src_dir_fd=dir_fd, dst_dir_fd=dir_fd)
    except BaseException:
        _unlink_quietly(dir_fd, target)
        raise


def _unlink_quietly(dir_fd: int, name: str) -> None:
    try:
        os.unlink(name, dir_fd=dir_fd)
    except FileNotFoundError:
        pass
