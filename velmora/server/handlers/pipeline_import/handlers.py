"""The pipeline-import endpoint: POST a pipeline as JSON, get it stored under the root directory.

Every answer goes out through `_finish_with_result` of the compiled
`BasePipelineImportHandler`. `pipeline_import_handler(base)` builds the handler
on any such base, so that the interpreted twin can carry it too;
`PipelineImportHandler` is the one built on the compiled base, made on first use.
"""
import errno
import functools
import inspect
from http import HTTPStatus
from typing import Any, List, Optional

from jupyter_server.auth.decorator import authorized
from tornado import web
from tornado.ioloop import IOLoop

from ..request_guard import GuardedAPIHandler
from . import store
from .body_check import DRAIN_LIMIT, BadRequest, check_off_loop, declared_length, parse_overwrite

DEFAULT_MAX_BODY_SIZE = 1 << 20


def drain_limit(max_body_size: int) -> int:
    """Bytes read from an oversized request before the connection is dropped.

    The 413 answer can only reach a client that is not still sending, so bodies
    over the limit are read and thrown away; beyond this the connection is cut
    instead.
    """
    return max(4 * max_body_size, DRAIN_LIMIT)


def content_type_problem(value: Optional[str]) -> Optional[str]:
    """Why a Content-Type does not announce a JSON body we read, or None when it does."""
    media, _, parameters = (value or "").partition(";")
    if media.strip().lower() != "application/json":
        return "the request body must be sent as application/json"
    for parameter in parameters.split(";"):
        name, _, setting = parameter.partition("=")
        if name.strip().lower() == "charset" and \
                setting.strip().strip('"').lower() not in ("utf-8", "utf8"):
            return "the request body must be UTF-8 (charset=utf-8)"
    return None


class PipelineImportMixin(GuardedAPIHandler):
    """The request logic; the base class brings `_finish_with_result`."""

    auth_resource = "velmora"
    # Read by get_current_user, which jupyter_server 1.x already calls while
    # tornado builds the handler, before initialize.
    _refusal: Optional[web.HTTPError] = None
    _user_known = False
    method_hint = ("to import a pipeline, POST it here as a JSON body with Content-Type: "
                   "application/json, while GET api/velmora/server-info reads the server's facts")

    def initialize(self, pipeline_store: store.PipelineStore,
                   max_body_size: int = DEFAULT_MAX_BODY_SIZE) -> None:
        self.pipeline_store = pipeline_store
        self.root_dir = pipeline_store.root_dir
        self.max_body_size = max_body_size
        self._refusal: Optional[web.HTTPError] = None
        # Kept apart: a client without credentials is told to authenticate, not about XSRF.
        self._xsrf_refusal: Optional[web.HTTPError] = None
        self._received = 0
        self._chunks: List[bytes] = []
        self._keep_body = False
        self._early = False
        self._user_known = False

    # The checks that tornado and the framework make before the body arrives
    # would answer at once, and tornado would close the connection while
    # the client is still sending, so that the client often sees a reset
    # instead of the answer. Their verdicts wait until the body has been read
    # (and thrown away), unless the answer can go out at once: the client
    # waits for "100 Continue", or its body is past what is read anyway.
    def check_xsrf_cookie(self) -> None:
        try:
            super().check_xsrf_cookie()
        except web.HTTPError as e:
            self._xsrf_refusal = e

    async def prepare(self) -> None:
        try:
            # A coroutine on servers that find the user in prepare (jupyter_server 2).
            pending = super().prepare()
            if inspect.isawaitable(pending):
                await pending
            authenticated = bool(self.current_user)
            self._user_known = True
        except web.HTTPError as e:
            self._refusal = e
            authenticated = False
        try:
            declared = declared_length(self.request.headers.get("Content-Length"))
        except BadRequest as e:
            # tornado cannot read such a body either: answer before it gives up on the connection.
            self._answer(HTTPStatus.BAD_REQUEST, str(e))
            return
        too_large = declared is not None and declared > self.max_body_size
        # A request that will be refused keeps nothing of its body.
        self._keep_body = (self._refusal is None and self._xsrf_refusal is None
                           and authenticated and not too_large)
        set_limit = getattr(self.request.connection, "set_max_body_size", None)
        if set_limit is not None:
            set_limit(drain_limit(self.max_body_size))
        self._early = (
            self.request.headers.get("Expect", "").strip().lower() == "100-continue"
            or (declared is not None and declared > drain_limit(self.max_body_size))
        )
        if not self._early or self.request.method != "POST":
            return
        if self._refusal is not None:
            raise self._refusal
        if not authenticated:
            raise web.HTTPError(403)
        if self._xsrf_refusal is not None:
            raise self._xsrf_refusal
        if too_large:
            self._answer_too_large()
            return
        problem = content_type_problem(self.request.headers.get("Content-Type"))
        if problem is not None:
            self._answer(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, problem)

    def data_received(self, chunk: bytes) -> None:
        self._received += len(chunk)
        if self._received > self.max_body_size:
            self._keep_body = False
            self._chunks = []
            if self._early and not self._finished:
                # A chunked body has just passed the limit.
                self._answer_too_large()
        elif self._keep_body:
            self._chunks.append(chunk)

    def get_current_user(self) -> Any:
        # Where prepare failed before the user was known, a server that finds
        # the user in prepare (jupyter_server 2) has none to give: the request
        # gets that refusal wherever its user is asked for.
        if self._refusal is not None and not self._user_known:
            raise self._refusal
        return super().get_current_user()

    @web.authenticated
    @authorized
    async def post(self) -> None:
        if self._refusal is not None:
            raise self._refusal
        if self._xsrf_refusal is not None:
            raise self._xsrf_refusal
        if self._received > self.max_body_size:
            self._answer_too_large()
            return
        problem = content_type_problem(self.request.headers.get("Content-Type"))
        if problem is not None:
            self._answer(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, problem)
            return
        body, self._chunks = b"".join(self._chunks), []
        try:
            overwrite = parse_overwrite(self.get_query_arguments("overwrite"))
            # Parsing and checking a large body takes long enough to stall other requests.
            name, node_count = await check_off_loop(body, store.check_name)
            store.check_name(name)
            # The body itself is stored: parse_pipeline made sure it reads back as sent.
            data = body
        except (BadRequest, store.InvalidName) as e:
            # The texts never quote the request: "</" in an answer would make
            # its body longer than the Content-Length the base class declares.
            self._answer(HTTPStatus.BAD_REQUEST, str(e))
            return
        write = functools.partial(self.pipeline_store.write, name, data, overwrite=overwrite)
        try:
            path = await IOLoop.current().run_in_executor(None, write)
        except store.PipelineExists as e:
            replaceable = not overwrite and not e.directory
            hint = " (add ?overwrite=true to replace it)" if replaceable else ""
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
            {"name": name, "path": path, "node_count": node_count, "bytes_written": len(data)},
        )

    def _answer_too_large(self) -> None:
        self._answer(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                     "the request body is larger than %d bytes" % self.max_body_size)

    def _answer(self, status: HTTPStatus, message: str) -> None:
        self.error_message = message
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
