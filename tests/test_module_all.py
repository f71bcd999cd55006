"""The names _kelvane publishes, in their order."""

import _kelvane

EXPECTED = [
    "SyndromeFrame",
    "SyndromeWindow",
    "KelvaneStream",
    "CodeType",
    "DecoderResult",
    "LogicalCorrection",
    "DetectorErrorModel",
    "SpacetimeGraph",
    "LogicalErrorAccumulator",
    "KelvaneError",
    "__version__",
]


def test_all_is_exactly_the_eleven_names_in_order():
    assert _kelvane.__all__ == EXPECTED
    for name in EXPECTED:
        assert hasattr(_kelvane, name), name
    assert _kelvane.__version__ == "0.1.0"


def test_package_reexports_the_same_names():
    import kelvane

    assert kelvane.__all__ == EXPECTED
    for name in EXPECTED[:-1]:
        assert getattr(kelvane, name) is getattr(_kelvane, name), name
