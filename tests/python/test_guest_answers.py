"""How the import handler reads a declared length and the overwrite argument (its answers
over HTTP are checked in jupyter/test_api_http.py)."""
import pytest

from velmora.server.handlers.pipeline_import import body_check

LENGTH = "the Content-Length is not a number of bytes"


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
