"""The exact-dict rule of the compiled handlers, for the same modules run as
plain Python: a dict subclass is refused where the compiled code refuses it."""
import functools

from ._typename import c_type_name

SUBCLASS_NOTE = (
    "Note that the compiled handlers are deliberately stricter than PEP-484 and reject subclasses "
    "of builtin types: pass an exact dict instead."
)


def exact_dict_argument(name, position):
    """Refuses a call whose argument `name` (at `position`, counting self) is
    not exactly a dict, before the method runs. The wrapped method's own
    binding speaks first about a call it would refuse anyway."""

    def decorate(method):
        @functools.wraps(method)
        def checked(*args, **kwargs):
            if position < len(args):
                value = args[position]
            elif name in kwargs:
                value = kwargs[name]
            else:
                return method(*args, **kwargs)
            if type(value) is not dict:
                # Binding errors (counts, duplicates, unknown names) come first.
                import inspect

                inspect.signature(method).bind(*args, **kwargs)
                subclass = isinstance(value, dict)
                raise TypeError("Argument '%s' has incorrect type (expected dict, got %s)%s" % (
                    name[:200], c_type_name(type(value)), ". " + SUBCLASS_NOTE if subclass else ""))
            return method(*args, **kwargs)

        return checked

    return decorate

