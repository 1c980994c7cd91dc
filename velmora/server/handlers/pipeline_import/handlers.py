"""The pipeline-import endpoint: POST a pipeline as JSON, get it stored under the root directory.

Every answer goes out through `_finish_with_result` of the compiled
`BasePipelineImportHandler`. `pipeline_import_handler(base)` builds the handler
on any such base, so that the interpreted twin can carry it too;
`PipelineImportHandler` is the one built on the compiled base, made on first use.
"""
import errno
import functools
import json
from http import HTTPStatus
from typing import Any, Dict, List, Optional, Tuple

from jupyter_server.auth.decorator import authorized
from tornado import web
from tornado.ioloop import IOLoop

from . import store

DEFAULT_MAX_BODY_SIZE = 1 << 20


def drain_limit(max_body_size: int) -> int:
    """Bytes read from an oversized request before the connection is dropped.

    The 413 answer can only reach a client that is not still sending, so bodies
    somewhat over the limit are read and thrown away; beyond this the
    connection is cut instead.
    """
    return max(4 * max_body_size, 1 << 20)


class BadRequest(ValueError):
    """The body does not describe a pipeline; the text is for the client."""


def _reject_constant(text: str) -> Any:
    # NaN and Infinity are not JSON: a file holding them could not be read back.
    raise BadRequest("the request body is not valid JSON")


def parse_pipeline(body: bytes) -> Tuple[Dict[str, Any], str, List[Any]]:
    """Returns (pipeline object, name, nodes); raises BadRequest."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise BadRequest("the request body is not UTF-8 text") from None
    try:
        pipeline = json.loads(text, parse_constant=_reject_constant)
    except RecursionError:
        raise BadRequest("the request body is nested too deeply") from None
    except ValueError:
        raise BadRequest("the request body is not valid JSON") from None
    if type(pipeline) is not dict:
        raise BadRequest("the request body must be a JSON object")
    for field, kind, kind_name in (("name", str, "a string"), ("nodes", list, "a list")):
        if field not in pipeline:
            raise BadRequest("the pipeline lacks the field '%s'" % field)
        if type(pipeline[field]) is not kind:
            raise BadRequest("the field '%s' must be %s" % (field, kind_name))
    return pipeline, pipeline["name"], pipeline["nodes"]


def encode_pipeline(pipeline: Dict[str, Any]) -> bytes:
    try:
        text = json.dumps(pipeline, indent=2, ensure_ascii=False)
        return text.encode("utf-8") + b"\n"
    except RecursionError:
        raise BadRequest("the request body is nested too deeply") from None
    except UnicodeEncodeError:
        # A lone surrogate, sent as a \ud8xx escape.
        raise BadRequest("the request body holds text that is not valid Unicode") from None


def parse_overwrite(value: str) -> bool:
    lowered = value.lower()
    if lowered in ("true", "1"):
        return True
    if lowered in ("false", "0", ""):
        return False
    raise BadRequest("the query argument 'overwrite' must be true or false")


class PipelineImportMixin:
    """The request logic; the base class brings `_finish_with_result`."""

    auth_resource = "velmora"

    def initialize(self, pipeline_store: store.PipelineStore,
                   max_body_size: int = DEFAULT_MAX_BODY_SIZE) -> None:
        self.pipeline_store = pipeline_store
        self.root_dir = pipeline_store.root_dir
        self.max_body_size = max_body_size
        self._refusal: Optional[web.HTTPError] = None
        self._received = 0
        self._chunks: List[bytes] = []
        self._keep_body = False

    # The checks that tornado and the framework make before the body arrives
    # would answer at once and cut the connection while the client is still
    # sending, so that the client often sees a reset instead of the answer.
    # Their verdicts wait until the body has been read (and thrown away).
    def check_xsrf_cookie(self) -> None:
        try:
            super().check_xsrf_cookie()
        except web.HTTPError as e:
            self._refusal = e

    def prepare(self) -> None:
        try:
            super().prepare()
        except web.HTTPError as e:
            if self._refusal is None:
                self._refusal = e
        # A request that will be refused keeps nothing of its body.
        self._keep_body = self._refusal is None and bool(self.current_user)
        set_limit = getattr(self.request.connection, "set_max_body_size", None)
        if set_limit is not None:
            set_limit(drain_limit(self.max_body_size))

    def data_received(self, chunk: bytes) -> None:
        self._received += len(chunk)
        if self._received > self.max_body_size:
            self._keep_body = False
            self._chunks = []
        elif self._keep_body:
            self._chunks.append(chunk)

    @web.authenticated
    @authorized
    async def post(self) -> None:
        if self._refusal is not None:
            raise self._refusal
        if self._received > self.max_body_size:
            self._answer(
                HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                "the request body is larger than %d bytes" % self.max_body_size,
            )
            return
        try:
            overwrite = parse_overwrite(self.get_query_argument("overwrite", ""))
            pipeline, name, nodes = parse_pipeline(b"".join(self._chunks))
            store.check_name(name)
            data = encode_pipeline(pipeline)
        except (BadRequest, store.InvalidName) as e:
            # The texts never quote the request: "</" in an answer would make
            # its body longer than the Content-Length the base class declares.
            self._answer(HTTPStatus.BAD_REQUEST, str(e))
            return
        self._chunks = []
        write = functools.partial(self.pipeline_store.write, name, data, overwrite=overwrite)
        try:
            path = await IOLoop.current().run_in_executor(None, write)
        except store.PipelineExists as e:
            hint = "" if overwrite else " (add ?overwrite=true to replace it)"
            self._answer(HTTPStatus.CONFLICT, str(e) + hint)
            return
        except store.NoAtomicCreate:
            self.log.error("velmora: cannot create pipelines in %s: %s", self.root_dir,
                           "its file system has neither hard links nor an exclusive rename")
            self._answer(
                HTTPStatus.INTERNAL_SERVER_ERROR,
                "the pipeline could not be stored: the file system of the root directory "
                "cannot create a file in one step (no hard links, no exclusive rename)",
            )
            return
        except OSError as e:
            self.log.error("velmora: could not store pipeline %r: %s", name, e)
            if e.errno in (errno.ENOSPC, errno.EDQUOT):
                self._answer(HTTPStatus.INSUFFICIENT_STORAGE, "no space left to store the pipeline")
            else:
                self._answer(HTTPStatus.INTERNAL_SERVER_ERROR, "the pipeline could not be stored")
            return
        # A valid name holds no "/", so the summary cannot hold "</" either.
        self._finish_with_result(
            HTTPStatus.CREATED,
            {"name": name, "path": path, "node_count": len(nodes), "bytes_written": len(data)},
        )

    def _answer(self, status: HTTPStatus, message: str) -> None:
        self._finish_with_result(status, {"message": message})


@functools.lru_cache(maxsize=None)
def pipeline_import_handler(base: type) -> type:
    """The import handler built on `base`, a BasePipelineImportHandler."""
    cls = type("PipelineImportHandler", (PipelineImportMixin, base), {"__module__": __name__})
    return web.stream_request_body(cls)


def __getattr__(name: str) -> Any:
    if name == "PipelineImportHandler":
        from .groundwork import BasePipelineImportHandler

        return pipeline_import_handler(BasePipelineImportHandler)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
