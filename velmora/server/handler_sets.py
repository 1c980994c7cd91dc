"""Which handler classes a server mounts: the compiled modules, or the interpreted fallback.

The compiled modules need CPython 3.8. The fallback defines the same classes in
plain Python with the same answers (the tests hold the two to that, and the
benchmarks compare them), so velmora serves on any Python and is faster where
the compiled modules import.
"""
import importlib
import importlib.util
import platform
import sys
from typing import NamedTuple

COMPILED_INFO = "velmora.server.handlers.info.hostfacts"
COMPILED_GROUNDWORK = "velmora.server.handlers.pipeline_import.groundwork"
INTERPRETED_INFO = "velmora.server.handlers.info.interpreted_hostfacts"
INTERPRETED_GROUNDWORK = "velmora.server.handlers.pipeline_import.interpreted_groundwork"
NEEDS_CPYTHON_38 = "compiled modules need CPython 3.8"


class HandlerSet(NamedTuple):
    kind: str  # "compiled" or "twin" (the interpreted handlers)
    info: type  # ServerAppInfoHandler
    pipeline_import: type  # PipelineImportHandler on a BasePipelineImportHandler
    # Why "auto" took the interpreted handlers; empty when they were asked for.
    fallback_reason: str = ""

    @property
    def description(self) -> str:
        if self.kind == "compiled":
            return "compiled handlers"
        if self.fallback_reason:
            return "interpreted handlers: " + self.fallback_reason
        return "interpreted handlers"


def from_modules(kind: str, hostfacts, groundwork, fallback_reason: str = "") -> HandlerSet:
    """A set from two modules that define ServerAppInfoHandler and BasePipelineImportHandler."""
    from .handlers.pipeline_import.handlers import pipeline_import_handler

    return HandlerSet(
        kind,
        hostfacts.ServerAppInfoHandler,
        pipeline_import_handler(groundwork.BasePipelineImportHandler),
        fallback_reason,
    )


def compiled_available() -> bool:
    """True when both compiled modules are present (they may still fail to load)."""
    return all(importlib.util.find_spec(m) is not None for m in (COMPILED_INFO, COMPILED_GROUNDWORK))


def compiled() -> HandlerSet:
    return from_modules(
        "compiled",
        importlib.import_module(COMPILED_INFO),
        importlib.import_module(COMPILED_GROUNDWORK),
    )


def twin(fallback_reason: str = "") -> HandlerSet:
    """The interpreted handlers."""
    return from_modules(
        "twin",
        importlib.import_module(INTERPRETED_INFO),
        importlib.import_module(INTERPRETED_GROUNDWORK),
        fallback_reason,
    )


def _why_not_compiled(error: ImportError) -> str:
    if platform.python_implementation() != "CPython" or sys.version_info[:2] != (3, 8):
        return NEEDS_CPYTHON_38
    return "compiled modules do not import: %s" % error


def load(kind: str = "auto") -> HandlerSet:
    """"compiled", "twin", or "auto": the compiled handlers when they import, else the interpreted ones."""
    if kind == "compiled":
        return compiled()
    if kind == "twin":
        return twin()
    if kind != "auto":
        raise ValueError("unknown handler kind %r" % kind)
    try:
        return compiled()
    except ImportError as e:
        return twin(_why_not_compiled(e))


def mount_message(base_url: str, handler_set: HandlerSet) -> str:
    """The one log line that says where the API is and which handlers serve it."""
    from jupyter_server.utils import url_path_join

    from velmora import __version__

    return "velmora %s: API mounted under %s (%s)" % (
        __version__, url_path_join(base_url, "api/velmora"), handler_set.description)
