"""The .pyi stubs of the compiled modules say what the modules define: the same
classes on the same bases, the same methods with the same signatures. The
interpreted fallback of each module is held to the same stub."""
import ast
import builtins
import importlib
import inspect
import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# (stub, module that must match it)
MODULES = [
    ("velmora.server.handlers.info.hostfacts", "velmora.server.handlers.info.hostfacts"),
    ("velmora.server.handlers.pipeline_import.groundwork", "velmora.server.handlers.pipeline_import.groundwork"),
    ("velmora.server.handlers.info.hostfacts", "twins.hostfacts"),
    ("velmora.server.handlers.pipeline_import.groundwork", "twins.groundwork"),
]


class Stub:
    """A stub file read as a tree: its imports, classes, bases and methods."""

    def __init__(self, module_name):
        self.path = os.path.join(ROOT, *module_name.split(".")) + ".pyi"
        with open(self.path, encoding="utf-8") as f:
            self.source = f.read()
        tree = ast.parse(self.source, self.path)
        self.imported = {}
        self.classes = {}
        for node in tree.body:
            if isinstance(node, ast.ImportFrom):
                for alias in node.names:
                    self.imported[alias.asname or alias.name] = (node.module, alias.name)
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node

    def text(self, node):
        # Compared as parsed expressions, so that spacing does not matter.
        return ast.dump(ast.parse(ast.get_source_segment(self.source, node), mode="eval"))

    def resolve(self, name):
        module, attr = self.imported[name]
        return getattr(importlib.import_module(module), attr)

    def methods(self, class_name):
        return {n.name: n for n in self.classes[class_name].body if isinstance(n, ast.FunctionDef)}

    def signature(self, function):
        """(parameters as (name, kind, annotation), return annotation), parsed."""
        args = function.args
        assert not (args.vararg or args.kwarg or args.kwonlyargs or args.defaults), "not needed yet"
        params = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                   self.text(a.annotation) if a.annotation else None) for a in args.args]
        return params, self.text(function.returns) if function.returns else None

    def names_used(self):
        return {n.id for c in self.classes.values() for n in ast.walk(c)
                if isinstance(n, ast.Name) and n.id != "self"}


def parsed(annotation):
    if annotation is inspect.Parameter.empty or annotation is inspect.Signature.empty:
        return None
    text = annotation if isinstance(annotation, str) else inspect.formatannotation(annotation)
    return ast.dump(ast.parse(text, mode="eval"))


def runtime_signature(function):
    sig = inspect.signature(function)
    params = [(p.name, p.kind, parsed(p.annotation)) for p in sig.parameters.values()]
    return params, parsed(sig.return_annotation)


def defined_classes(module):
    return {name: value for name, value in vars(module).items()
            if isinstance(value, type) and value.__module__ == module.__name__}


def defined_methods(cls):
    return {name: value for name, value in vars(cls).items() if callable(value) and not name.startswith("__")}


@pytest.fixture(params=MODULES, ids=lambda p: p[1].rsplit(".", 1)[1])
def pair(request):
    stub, module = request.param
    return importlib.import_module(module), Stub(stub)


def test_stub_declares_exactly_the_classes_and_their_bases(pair):
    module, stub = pair
    classes = defined_classes(module)
    assert sorted(stub.classes) == sorted(classes)
    for name, node in stub.classes.items():
        bases = tuple(stub.resolve(b.id) if b.id in stub.imported else classes[b.id] for b in node.bases)
        assert bases == classes[name].__bases__, name


def test_stub_methods_match_the_signatures(pair):
    module, stub = pair
    for name, cls in defined_classes(module).items():
        methods = stub.methods(name)
        assert sorted(methods) == sorted(defined_methods(cls)), name
        for method_name, node in methods.items():
            assert stub.signature(node) == runtime_signature(getattr(cls, method_name)), method_name


def test_every_name_in_the_stub_is_imported_or_defined(pair):
    _, stub = pair
    known = set(stub.imported) | set(stub.classes) | set(dir(builtins))
    assert stub.names_used() <= known
    for name in stub.imported:
        stub.resolve(name)

