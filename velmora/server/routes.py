"""The URL table of the velmora API, mounted under a Jupyter server's base URL."""
import re
from typing import Any, List, Tuple

from jupyter_server.utils import url_path_join

from .handler_sets import HandlerSet
from .handlers.pipeline_import.handlers import DEFAULT_MAX_BODY_SIZE
from .handlers.pipeline_import.store import PipelineStore

INFO_PATH = "api/velmora/server-info"
IMPORT_PATH = "api/velmora/pipelines/import"


def route_table(
    base_url: str,
    handler_set: HandlerSet,
    *,
    pipeline_store: PipelineStore,
    max_body_size: int = DEFAULT_MAX_BODY_SIZE,
) -> List[Tuple[Any, ...]]:
    """The routes; imports are written through `pipeline_store`, which whoever serves opens and closes."""
    def pattern(path: str) -> str:
        # A base URL is a path, not a pattern: "." in it must not match "x".
        return re.escape(url_path_join(base_url, path))

    return [
        (pattern(INFO_PATH), handler_set.info),
        (
            pattern(IMPORT_PATH),
            handler_set.pipeline_import,
            {"pipeline_store": pipeline_store, "max_body_size": max_body_size},
        ),
    ]

