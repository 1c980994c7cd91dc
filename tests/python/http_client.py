"""A small blocking HTTP client for servers in other processes or threads, and raw exchanges."""
import http.client
import json
import socket
import urllib.parse
from typing import Any, Dict, List, NamedTuple, Optional, Tuple


class Response(NamedTuple):
    status: int
    headers: http.client.HTTPMessage
    body: bytes

    def json(self) -> Any:
        assert self.headers.get("Content-Type", "").startswith("application/json"), self.headers
        return json.loads(self.body)


class Client:
    """Plain http.client requests; `auth` is "header", "query" or None."""

    def __init__(self, port: int, token: str) -> None:
        self.port = port
        self.token = token

    def connect(self) -> http.client.HTTPConnection:
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)

    def request(self, method: str, path: str, body: Optional[bytes] = None, *,
                headers: Optional[Dict[str, str]] = None, auth: Optional[str] = "header",
                token: Optional[str] = None) -> Response:
        token = self.token if token is None else token
        headers = dict(headers or {})
        if auth == "header":
            headers["Authorization"] = "token " + token
        elif auth == "query":
            path += ("&" if "?" in path else "?") + "token=" + urllib.parse.quote(token)
        conn = self.connect()
        try:
            conn.request(method, path, body=body, headers=headers)
            r = conn.getresponse()
            return Response(r.status, r.headers, r.read())
        finally:
            conn.close()

    def info(self, prefix: str = "/", **kw: Any) -> Response:
        return self.request("GET", prefix + "api/velmora/server-info", **kw)

    def import_pipeline(self, pipeline: Any, query: str = "", prefix: str = "/", **kw: Any) -> Response:
        body = pipeline if isinstance(pipeline, bytes) else json.dumps(pipeline).encode()
        headers = dict(kw.pop("headers", {}))
        headers.setdefault("Content-Type", "application/json")
        return self.request("POST", prefix + "api/velmora/pipelines/import" + query, body,
                            headers=headers, **kw)


def exchange(port: int, data: bytes) -> bytes:
    """Sends `data` whole, then returns all the server sent until it closed; a reset is a failure."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        # No half-close: tornado takes the end of the client's stream for a client that left.
        s.sendall(data)
        received = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                return received
            received += piece


def responses(data: bytes) -> List[Tuple[int, Dict[str, str], bytes]]:
    """(status, headers, body) of each response in a byte stream, interim ones included."""
    out = []
    while data:
        head, _, data = data.partition(b"\r\n\r\n")
        lines = head.decode("latin1").split("\r\n")
        headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
        length = int(headers.get("content-length", 0))
        out.append((int(lines[0].split()[1]), headers, data[:length]))
        data = data[length:]
    return out


def first_answer(data: bytes) -> Tuple[int, Any]:
    status, _, body = responses(data)[0]
    return status, json.loads(body)
