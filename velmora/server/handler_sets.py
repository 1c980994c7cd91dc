"""Which handler classes a server mounts, as the import system found them.

Each handler module is one Python file that may have a compiled extension
module beside it (built for the CPython versions of COMPILED_VERSIONS). The import system takes the extension
module first; without it, the .py serves. What serves is read from the
imported module. The interpreted handlers can also be asked for by name, for
comparisons where the compiled ones import: their .py files are then loaded
under names of their own.
"""
import importlib
import importlib.machinery
import importlib.util
import os
import platform
import sys
from typing import NamedTuple

COMPILED_INFO = "velmora.server.handlers.info.hostfacts"
COMPILED_GROUNDWORK = "velmora.server.handlers.pipeline_import.groundwork"
MODULES = (COMPILED_INFO, COMPILED_GROUNDWORK)
# The names the .py files are loaded under when the compiled modules hold theirs.
INTERPRETED_PREFIX = "interpreted_"
# The interpreters the compiled modules are built for (both ends included);
# the build reads this line too.
COMPILED_VERSIONS = ((3, 8), (3, 15))
NEEDS_CPYTHON = "compiled modules need CPython %d.%d to %d.%d" % (COMPILED_VERSIONS[0] + COMPILED_VERSIONS[1])
NOT_BUILT = "compiled modules are not built"


class HandlerSet(NamedTuple):
    kind: str  # "compiled" or "twin" (the interpreted handlers)
    info: type  # ServerAppInfoHandler
    pipeline_import: type  # PipelineImportHandler on a BasePipelineImportHandler
    # Why the interpreted handlers serve where none were asked for.
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


def is_compiled(module) -> bool:
    return isinstance(getattr(module.__spec__, "loader", None), importlib.machinery.ExtensionFileLoader)


def compiled_available() -> bool:
    """True when both names find extension modules (they may still fail to load)."""
    for name in MODULES:
        spec = importlib.util.find_spec(name)
        if spec is None or not isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            return False
    return True


def compiled() -> HandlerSet:
    modules = [importlib.import_module(name) for name in MODULES]
    for module in modules:
        if not is_compiled(module):
            raise ImportError("%s is not compiled here (%s)" % (module.__name__, _why_interpreted()),
                              name=module.__name__)
    return from_modules("compiled", *modules)


def interpreted_name(name: str) -> str:
    package, _, short = name.rpartition(".")
    return "%s.%s%s" % (package, INTERPRETED_PREFIX, short)


def interpreted(name: str):
    """The module `name` run from its .py: the imported module itself where no
    compiled one is, else the .py loaded (once) under interpreted_name(name)."""
    module = importlib.import_module(name)
    if not is_compiled(module):
        return module
    alias = interpreted_name(name)
    if alias in sys.modules:
        return sys.modules[alias]
    path = os.path.join(os.path.dirname(module.__file__), name.rpartition(".")[2] + ".py")
    spec = importlib.util.spec_from_file_location(alias, path)
    loaded = importlib.util.module_from_spec(spec)
    sys.modules[alias] = loaded
    try:
        spec.loader.exec_module(loaded)
    except BaseException:
        del sys.modules[alias]
        raise
    return loaded


def twin(fallback_reason: str = "") -> HandlerSet:
    """The interpreted handlers."""
    return from_modules("twin", *(interpreted(name) for name in MODULES), fallback_reason)


def _why_interpreted() -> str:
    low, high = COMPILED_VERSIONS
    if platform.python_implementation() != "CPython" or not low <= sys.version_info[:2] <= high:
        return NEEDS_CPYTHON
    return NOT_BUILT


def load(kind: str = "auto") -> HandlerSet:
    """"compiled", "twin", or "auto": whichever the import system finds."""
    if kind == "compiled":
        return compiled()
    if kind == "twin":
        return twin()
    if kind != "auto":
        raise ValueError("unknown handler kind %r" % kind)
    modules = [importlib.import_module(name) for name in MODULES]
    if all(is_compiled(module) for module in modules):
        return from_modules("compiled", *modules)
    # One module without its compiled build serves interpreted with the other's .py.
    return from_modules("twin", *(interpreted(name) for name in MODULES), _why_interpreted())


def mount_message(base_url: str, handler_set: HandlerSet) -> str:
    """The one log line that says where the API is and which handlers serve it."""
    from jupyter_server.utils import url_path_join

    from velmora import __version__

    return "velmora %s: API mounted under %s (%s)" % (
        __version__, url_path_join(base_url, "api/velmora"), handler_set.description)
