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
