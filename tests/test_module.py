"""The _kelvane module itself: published names, version, exception and CodeType."""

from __future__ import annotations

import pytest

import _kelvane
import kelvane
from _kelvane import CodeType, KelvaneError

ORDER = [
    "SyndromeFrame", "SyndromeWindow", "KelvaneStream", "CodeType", "DecoderResult",
    "LogicalCorrection", "DetectorErrorModel", "SpacetimeGraph", "LogicalErrorAccumulator",
    "KelvaneError", "__version__",
]


def test_all_lists_the_published_names_in_order():
    assert _kelvane.__all__ == ORDER
    assert all(hasattr(_kelvane, n) for n in ORDER)
    assert kelvane.__all__[:len(ORDER)] == ORDER and kelvane.KelvaneStream is _kelvane.KelvaneStream


def test_version_and_doc():
    assert _kelvane.__version__ == "0.1.0" and type(_kelvane.__version__) is str
    assert _kelvane.__doc__ == ""


def test_exception_class():
    assert KelvaneError.__module__ == "kelvane" and KelvaneError.__name__ == "KelvaneError"
    assert KelvaneError.__mro__ == (KelvaneError, Exception, BaseException, object)
    assert KelvaneError.__doc__ is None
    assert str(KelvaneError("m")) == "m"


def test_classes_present_as_builtins():
    for n in _kelvane.__all__[:-2]:
        cls = getattr(_kelvane, n)
        assert cls.__module__ == "builtins" and cls.__qualname__ == n


@pytest.mark.parametrize(
    "attr, variant",
    [
        ("SURFACE_CODE", "SurfaceCode"), ("HONEYCOMB_CODE", "HoneycombCode"), ("COLOR_CODE", "ColorCode"),
        ("REPETITION_CODE", "RepetitionCode"), ("TORIC_CODE", "ToricCode"),
        ("BIVARIATE_BICYCLE", "BivariateBicycle"), ("HYPERGRAPH_PRODUCT", "HypergraphProduct"),
        ("FIBER_BUNDLE", "FiberBundle"), ("CUSTOM", "Custom"),
    ],
)
def test_code_type_constants(attr, variant):
    value = getattr(CodeType, attr)
    assert repr(value) == "CodeType." + variant
    assert value is getattr(CodeType, attr) and value == value
    assert isinstance(value, CodeType)


def test_code_type_is_a_namespace_of_identities():
    assert [k for k in vars(CodeType) if k.isupper()] == [
        "SURFACE_CODE", "HONEYCOMB_CODE", "COLOR_CODE", "REPETITION_CODE", "TORIC_CODE",
        "BIVARIATE_BICYCLE", "HYPERGRAPH_PRODUCT", "FIBER_BUNDLE", "CUSTOM",
    ]
    assert CodeType.SURFACE_CODE != 1 and CodeType.SURFACE_CODE != CodeType.COLOR_CODE
    assert len({CodeType.SURFACE_CODE, CodeType.SURFACE_CODE, CodeType.CUSTOM}) == 2
    for args in ((), (1,)):
        with pytest.raises(TypeError):
            CodeType(*args)
    with pytest.raises(TypeError):
        int(CodeType.CUSTOM)
    assert CodeType.__module__ == "builtins" and CodeType.__doc__ is None


def test_import_raises_no_warning_and_reprs_use_bare_names():
    # A fresh interpreter with warnings as errors must import the module cleanly.
    import subprocess
    import sys

    code = (
        "import _kelvane as k\n"
        "assert repr(k.CodeType) == \"<class 'CodeType'>\", repr(k.CodeType)\n"
        "try:\n"
        "    k.LogicalCorrection()\n"
        "except TypeError as e:\n"
        "    assert str(e) == \"cannot create 'LogicalCorrection' instances\", str(e)\n"
    )
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
