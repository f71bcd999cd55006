"""The DetectorErrorModel and SpacetimeGraph classes: texts, errors, schema JSON, pymatching calls."""

import json
import math
import re
import sys
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kelvane
from dem_recorder import RecordingMatching, recording_pymatching

DEM = _kelvane.DetectorErrorModel
LN9 = 2.1972246170043945  # ln(9) rounded to a 32-bit float


@pytest.mark.parametrize(
    "text, detectors, observables, errors",
    [
        ("", 0, 0, 0),
        ("error(0.1) D0 D1 ^ L0", 2, 1, 1),
        ("error(0.1) D0 L0", 1, 1, 1),
        ("repeat 3 {\n  error(0.1) D0\n  shift_detectors 1\n}", 3, 0, 3),
        ("repeat 0 {\n error(0.1) D4\n}", 5, 0, 0),
        ("logical_observable L4", 0, 5, 0),
        ("detector(1, 2.5) D7", 8, 0, 0),
        ("error(0.1) ^ L63", 0, 64, 1),
        ("error(0.1) D0 L255", 1, 256, 1),
    ],
)
def test_counts_and_repr(text, detectors, observables, errors):
    m = DEM.parse(text)
    assert (m.detector_count, m.observable_count, m.error_count) == (detectors, observables, errors)
    assert repr(m) == f"DetectorErrorModel(detectors={detectors}, observables={observables}, errors={errors})"


@pytest.mark.parametrize(
    "text, message",
    [
        ("error(0.1) D0 ^ L256", "malformed target 'L256'"),
        ("error(0.1) D-5", "malformed target 'D-5'"),
        ("error( x ) D0", "invalid probability ' x ' in error instruction"),
        ("error(0.5 D0", "invalid probability 'error(0.5 D0' in error instruction"),
        ("repeat 2 {\nerror(0.1) D0", "unterminated repeat block"),
        ("repeat -1 {\n}", "invalid repeat count '-1'"),
        ("detector(1,2,3 D7", "malformed detector coords 'detector(1,2,3 D7'"),
        ("repeat 100000000 {\nerror(0.1) D0\n}",
         "repeat blocks expand to more than 33554432 errors, targets and detector declarations"),
    ],
)
def test_parse_errors_are_value_errors(text, message):
    with pytest.raises(ValueError) as info:
        DEM.parse(text)
    assert type(info.value) is ValueError
    assert str(info.value) == message


def _each_entry(text, tmp_path):
    """Every way a DEM text reaches the parser: parse, a file, set_decoder, a graph, kelvane.open."""
    import kelvane
    from kelvane.kvlx import KvlxWriter

    dem_file, kvlx = tmp_path / "m.dem", tmp_path / "s.kvlx"
    dem_file.write_text(text)
    with KvlxWriter(kvlx) as w:
        w.write_frame(frame_id=0, detector_events=[0])
    return {
        "parse": lambda: DEM.parse(text),
        "from_file": lambda: DEM.from_file(str(dem_file)),
        "set_decoder": lambda: _kelvane.KelvaneStream(str(kvlx)).set_decoder(text),
        "set_decoder(path)": lambda: _kelvane.KelvaneStream(str(kvlx)).set_decoder(dem_file),
        "graph": lambda: _kelvane.SpacetimeGraph.from_detector_error_model(text),
        "open": lambda: kelvane.open(str(kvlx), decoder=str(dem_file)),
    }


