"""The pure-Python package around the extension: re-exports and the kelvane.open entry point."""

import pytest

import _kelvane
import kelvane
from kelvane.kvlx import KvlxWriter


def _write(path, events_per_frame):
    with open(path, "wb") as f:
        w = KvlxWriter(f)
        for i, events in enumerate(events_per_frame):
            w.write_frame(frame_id=i, round=i, detector_events=events, meas_results=[1] * len(events))


def test_reexports_the_extension():
    native = len(_kelvane.__all__)
    assert kelvane.__all__[:native] == _kelvane.__all__
    assert {"open", "sinter_decoders"} <= set(kelvane.__all__[native:])
    for name in kelvane.__all__[native:]:
        assert getattr(kelvane, name).__module__.startswith("kelvane"), name
    for name in _kelvane.__all__:
        assert getattr(kelvane, name) is getattr(_kelvane, name), name


def test_open_without_decoder_is_a_plain_stream(tmp_path):
    path = tmp_path / "a.kvlx"
    _write(path, [[0, 1], [0, 0]])
    with kelvane.open(str(path)) as stream:
        frames = list(stream)
    assert [f.frame_id for f in frames] == [0, 1]
    with pytest.raises(kelvane.KelvaneError):
        frames[0].observable_flips


@pytest.mark.parametrize("form", ["text", "path", "stim", "kelvane model", "graph"])
def test_open_with_decoder_decodes_every_frame(tmp_path, form):
    # Two detectors per frame and one frame per window: D0 alone is explained by the boundary
    # edge that flips L0; D1 alone by a boundary edge that flips nothing.
    path = tmp_path / "a.kvlx"
    _write(path, [[1, 0], [0, 1], [0, 0]])
    dem = "error(0.1) D0 L0\nerror(0.1) D1\nerror(0.1) D0 D1"
    (tmp_path / "m.dem").write_text(dem)
    decoder = {
        "text": lambda: dem,
        "path": lambda: tmp_path / "m.dem",
        "stim": lambda: pytest.importorskip("stim").DetectorErrorModel(dem),
        "kelvane model": lambda: kelvane.DetectorErrorModel.parse(dem),
        "graph": lambda: kelvane.DetectorErrorModel.parse(dem).to_graph(),
    }[form]()
    with kelvane.open(str(path), decoder=decoder, window_depth=1) as stream:
        assert [f.observable_flips for f in stream] == [1, 0, 0]


def test_open_closes_the_stream_when_the_decoder_is_refused(tmp_path):
    path = tmp_path / "a.kvlx"
    _write(path, [[0]])
    with pytest.raises(ValueError, match="malformed target 'Dx'"):
        kelvane.open(str(path), decoder="error(0.1) Dx")


def test_the_namespace_is_the_api():
    import types

    extra = {n for n in dir(kelvane) if not n.startswith("_")} - set(kelvane.__all__)
    assert all(isinstance(getattr(kelvane, n), types.ModuleType) for n in extra), extra  # submodules only
    assert not {"os", "Any", "Literal", "overload", "annotations", "TYPE_CHECKING"} & set(dir(kelvane))


def test_the_stubs_document_every_class():
    import ast
    import pathlib

    stubs = ast.parse((pathlib.Path(__file__).parent.parent / "python" / "_kelvane.pyi").read_text())
    classes = [node for node in stubs.body if isinstance(node, ast.ClassDef)]
    assert len(classes) >= 10
    assert [c.name for c in classes if not ast.get_docstring(c)] == []


@pytest.mark.parametrize("entry", ["open", "set_decoder", "graph", "learning"])
def test_a_stim_circuit_decodes_as_its_decomposed_model(tmp_path, entry):
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated("surface_code:rotated_memory_x", distance=3, rounds=2,
                                     after_clifford_depolarization=0.03)  # QUBIT_COORDS and all
    exp = kelvane.write_stim_experiment(circuit, 60, tmp_path / "e.kvlx", seed=3)
    expected = kelvane.SpacetimeGraph.from_stim_circuit(circuit).decode_batch(exp.detection_events)[:, 0]
    if entry == "graph":
        got = kelvane.SpacetimeGraph.from_detector_error_model(circuit).decode_batch(exp.detection_events)[:, 0]
    else:
        if entry == "set_decoder":
            stream = kelvane.KelvaneStream(str(tmp_path / "e.kvlx"))
            stream.set_decoder(circuit, layout=exp.layout, per_shot=True)
        else:
            stream = kelvane.open(tmp_path / "e.kvlx", decoder=circuit,
                                  learn_every=30 if entry == "learning" else None)
        with stream:
            got = [f.observable_flips for f in stream if f.round == len(exp.layout) - 1]
    if entry == "learning":  # the model re-learned after 30 shots may decide otherwise
        assert len(got) == 60 and (got[:30] == expected[:30]).all()
    else:
        assert (got == expected).all()


def test_stim_experiment_repr_is_one_line(tmp_path):
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated("repetition_code:memory", distance=5, rounds=5)
    text = repr(kelvane.write_stim_experiment(circuit, 2000, tmp_path / "e.kvlx", seed=1))
    assert "\n" not in text and len(text) < 200 and "shots=2000" in text and "6 rounds x 4 ancillas" in text
