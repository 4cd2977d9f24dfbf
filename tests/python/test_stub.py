"""The typed interface (bindings/TavixHardwareAPI.pyi) against the signatures of the module.

stubtest (``make stubtest``) checks that the stub and the module have the same names, but it
cannot see the signatures of compiled functions: the module keeps them as text, in the first
docstring lines. This test reads that text and compares it with the stub: for every function
and method that both have, the same overloads in order, the same parameter names, kinds and
default values, and argument and result types that agree. Where the stub is more precise than
the text (the items of a tuple, the keys of a dict, any sequence where the text says list), the
refinements allowed are the ones listed below.
"""

import ast
import pathlib
import re

import pytest

import TavixHardwareAPI as api

STUB = pathlib.Path(__file__).resolve().parents[2] / "bindings" / "TavixHardwareAPI.pyi"

# Argument types the stub writes otherwise than the module renders them: (rendered, stub).
# Any sequence of numbers is converted, NumPy arrays included, which no standard sequence type
# says; the port path may also be bytes.
WIDER_ARGUMENTS = {
    ("list[float]", "_Vector"),
    ("Sequence[float] | float", "_Vector | float"),
    ("bytes | Sequence[int] | int | None", "_ByteValues | int | None"),
    ("str", "str | bytes | bytearray"),
}
# Result types the module renders without their items; the stub names them.
BARE_RESULTS = {"tuple", "dict", "list", "object"}


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_aliases(tree):
    return {node.targets[0].id: node.value for node in tree.body
            if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name)}


def stub_typed_dicts(tree):
    return {node.name for node in tree.body if isinstance(node, ast.ClassDef)
            and any(ast.unparse(base) == "TypedDict" for base in node.bases)}


def is_property(function):
    return any(ast.unparse(decorator) == "property" for decorator in function.decorator_list)


def stub_functions(tree, properties=False):
    """(owner or None, name) -> list of FunctionDef (the overloads in order), for public names;
    properties only when asked for (the module renders no signature for them)."""
    functions = {}

    def collect(owner, body):
        for node in body:
            if isinstance(node, ast.FunctionDef) and (properties or not is_property(node)):
                functions.setdefault((owner, node.name), []).append(node)

    collect(None, tree.body)
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            collect(node.name, node.body)
    return functions


def stub_properties(tree):
    """(class, name, FunctionDef) of every property of the stub's public classes."""
    return [(node.name, item.name, item) for node in tree.body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")
            for item in node.body if isinstance(item, ast.FunctionDef) and is_property(item)]


def runtime_object(owner, name):
    holder = api if owner is None else getattr(api, owner, None)
    return None if holder is None else getattr(holder, name, None)


def runtime_signatures(obj, name):
    """The module's signature lines as FunctionDefs; names with spaces get underscores."""
    lines = obj.__doc__.splitlines()
    wanted = re.compile(rf"^(?:\d+\. )?({name}\(.*\) -> .*)$")
    texts = [m.group(1) for m in map(wanted.match, lines) if m]
    if lines[0].startswith(f"{name}(*args, **kwargs)"):  # overloaded: only the numbered lines
        texts = [m.group(1) for m in map(wanted.match, lines) if m and m.group(0)[0].isdigit()]
    spaced = re.compile(r"(?<=[(,] )(\w+(?: \w+)+)(?=: )")
    return [ast.parse(f"def {spaced.sub(lambda m: m.group(1).replace(' ', '_'), text)}: ...").body[0]
            for text in texts], texts


def parameters(function):
    """(name, annotation, default node or None, positional only) without self."""
    args = function.args
    every = args.posonlyargs + args.args
    defaults = [None] * (len(every) - len(args.defaults)) + list(args.defaults)
    rows = [(a.arg, a.annotation, d, i < len(args.posonlyargs)) for i, (a, d) in enumerate(zip(every, defaults))]
    return [row for row in rows if row[0] != "self"]


def rendered(node):
    return re.sub(r"\b(TavixHardwareAPI|collections\.abc)\.", "", ast.unparse(node)) if node else None


