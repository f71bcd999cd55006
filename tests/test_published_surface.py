"""_kelvane against tests/corpus/published_surface.json, its published surface written by hand.

Callers and stored JSON rely on the module's names, order, signatures, docstrings, to_dict keys
and message texts: any difference from the file fails here, so a change to them is a deliberate
edit of the file. Methods may take further options after the listed parameters, keyword-only.
"""

from __future__ import annotations

import ast
import json
import pathlib
import sys

import pytest

import _kelvane
from kelvane.kvlx import encode_file_header, encode_frame

SURFACE = json.loads((pathlib.Path(__file__).parent / "corpus" / "published_surface.json").read_text())


def parameters(text_signature: str) -> list[tuple[str, str, str | None]]:
    """(name, kind, default) of each parameter of a text signature such as "($self, a, b=0, *, c)"."""
    tree = ast.parse(f"def f{text_signature.replace('$', '')}: pass").body[0]
    args = tree.args  # type: ignore[attr-defined]
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    out = [(a.arg, "positional", d) for a, d in zip(positional, defaults)]
    out += [(a.arg, "keyword", None if d is None else ast.unparse(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.vararg or args.kwarg:
        out.append(("*", "variadic", None))
    return out


def assert_signature(actual: str | None, published: str, where: str) -> None:
    """The published parameters come first, unchanged; any after them are keyword-only."""
    assert actual is not None, where
    have, want = parameters(actual), parameters(published)
    assert have[: len(want)] == want, where
    assert all(kind == "keyword" for _, kind, _ in have[len(want):]), f"{where}: {actual}"


def test_module_names_and_order():
    module = SURFACE["module"]
    assert _kelvane.__all__ == module["all"]
    assert [n for n in dir(_kelvane) if not n.startswith("_")] == sorted(module["all"][:-1])
    assert _kelvane.__doc__ == module["doc"] and _kelvane.__version__ == module["version"]
    exc = SURFACE["exception"]
    error = _kelvane.KelvaneError
    assert (error.__name__, error.__module__, error.__doc__) == (exc["name"], exc["module"], exc["doc"])
    assert [c.__name__ for c in error.__mro__] == exc["mro"]
    code = _kelvane.CodeType
    assert code.__doc__ is SURFACE["code_type"]["doc"]
    assert [[k, repr(v)] for k, v in vars(code).items() if k.isupper()] == SURFACE["code_type"]["constants"]


@pytest.mark.parametrize("name", list(SURFACE["classes"]))
def test_class_surface(name):
    published = SURFACE["classes"][name]
    cls = getattr(_kelvane, name)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("builtins", name, published["doc"])
    if published["constructor"] is None:
        with pytest.raises(TypeError, match=f"^cannot create '{name}' instances$"):
            cls()
    else:
        assert_signature(cls.__text_signature__, published["constructor"], name)
    members = list(vars(cls))
    order = [members.index(p) for p in published["properties"]]
    assert order == sorted(order), f"{name}: properties out of order"
    for prop in published["properties"]:
        descriptor = vars(cls)[prop]
        assert hasattr(descriptor, "__get__") and not callable(descriptor), f"{name}.{prop}"
        assert descriptor.__doc__ is None, f"{name}.{prop}"
    for method, expected in published["methods"].items():
        entry = vars(cls)[method]
        assert isinstance(entry, staticmethod) == expected.get("static", False), f"{name}.{method}"
        function = entry.__func__ if isinstance(entry, staticmethod) else entry
        assert_signature(function.__text_signature__, expected["signature"], f"{name}.{method}")
        assert function.__doc__ == expected["doc"], f"{name}.{method}"


def test_to_dict_keys(tmp_path):
    for flips in (None, 5):
        frame = next(iter(_stream(_frames(tmp_path, observable_flips=flips))))
        d = frame.to_dict()
        assert list(d) == SURFACE["to_dict_keys"]
        assert d["observable_flips"] == flips


def _frames(tmp_path, **fields):
    path = tmp_path / "frames.kvlx"
    events = [1, 1] + [0] * 22
    path.write_bytes(encode_file_header() + encode_frame(frame_id=7, round=3, detector_events=events, **fields))
    return str(path)


def _stream(path):
    return _kelvane.KelvaneStream(path)


def _closed(path):
    stream = _kelvane.KelvaneStream(path)
    stream.close()
    return stream


def _without_pymatching(call):
    saved = sys.modules.get("pymatching")
    sys.modules["pymatching"] = None  # type: ignore[assignment]  # makes the import fail
    try:
        return call()
    finally:
        if saved is None:
            del sys.modules["pymatching"]
        else:
            sys.modules["pymatching"] = saved


@pytest.mark.parametrize("case", SURFACE["texts"], ids=lambda case: case["call"])
def test_texts(case, tmp_path):
    (tmp_path / "folder").mkdir()
    names = {n: getattr(_kelvane, n) for n in _kelvane.__all__[:-1]}
    names.update(frames=_frames(tmp_path), stream=_stream, closed=_closed, without_pymatching=_without_pymatching,
                 missing=tmp_path / "missing.dem", folder=tmp_path / "folder")
    if "raises" not in case:
        assert eval(case["call"], names) == case["text"]
        return
    with pytest.raises(Exception) as info:
        eval(case["call"], names)
    assert type(info.value).__name__ == case["raises"]
    assert str(info.value) == case["text"]
