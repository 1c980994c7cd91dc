"""The C-level name of a type, as the compiled modules put it into messages."""

_HEAPTYPE = 1 << 9
# Types that C code makes with PyType_FromSpec are heap types from 3.12 on (defaultdict
# among them), yet keep a dotted C-level name; they are the immutable ones.
_IMMUTABLETYPE = 1 << 8


def c_type_name(tp: type) -> str:
    """`tp_name`, capped at 200 bytes like a "%.200s" format."""
    if (tp.__flags__ & _HEAPTYPE and not tp.__flags__ & _IMMUTABLETYPE) or tp.__module__ == "builtins":
        name = tp.__name__
    else:
        # Static types carry their dotted name ("collections.OrderedDict").
        name = "%s.%s" % (tp.__module__, tp.__name__)
    return name.encode("utf-8")[:200].decode("utf-8", "replace")
