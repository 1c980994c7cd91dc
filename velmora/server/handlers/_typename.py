"""The C-level name of a type, as the compiled modules put it into messages."""

_HEAPTYPE = 1 << 9


def c_type_name(tp: type) -> str:
    """`tp_name`, capped at 200 bytes like a "%.200s" format."""
    if tp.__flags__ & _HEAPTYPE or tp.__module__ == "builtins":
        name = tp.__name__
    else:
        # Static types carry their dotted name ("collections.OrderedDict").
        name = "%s.%s" % (tp.__module__, tp.__name__)
    return name.encode("utf-8")[:200].decode("utf-8", "replace")
