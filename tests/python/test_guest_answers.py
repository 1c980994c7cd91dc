"""Answers of the routes mounted in a Jupyter-like host, whose connections are plain tornado's:
a declared length that is not a number, a body over the limit, and the one error shape."""
import json

import pytest

import velmora
from http_fixtures import TOKEN, exchange, load_handler_set, responses
from test_extension_loader import StandInServerApp, empty_registry, serve  # noqa: F401 (fixtures)
from velmora.server.handlers.pipeline_import import body_check
from velmora.server.handlers.request_guard import how_to_authenticate

IMPORT = "/jupyter/api/velmora/pipelines/import"
INFO = "/jupyter/api/velmora/server-info"
AUTH = "Authorization: token " + TOKEN


def first_answer(data: bytes):
    status, _, body = responses(data)[0]
    return status, json.loads(body)


def post(length_header: bytes, body: bytes = b"", *extra: str) -> bytes:
    head = ["POST %s HTTP/1.1" % IMPORT, "Host: 127.0.0.1", "Connection: close",
            "Content-Type: application/json", *extra]
    return ("\r\n".join(head) + "\r\n").encode() + length_header + b"\r\n\r\n" + body


@pytest.fixture(params=["compiled", "twin"])
def client(request, tmp_path, serve):  # noqa: F811
    app = StandInServerApp(str(tmp_path))
    velmora._load_jupyter_server_extension(app, load_handler_set(request.param))
    return serve(app)


TOO_LARGE = "the request body is larger than %d bytes" % (1 << 20)
LENGTH = "the Content-Length is not a number of bytes"

# (label, request, status, message)
REFUSALS = [
    # "\xb2" (superscript two) passes str.isdigit and fails int.
    ("length \\xb2", post(b"Content-Length: \xb2", b"", AUTH), 400, LENGTH),
    ("length +1", post(b"Content-Length: +1", b"{", AUTH), 400, LENGTH),
    ("6 MiB body", post(b"Content-Length: %d" % (6 << 20), b"x" * (6 << 20), AUTH), 413, TOO_LARGE),
    ("6 MiB body, no token", post(b"Content-Length: %d" % (6 << 20), b"x" * (6 << 20)), 403,
     how_to_authenticate(None)),
    ("no token", post(b"Content-Length: 2", b"{}"), 403, how_to_authenticate(None)),
]


@pytest.mark.parametrize("data,status,message", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_refusals_reach_the_client_in_the_one_shape(client, tmp_path, data, status, message):
    assert first_answer(exchange(client.port, data)) == (status, {"message": message})
    assert list(tmp_path.iterdir()) == []
    # The host still serves.
    assert client.request("GET", INFO).status == 200


def test_info_refusal_says_how_to_authenticate(client):
    r = client.request("GET", INFO, auth=None)
    assert (r.status, r.json()) == (403, {"message": how_to_authenticate(None)})


# (header value, length or the refusal)
LENGTHS = [
    (None, None), ("0", 0), ("12", 12), ("12, 12", 12), (" 7 ", 7), ("9" * 18, int("9" * 18)),
    ("\u00b2", LENGTH), ("\u0663", LENGTH), ("+5", LENGTH), ("-1", LENGTH), ("5_0", LENGTH),
    ("0x10", LENGTH), ("", LENGTH), ("9" * 19, LENGTH), ("1, 2", "the Content-Length values differ"),
]


@pytest.mark.parametrize("value,expected", LENGTHS)
def test_declared_length_takes_ascii_digits_only(value, expected):
    if isinstance(expected, str):
        with pytest.raises(body_check.BadRequest, match=expected):
            body_check.declared_length(value)
    else:
        assert body_check.declared_length(value) == expected


@pytest.mark.parametrize("values,expected", [
    ([], False), (["true"], True), (["false"], False),
    (["TRUE"], "must be true or false"), (["1"], "must be true or false"),
    (["0"], "must be true or false"), ([""], "must be true or false"),
    (["yes"], "must be true or false"),
    (["true", "false"], "given more than once"), (["true", "true"], "given more than once"),
])
def test_overwrite_takes_exactly_one_of_the_named_values(values, expected):
    if isinstance(expected, str):
        with pytest.raises(body_check.BadRequest, match=expected):
            body_check.parse_overwrite(values)
    else:
        assert body_check.parse_overwrite(values) is expected
