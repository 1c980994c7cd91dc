"""Pipeline files on disk: which names are allowed, and writing one atomically.

A pipeline named N lives in `<root>/N.pipeline`. `PipelineStore` opens the
root directory once, when serving starts, and every file operation goes
through that handle, so replacing the root by a symbolic link later does not
move where pipelines land.

A file is never seen empty or half written: the data goes to a hidden
temporary file in the same directory, is synced, and only then takes the
final name in one step. A new name is taken with a hard link, or where the
file system has none with a rename that refuses to replace; where it has
neither, the write is refused rather than done in two visible steps.
"""
import contextlib
import ctypes
import errno
import functools
import logging
import os
import re
import secrets
import stat
import threading
import time
import unicodedata
from typing import Callable, Iterator, Optional

SUFFIX = ".pipeline"
# Longest file name most Linux file systems accept, in bytes.
NAME_MAX = 255
MAX_NAME_BYTES = NAME_MAX - len(SUFFIX.encode())

# A write holds its temporary file for milliseconds (seconds on a slow disk);
# one older than this belongs to a write that died.
STALE_TEMPORARY_SECONDS = 600.0
_TEMPORARY = re.compile(r"\.velmora-[0-9a-f]{24}\.tmp\Z")

# What link() answers where the file system keeps no hard links (or no more).
_NO_HARD_LINKS = frozenset({errno.EPERM, errno.EOPNOTSUPP, errno.EMLINK, errno.ENOSYS})
# What renameat2() answers where the C library, the kernel or the file system lacks it.
_NO_EXCLUSIVE_RENAME = frozenset({errno.EINVAL, errno.ENOSYS})
RENAME_NOREPLACE = 1

_log = logging.getLogger("velmora")

# Drawn as "/", "\" or "." in common fonts, yet left alone by NFKC folding.
_DRAWN_AS_SEPARATOR = frozenset([
    "\N{FRACTION SLASH}", "\N{DIVISION SLASH}", "\N{BIG SOLIDUS}", "\N{VERY HEAVY SOLIDUS}",
    "\N{MATHEMATICAL RISING DIAGONAL}", "\N{BOX DRAWINGS LIGHT DIAGONAL UPPER RIGHT TO LOWER LEFT}",
    "\N{COMBINING SHORT SOLIDUS OVERLAY}", "\N{COMBINING LONG SOLIDUS OVERLAY}",
    "\N{SET MINUS}", "\N{REVERSE SOLIDUS OPERATOR}", "\N{BIG REVERSE SOLIDUS}",
    "\N{VERY HEAVY REVERSE SOLIDUS}", "\N{MATHEMATICAL FALLING DIAGONAL}",
    "\N{BOX DRAWINGS LIGHT DIAGONAL UPPER LEFT TO LOWER RIGHT}", "\N{COMBINING REVERSE SOLIDUS OVERLAY}",
    "\N{IDEOGRAPHIC FULL STOP}", "\N{SYRIAC SUBLINEAR FULL STOP}", "\N{VAI FULL STOP}",
    "\N{KHAROSHTHI PUNCTUATION DOT}",
])
_SEPARATORS = frozenset("/\\.")


class InvalidName(ValueError):
    """The name cannot become a file directly inside the root directory."""


class PipelineExists(Exception):
    """The name is taken and replacing it was not asked for (or is not possible:
    `directory` is true when a directory holds it)."""

    def __init__(self, message: str, *, directory: bool = False) -> None:
        super().__init__(message)
        self.directory = directory


# Never replaced, with or without overwrite: the client cannot free the name.
TAKEN_BY_DIRECTORY = ("the name is taken by a directory, which is never replaced: choose another "
                      "name, or rename or remove the directory <name>.pipeline in the root directory")


class NoAtomicCreate(OSError):
    """The file system can neither link nor rename without replacing: a new
    name cannot be taken in one step."""


class StoreClosed(OSError):
    """The store is not open (serving has not started, or has stopped)."""


@functools.lru_cache(maxsize=4096)
def _looks_like_separator(c: str) -> bool:
    if c in _SEPARATORS:
        return False
    return any(f in _SEPARATORS or f in _DRAWN_AS_SEPARATOR for f in unicodedata.normalize("NFKC", c))