def written(node, aliases):
    """The stub's annotation with its aliases expanded and string arguments unquoted."""
    if node is None:
        return None

    class Expand(ast.NodeTransformer):
        def visit_Name(self, name):
            return aliases.get(name.id, name)

    return ast.unparse(Expand().visit(node)).replace("'", "")


def result_agrees(runtime, stub, typed_dicts):
    if runtime == stub:
        return True
    if runtime not in BARE_RESULTS:
        return False
    return runtime == "object" or stub.split("[")[0] == runtime or (runtime == "dict" and stub in typed_dicts)


def shared_functions():
    tree = stub_tree()
    return [(owner, name, overloads) for (owner, name), overloads in stub_functions(tree).items()
            if runtime_object(owner, name) is not None and not (name == "__init__" and owner == "Device")]


@pytest.mark.parametrize("owner, name, overloads", shared_functions(),
                         ids=lambda v: v if isinstance(v, str) else "")
def test_stub_matches_the_rendered_signatures(owner, name, overloads):
    tree = stub_tree()
    aliases, typed_dicts = stub_aliases(tree), stub_typed_dicts(tree)
    runtime, texts = runtime_signatures(runtime_object(owner, name), name)
    assert len(overloads) == len(runtime), texts
    for stub_def, runtime_def, text in zip(overloads, runtime, texts):
        stub_params, runtime_params = parameters(stub_def), parameters(runtime_def)
        assert [p[0] for p in stub_params] == [p[0] for p in runtime_params], text
        for (pname, s_type, s_default, s_posonly), (_, r_type, r_default, _) in zip(stub_params, runtime_params):
            spaced = "_" in pname and f"{pname.replace('_', ' ')}:" in text
            unnamed = re.fullmatch(r"arg\d+", pname) or spaced
            assert s_posonly == bool(unnamed), f"{pname} in {text}"
            assert (s_default is None) == (r_default is None), f"{pname} in {text}"
            if s_default is not None and ast.unparse(s_default) != "...":
                assert ast.literal_eval(s_default) == ast.literal_eval(r_default), f"{pname} in {text}"
                assert type(ast.literal_eval(s_default)) is type(ast.literal_eval(r_default)), f"{pname} in {text}"
            r, s = rendered(r_type), written(s_type, aliases)
            assert r == s or (r, s) in WIDER_ARGUMENTS, f"{pname}: {s} for {r} in {text}"
        r, s = rendered(runtime_def.returns), written(stub_def.returns, aliases)
        assert result_agrees(r, s, typed_dicts), f"result {s} for {r} in {text}"


def test_stub_docstrings_are_the_modules():
    tree = stub_tree()
    documented = [(owner, name, ast.get_docstring(defs[0], clean=False))
                  for (owner, name), defs in stub_functions(tree, properties=True).items()
                  if len(defs) == 1 and ast.get_docstring(defs[0]) and runtime_object(owner, name)]
    documented += [(None, node.name, ast.get_docstring(node, clean=False)) for node in tree.body
                   if isinstance(node, ast.ClassDef) and ast.get_docstring(node) and hasattr(api, node.name)]
    assert documented
    for owner, name, text in documented:
        obj = runtime_object(owner, name)
        own = obj.__doc__ if isinstance(obj, (type, property)) else obj.__doc__.split("\n\n", 1)[1].rstrip("\n")
        assert own == text, (owner, name)
    assert ast.get_docstring(tree, clean=False) == api.__doc__


@pytest.mark.parametrize("owner, name, getter", stub_properties(stub_tree()), ids=lambda v: v if isinstance(v, str) else "")
def test_stub_properties_are_the_modules(owner, name, getter):
    runtime = getattr(api, owner).__dict__[name]
    assert isinstance(runtime, property) and runtime.fset is None  # read-only
    rendered_result = rendered(ast.parse(runtime.fget.__doc__.splitlines()[0].split(" -> ")[1]).body[0].value)
    assert rendered_result == ast.unparse(getter.returns)
