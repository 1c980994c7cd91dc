"""Which handler classes a server mounts: the compiled modules, or their interpreted twins.

The twins live with the tests (tests/python/twins of a checkout) and only
serve development and benchmarks; `VELMORA_TWINS_DIR` names the folder that
holds the `twins` package when it is not next to the package.
"""
import importlib
import importlib.util
import os
import sys
from pathlib import Path
from typing import NamedTuple

COMPILED_INFO = "velmora.server.handlers.info.hostfacts"
COMPILED_GROUNDWORK = "velmora.server.handlers.pipeline_import.groundwork"


class HandlerSet(NamedTuple):
    kind: str  # "compiled" or "twin"
    info: type  # ServerAppInfoHandler
    pipeline_import: type  # PipelineImportHandler on a BasePipelineImportHandler


def from_modules(kind: str, hostfacts, groundwork) -> HandlerSet:
    """A set from two modules that define ServerAppInfoHandler and BasePipelineImportHandler."""
    from .handlers.pipeline_import.handlers import pipeline_import_handler

    return HandlerSet(
        kind,
        hostfacts.ServerAppInfoHandler,
        pipeline_import_handler(groundwork.BasePipelineImportHandler),
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


def twin() -> HandlerSet:
    try:
        hostfacts = importlib.import_module("twins.hostfacts")
    except ImportError:
        hostfacts = None
    if hostfacts is None:
        folder = os.environ.get("VELMORA_TWINS_DIR") or str(
            Path(__file__).resolve().parents[2] / "tests" / "python"
        )
        if not (Path(folder) / "twins" / "hostfacts.py").is_file():
            raise ImportError("the interpreted twins are not in %s" % folder)
        sys.path.append(folder)
        hostfacts = importlib.import_module("twins.hostfacts")
    return from_modules("twin", hostfacts, importlib.import_module("twins.groundwork"))


def load(kind: str = "auto") -> HandlerSet:
    """"compiled", "twin", or "auto": compiled when present, else the twins."""
    if kind == "compiled":
        return compiled()
    if kind == "twin":
        return twin()
    if kind != "auto":
        raise ValueError("unknown handler kind %r" % kind)
    return compiled() if compiled_available() else twin()