@pytest.mark.parametrize(
    "text, message",
    [
        # Observable ids are one byte: L255 is the last.
        ("error(0.1) D0 ^ L256", "malformed target 'L256'"),
        ("error(0.1) D0 L256", "malformed target 'L256'"),
        ("logical_observable L256\nerror(0.1) D0", "malformed target 'L256'"),
        # Coordinates that are not finite are refused, as Stim refuses them.
        ("detector(nan) D0\nerror(0.1) D0", "malformed detector coords 'detector(nan) D0'"),
        ("detector(1, inf) D0\nerror(0.1) D0", "malformed detector coords 'detector(1, inf) D0'"),
        ("detector(-Infinity, 0, 0) D0\nerror(0.1) D0", "malformed detector coords 'detector(-Infinity, 0, 0) D0'"),
    ],
)
def test_every_entry_refuses_with_the_parse_text(text, message, tmp_path):
    for entry, call in _each_entry(text, tmp_path).items():
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message, entry


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: DEM.parse(b"error(0.1) D0"), "argument 'text': 'bytes' object is not an instance of 'str'"),
        (lambda: DEM.parse(None), "argument 'text': 'NoneType' object is not an instance of 'str'"),
        (lambda: DEM.from_file(3), "argument 'path': 'int' object is not an instance of 'str'"),
        (lambda: DEM.parse("").to_schema_json(1), "argument 'name': 'int' object is not an instance of 'str'"),
        (lambda: DEM.parse(), "parse() missing required argument 'text' (pos 1)"),
        (lambda: DEM.parse("", "x"), "parse() takes at most 1 argument (2 given)"),
        (lambda: DEM.parse(txt=""), "parse() missing required argument 'text' (pos 1)"),
        (lambda: DEM.parse("").to_pymatching(1), "DetectorErrorModel.to_pymatching() takes no arguments (1 given)"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments():
    assert DEM.parse(text="error(0.1) D2").detector_count == 3
    assert json.loads(DEM.parse("").to_schema_json(name="n"))["name"] == "n"


@pytest.mark.parametrize("cls", [_kelvane.DetectorErrorModel, _kelvane.SpacetimeGraph])
def test_classes_have_no_constructor(cls):
    with pytest.raises(TypeError):
        cls()
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__


def test_signatures_and_docstrings():
    assert DEM.parse.__doc__ == "Parse a Stim DEM from its text representation."
    assert DEM.parse.__text_signature__ == "(text)"
    assert DEM.from_file.__doc__ == "Load a Stim DEM from a file path."
    assert DEM.from_file.__text_signature__ == "(path)"
    assert DEM.to_schema_json.__doc__ == "Serialise this DEM as a `HardwareSchema`-compatible JSON string."
    assert DEM.to_schema_json.__text_signature__ == "($self, name)"
    assert DEM.to_pymatching.__text_signature__ == "($self)"
    assert DEM.to_pymatching.__doc__ == "\n".join(
        [
            "Build a `pymatching.Matching` object from this DEM.",
            "",
            "Requires `pymatching` to be installed (`pip install pymatching`).",
            "Edges are added with weight `-ln(p/(1-p))` and `fault_ids` identifying",
            "which observables flip when the error fires.",
        ]
    )


# ---- from_file ------------------------------------------------------------------------------


def test_from_file_reads_a_dem(tmp_path):
    path = tmp_path / "model.dem"
    path.write_text("# written by hand\nerror(0.1) D0 D3 ^ L1\r\ndetector(1, 2) D5\n", encoding="utf-8")
    m = DEM.from_file(str(path))
    assert repr(m) == "DetectorErrorModel(detectors=6, observables=2, errors=1)"


@pytest.mark.parametrize(
    "content, exception, message",
    [
        (None, OSError, "No such file or directory (os error 2)"),
        (b"error(0.1) D0\n\xff\xfe", OSError, "stream did not contain valid UTF-8"),
        (b"error(0.1) D0 \xed\xa0\x80", OSError, "stream did not contain valid UTF-8"),
        (b"error(0.1) Dx", ValueError, "malformed target 'Dx'"),
    ],
)
def test_from_file_failures(tmp_path, content, exception, message):
    path = tmp_path / "model.dem"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(exception) as info:
        DEM.from_file(str(path))
    assert type(info.value) is exception
    assert str(info.value) == message


def test_from_file_refuses_a_name_with_nul(tmp_path):
    (tmp_path / "a").write_text("error(0.1) D0")
    with pytest.raises(OSError) as info:
        DEM.from_file(str(tmp_path / "a") + "\0ignored")
    assert str(info.value) == "file name contained an unexpected NUL byte"


def test_from_file_on_a_directory(tmp_path):
    with pytest.raises(OSError) as info:
        DEM.from_file(str(tmp_path))
    assert str(info.value) == "Is a directory (os error 21)"


# ---- to_schema_json -------------------------------------------------------------------------

UUID4 = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def test_schema_json_refuses_more_detectors_than_sixteen_bits_count():
    assert json.loads(DEM.parse("detector D65534").to_schema_json("x"))["ancilla_count"] == 65535
    with pytest.raises(ValueError, match="^the model has 65537 detectors, more than the 65535 ancillas"):
        DEM.parse("error(0.1) D65536").to_schema_json("x")


def test_schema_json_fields():
    m = DEM.parse("detector(0, 0, 0) D0\ndetector(1, 0, 0) D1\ndetector(1, 1) D2\nerror(0.1) D0 D3 ^ L1")
    doc = json.loads(m.to_schema_json("dev"))
    assert list(doc) == [
        "schema_id", "version", "name", "description", "code_type", "distance", "qubit_count",
        "ancilla_count", "stabilizers", "measurement_cycle_us", "ancilla_layout",
    ]
    assert UUID4.match(doc["schema_id"])
    assert doc["version"] == "1.0.0"
    assert doc["name"] == "dev"
    assert doc["description"] == "Auto-generated from DEM: 4 detectors, 2 observables"
    assert doc["code_type"] == "Custom"
    assert (doc["distance"], doc["qubit_count"], doc["ancilla_count"]) == (0, 0, 4)
    assert doc["stabilizers"] == [
        {"id": 0, "type": "Z", "qubits": []},
        {"id": 1, "type": "X", "qubits": []},
        {"id": 2, "type": "Z", "qubits": []},
    ]
    assert doc["measurement_cycle_us"] == 1.0
    assert doc["ancilla_layout"] == "auto"


def test_schema_ids_differ_between_calls():
    m = DEM.parse("error(0.1) D0")
    first, second = json.loads(m.to_schema_json("dev")), json.loads(m.to_schema_json("dev"))
    assert first["schema_id"] != second["schema_id"]
    del first["schema_id"], second["schema_id"]
    assert first == second


@pytest.mark.parametrize("name", ["", "quote\" back\\ tab\t ctl\x01", "Ünïcødé ✓ / 量子"])
def test_schema_name_round_trips(name):
    assert json.loads(DEM.parse("").to_schema_json(name))["name"] == name


# ---- to_pymatching --------------------------------------------------------------------------


def test_pymatching_calls_for_one_boundary_edge():
    with recording_pymatching():
        matching = DEM.parse("error(0.1) D0").to_pymatching()
    assert isinstance(matching, RecordingMatching)
    assert matching.init_args == ((), {})
    assert matching.calls == [
        ("add_edge", (0, 1), {"weight": LN9}),
        ("set_boundary_nodes", ({1},), {}),
    ]
    assert list(matching.calls[0][2]) == ["weight"]


def test_pymatching_leaves_out_hyperedges_and_passes_odd_observables():
    text = "error(0.1) D0 D1 D2 ^ L0\nerror(0.1) D0 L0 L0\nerror(0.1) D1 D2 L1 L0 L1 L1"
    with recording_pymatching(), pytest.warns(UserWarning, match="^1 error components with three or more detectors"):
        matching = DEM.parse(text).to_pymatching()
    assert matching.calls == [
        ("add_edge", (0, 3), {"weight": LN9}),
        ("add_edge", (1, 2), {"weight": LN9, "fault_ids": {0, 1}}),
        ("set_boundary_nodes", ({3},), {}),
    ]
    assert list(matching.calls[1][2]) == ["weight", "fault_ids"]


def test_pymatching_merges_only_repeated_node_pairs():
    text = "\n".join(
        [
            "error(0.1) D0 D1",
            "error(0.2) D1 D0 L1",  # same pair, other order
            "error(0.3) D1 D2",
            "error(0.4) D2",
            "error(0.1) D2 ^ D1 D2",  # decomposition: a second boundary edge on D2 and a third (1, 2)
            "error(0.5) D3 D3",
            "error(0.5) D3 D3",
        ]
    )
    with recording_pymatching():
        matching = DEM.parse(text).to_pymatching()
    merged = [
        (args, kwargs.get("merge_strategy"))
        for name, args, kwargs in matching.calls
        if name == "add_edge"
    ]
    assert merged == [
        ((0, 1), None),
        ((1, 0), "independent"),
        ((1, 2), None),
        ((2, 4), None),
        ((2, 4), "independent"),
        ((1, 2), "independent"),
        ((3, 3), None),
        ((3, 3), "independent"),
    ]
    assert list(matching.calls[1][2]) == ["weight", "fault_ids", "merge_strategy"]


def test_pymatching_weights_pass_unfiltered():
    with recording_pymatching():
        matching = DEM.parse("error(0.5) D0 D1\nerror(0.9) D1\nerror(1) D1\nerror(0) D1").to_pymatching()
    weights = [kwargs["weight"] for name, _, kwargs in matching.calls if name == "add_edge"]
    assert weights == [0.0, -LN9]


def test_pymatching_without_usable_errors():
    with recording_pymatching():
        matching = DEM.parse("error(0.1) ^ L0\ndetector D6\nerror(0) D1").to_pymatching()
    assert matching.calls == [("set_boundary_nodes", ({7},), {})]


def test_pymatching_errors_propagate_unchanged():
    class Refusing(RecordingMatching):
        def add_edge(self, *args, **kwargs):
            raise KeyError("refused")

    with recording_pymatching(Refusing), pytest.raises(KeyError, match="refused"):
        DEM.parse("error(0.1) D0").to_pymatching()


def test_pymatching_may_reenter_the_model():
    m = DEM.parse("error(0.1) D0 D1")
    seen = []

    class Reentrant(RecordingMatching):
        def add_edge(self, *args, **kwargs):
            seen.append(repr(m))  # a second shared borrow is allowed

    with recording_pymatching(Reentrant):
        m.to_pymatching()
    assert seen == ["DetectorErrorModel(detectors=2, observables=0, errors=1)"]


def test_missing_pymatching_raises_import_error(monkeypatch):
    monkeypatch.setitem(sys.modules, "pymatching", None)
    with pytest.raises(ImportError) as info:
        DEM.parse("error(0.1) D0").to_pymatching()
    assert str(info.value) == "pymatching not found \u2014 install it with: pip install pymatching"
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_real_pymatching_object():
    pymatching = pytest.importorskip("pymatching")
    matching = DEM.parse("error(0.1) D0 D1 ^ L0\nerror(0.1) D1\nerror(0.2) D0 D1").to_pymatching()
    assert isinstance(matching, pymatching.Matching)
    assert matching.num_detectors == 2
    assert matching.decode([1, 1]).tolist() == [1]


# ---- fuzzing --------------------------------------------------------------------------------

FRAGMENTS = [
    "error", "error(", "error[t](", ")", "(", "0.1", "1e-3", "nan", "-inf", "D", "D0", "D+7", "D-1",
    "D4294967295", "D4294967296", "L", "L0", "L255", "L256", "^", "detector", "detector(", "1, 2", ",",
    "logical_observable", "shift_detectors", "shift_detectors(0, 0, 1)", "repeat", "repeat 3 {",
    "repeat 0 {", "repeat 18446744073709551615 {", "{", "}", "#", "[", "]", " ", "\t", "\r", "\n",
    "\u00a0", "\u2028", "é", "\x00",
]

lines = st.lists(st.sampled_from(FRAGMENTS), max_size=12).map("".join)
dem_texts = st.one_of(st.lists(lines, max_size=20).map("\n".join), st.text(max_size=200))


@settings(max_examples=400, deadline=None)
@given(dem_texts)
def test_random_texts_parse_or_raise_value_error(text):
    try:
        m = DEM.parse(text)
    except ValueError as e:
        assert type(e) is ValueError
        assert str(e)
        return
    if m.detector_count > 65535:
        with pytest.raises(ValueError, match="ancillas a hardware schema can describe"):
            m.to_schema_json("fuzz")
    else:
        assert json.loads(m.to_schema_json("fuzz"))["ancilla_count"] == m.detector_count
    assert m.detector_count >= 0 and 0 <= m.observable_count <= 64
    if m.detector_count > 10**6:
        return  # the graph would hold a node per detector id
    try:
        with recording_pymatching(), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            matching = m.to_pymatching()
    except ValueError as e:
        assert "decompose_errors=True" in str(e)
        return
    for a, b, obs, _ in matching.edges():
        assert 0 <= a < m.detector_count and 0 <= b <= m.detector_count
        assert all(o < m.observable_count for o in obs)
