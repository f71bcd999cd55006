"""kelvane.convert: KVLX to and from Stim's shot formats, checked against Stim's own reader."""

import numpy as np
import pytest
import stim

import kelvane
from kelvane.kvlx import KvlxWriter



def layout_for(detectors):
    """Rounds of 4 ancillas holding detectors 0.. in order, with a gap first and at the end."""
    lay = np.full(((detectors + 4) // 4, 4), -1)
    lay.flat[1 : detectors + 1] = np.arange(detectors)
    return lay


@pytest.mark.parametrize("fmt", ["01", "b8", "r8", "dets"])
@pytest.mark.parametrize("with_layout", [False, True])
@pytest.mark.parametrize("detectors", [11, 64])
def test_round_trips_are_bit_exact(tmp_path, fmt, with_layout, detectors):
    layout = layout_for(detectors) if with_layout else None
    rng = np.random.default_rng(detectors)
    shots = rng.random((37, detectors)) < 0.15
    shots[3] = True
    stim_path, kvlx_path, back = tmp_path / f"a.{fmt}", tmp_path / "a.kvlx", tmp_path / f"b.{fmt}"
    stim.write_shot_data_file(data=shots, path=str(stim_path), format=fmt, num_detectors=detectors)

    assert kelvane.convert(stim_path, kvlx_path, num_detectors=detectors, layout=layout) == 37
    assert kelvane.convert(kvlx_path, back, num_detectors=detectors, layout=layout) == 37
    assert back.read_bytes() == stim_path.read_bytes()
    read = stim.read_shot_data_file(path=str(back), format=fmt, num_detectors=detectors)
    assert (read == shots).all()

    direct = tmp_path / "direct.kvlx"
    with KvlxWriter(direct) as w:
        w.write_shots(shots, layout=layout)
    assert direct.read_bytes() == kvlx_path.read_bytes()


def test_01_counts_its_columns_and_refusals(tmp_path):
    shots = np.eye(5, dtype=bool)
    stim.write_shot_data_file(data=shots, path=str(tmp_path / "a.01"), format="01", num_detectors=5)
    kelvane.convert(tmp_path / "a.01", tmp_path / "a.kvlx")
    kelvane.convert(tmp_path / "a.kvlx", tmp_path / "a.b8")
    assert (stim.read_shot_data_file(path=str(tmp_path / "a.b8"), format="b8", num_detectors=5) == shots).all()
    with pytest.raises(ValueError, match="format"):
        kelvane.convert(tmp_path / "a.kvlx", tmp_path / "a.csv")
    with pytest.raises(ValueError, match="num_detectors"):
        kelvane.convert(tmp_path / "a.b8", tmp_path / "b.kvlx")
    with pytest.raises(ValueError, match="layout"):
        kelvane.convert(tmp_path / "a.kvlx", tmp_path / "c.b8", num_detectors=7)
    with pytest.raises(ValueError, match="whole number"):
        kelvane.convert(tmp_path / "a.kvlx", tmp_path / "c.b8", layout=np.arange(10).reshape(2, 5))