def check_name(name: str) -> None:
    """Raises InvalidName with a reason fit for the client.

    Only a plain file name is allowed: nothing that names another directory,
    a hidden file, or our own temporary files (which start with "."); and
    nothing that looks like another name: the name must be NFC, and holds no
    invisible format characters, line or paragraph separators, or characters
    drawn like "/", "\\" or ".". Nor a name ending in the suffix, in any
    case, which the file name would carry twice. The reasons never quote the name.
    """
    if name == "":
        raise InvalidName("the pipeline name must not be empty")
    try:
        encoded = name.encode("utf-8")
    except UnicodeEncodeError:
        raise InvalidName("the pipeline name is not valid Unicode text") from None
    if "/" in name or "\\" in name:
        raise InvalidName("the pipeline name must not contain '/' or '\\'")
    if name.startswith("."):
        raise InvalidName("the pipeline name must not start with '.'")
    categories = {unicodedata.category(c) for c in name}
    if "Cc" in categories:
        raise InvalidName("the pipeline name must not contain control characters")
    if "Cf" in categories:
        raise InvalidName(
            "the pipeline name must not contain format characters "
            "(such as direction overrides, zero-width characters or a byte order mark)"
        )
    if "Zl" in categories or "Zp" in categories:
        raise InvalidName("the pipeline name must not contain line or paragraph separators")
    if not name.isascii() and any(_looks_like_separator(c) for c in name):
        raise InvalidName(
            "the pipeline name must not contain characters that look like '/', '\\' or '.' "
            "(such as fullwidth forms or the division slash)"
        )
    if not unicodedata.is_normalized("NFC", name):
        raise InvalidName(
            "the pipeline name must be in Unicode normal form NFC (precomposed characters)"
        )
    if name.lower().endswith(SUFFIX):
        raise InvalidName(
            "the pipeline name must not end in '%s': the file name gets that suffix added "
            "(the name 'etl' is stored as 'etl%s')" % (SUFFIX, SUFFIX)
        )
    if name != name.strip():
        raise InvalidName("the pipeline name must not start or end with white space")
    if len(encoded) > MAX_NAME_BYTES:
        raise InvalidName(
            "the pipeline name is too long (at most %d bytes in UTF-8)" % MAX_NAME_BYTES
        )


def file_name(name: str) -> str:
    return name + SUFFIX


def is_temporary_name(name: str) -> bool:
    """True for the names of the store's own temporary files, and only those."""
    return _TEMPORARY.match(name) is not None


# --- the two one-step primitives that take a new name ------------------------------

# Both take (dir_fd, source, target), names relative to dir_fd, and raise
# OSError with the system's errno.
Primitive = Callable[[int, str, str], None]


def hard_link(dir_fd: int, source: str, target: str) -> None:
    os.link(source, target, src_dir_fd=dir_fd, dst_dir_fd=dir_fd, follow_symlinks=False)


@functools.lru_cache(maxsize=1)
def _libc_renameat2():
    try:
        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):  # a C library older than glibc 2.28
        return None
    function.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint)
    function.restype = ctypes.c_int
    return function


def rename_noreplace(dir_fd: int, source: str, target: str) -> None:
    """renameat2(RENAME_NOREPLACE) of the C library; ENOSYS when it has none."""
    function = _libc_renameat2()
    if function is None:
        raise OSError(errno.ENOSYS, os.strerror(errno.ENOSYS), target)
    if function(dir_fd, os.fsencode(source), dir_fd, os.fsencode(target), RENAME_NOREPLACE) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err), target)


# --- the store --------------------------------------------------------------------

class PipelineStore:
    """The pipelines of one root directory, reached through a handle opened once.

    `open()` when serving starts (it also removes stale temporary files) and
    `close()` when it stops. Writes may run in several threads; a close while
    some are running lets the last of them release the handle, so that none
    of them ever uses a descriptor number that now names something else.
    `link` and `rename_noreplace` stand for the file system's primitives
    (tests pass stand-ins); None means the real ones.
    """

    def __init__(self, root_dir: str, *, link: Optional[Primitive] = None,
                 rename_noreplace: Optional[Primitive] = None) -> None:
        self.root_dir = os.fspath(root_dir)
        self._link = link
        self._rename_noreplace = rename_noreplace
        self._lock = threading.Lock()
        self._fd: Optional[int] = None
        self._users = 0
        self._closing = False

    def open(self, *, stale_after: Optional[float] = STALE_TEMPORARY_SECONDS) -> "PipelineStore":
        """Opens the root directory; then removes temporary files older than
        `stale_after` seconds (None: none). A failed clean-up is logged only."""
        with self._lock:
            if self._fd is not None:
                raise RuntimeError("the pipeline store is already open")
            self._fd = os.open(self.root_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            self._closing = False
        if stale_after is not None:
            try:
                self.remove_stale_temporaries(stale_after)
            except OSError as e:
                _log.warning("velmora: could not look for stale temporary files in %s: %s",
                             self.root_dir, e.strerror)
        return self

    @property
    def closed(self) -> bool:
        return self._fd is None or self._closing

    def close(self) -> None:
        with self._lock:
            if self._fd is None or self._closing:
                return
            self._closing = True
            fd = self._take_fd_if_unused()
        if fd is not None:
            os.close(fd)

    def __enter__(self) -> "PipelineStore":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def _take_fd_if_unused(self) -> Optional[int]:
        assert self._lock.locked(), "called with the lock held"
        if not self._closing or self._users:
            return None
        fd, self._fd = self._fd, None
        return fd

    @contextlib.contextmanager
    def _directory(self) -> Iterator[int]:
        with self._lock:
            if self._fd is None or self._closing:
                raise StoreClosed(errno.EBADF, "the pipeline store is not open")
            self._users += 1
            fd = self._fd
        try:
            yield fd
        finally:
            with self._lock:
                self._users -= 1
                last = self._take_fd_if_unused()
            if last is not None:
                os.close(last)

    def write(self, name: str, data: bytes, *, overwrite: bool) -> str:
        """Writes `data` as the pipeline `name`; returns the file name, relative to the root.

        Raises InvalidName; PipelineExists when the name is taken (and
        `overwrite` is false, or the name is held by something that is not a
        regular file); NoAtomicCreate when a new name cannot be taken in one
        step; other OSErrors pass through. Nothing is left behind on failure.
        """
        check_name(name)
        target = file_name(name)
        with self._directory() as dir_fd:
            tmp = _write_temporary(dir_fd, data)
            moved = False
            try:
                if overwrite:
                    _replace(dir_fd, tmp, target)
                    moved = True
                else:
                    moved = self._take_new_name(dir_fd, tmp, target)
            finally:
                if not moved:
                    _unlink_quietly(dir_fd, tmp)
            # The new directory entry survives a crash only once the directory is synced.
            os.fsync(dir_fd)
        return target

    def _take_new_name(self, dir_fd: int, tmp: str, target: str) -> bool:
        """Gives the file `tmp` the free name `target`; True when `tmp` is gone with it."""
        attempts = (
            (self._link or hard_link, _NO_HARD_LINKS, False),
            (self._rename_noreplace or rename_noreplace, _NO_EXCLUSIVE_RENAME, True),
        )
        for primitive, unsupported, moves in attempts:
            try:
                primitive(dir_fd, tmp, target)
                return moves
            except FileExistsError:
                if _is_directory(dir_fd, target):
                    raise PipelineExists(TAKEN_BY_DIRECTORY, directory=True) from None
                raise PipelineExists("a pipeline of that name exists") from None
            except OSError as e:
                if e.errno not in unsupported:
                    raise
                refused = e.errno
        raise NoAtomicCreate(
            refused, "the file system has neither hard links nor a rename that refuses to replace"
        )

    def remove_stale_temporaries(self, older_than: float = STALE_TEMPORARY_SECONDS) -> int:
        """Removes the store's own temporary files last changed more than
        `older_than` seconds ago: regular files of exactly that name pattern,
        never what a symbolic link points to. Returns how many went; a file
        that cannot be removed is logged and left."""
        removed = failed = 0
        last_error: Optional[OSError] = None
        with self._directory() as dir_fd:
            deadline = time.time() - older_than
            for entry in os.listdir(dir_fd):
                if not is_temporary_name(entry):
                    continue
                try:
                    info = os.stat(entry, dir_fd=dir_fd, follow_symlinks=False)
                    if not stat.S_ISREG(info.st_mode) or info.st_mtime > deadline:
                        continue
                    os.unlink(entry, dir_fd=dir_fd)
                    removed += 1
                except FileNotFoundError:
                    continue
                except OSError as e:
                    failed += 1
                    last_error = e
        if removed:
            _log.info("velmora: removed %d stale temporary file(s) from %s", removed, self.root_dir)
        if failed:
            _log.warning("velmora: could not remove %d stale temporary file(s) from %s: %s",
                         failed, self.root_dir, last_error and last_error.strerror)
        return removed


def write_pipeline(root_dir: str, name: str, data: bytes, *, overwrite: bool) -> str:
    """One write through a store opened for it alone; servers keep one store open instead."""
    check_name(name)  # before the directory is opened
    with PipelineStore(root_dir).open(stale_after=None) as pipelines:
        return pipelines.write(name, data, overwrite=overwrite)


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
        raise PipelineExists(TAKEN_BY_DIRECTORY, directory=True) from None


def _is_directory(dir_fd: int, name: str) -> bool:
    try:
        return stat.S_ISDIR(os.stat(name, dir_fd=dir_fd, follow_symlinks=False).st_mode)
    except OSError:
        return False


def _unlink_quietly(dir_fd: int, name: str) -> None:
    try:
        os.unlink(name, dir_fd=dir_fd)
    except FileNotFoundError:
        pass
