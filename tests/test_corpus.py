"""The compatibility corpus: files written by an earlier build must read and decode exactly so.

``tests/corpus/make_corpus.py`` wrote the files and their expectations once; this module only
reads them. A failure here means a change broke a format that is already in use: add a new
format or image version instead of changing how today's files read.
"""

from __future__ import annotations

import json
import pickle
import warnings
from pathlib import Path

import numpy as np
import pytest

import kelvane

CORPUS = Path(__file__).resolve().parent / "corpus"
KVLX_FILES = sorted(p.stem for p in (CORPUS / "kvlx").glob("*.kvlx"))
MODELS = ["surface_d3", "hand"]
STREAM_DECODE_MODES = {
    "per_shot": dict(per_shot=True),
    "window": dict(window_depth=4),
    "committed": dict(commit=1, buffer=2),
}


def frame_record(f, decoding: bool) -> dict:
    """Every field a SyndromeFrame shows, in JSON types (the decoder's flips only when decoding)."""
    d = f.to_dict()
    events = f.to_numpy_detector_events()
    assert np.array_equal(d.pop("detector_events"), events)
    assert f.to_numpy_meas_results().tobytes() == f.meas_results()
    record = {**d, "fired": np.flatnonzero(events).tolist(), "meas_results": f.meas_results().hex(),
              "source_observable_flips": f.source_observable_flips, "shot_incomplete": f.shot_incomplete}
    if not decoding:
        return record
    try:
        decoded = f.observable_flips
    except kelvane.KelvaneError:  # a frame that carries no prediction
        decoded = None
    return {"frame_id": f.frame_id, "source_observable_flips": f.source_observable_flips,
            "decoded_flips": decoded, "shot_incomplete": f.shot_incomplete}


def stream_trace(path, **decoder):
    """What iterating a stream over ``path`` yields: frames (with the warnings they raised) and
    errors, each with the stream's ``skipped_bytes`` after it, up to the end or an error repeated at once (the stream is stuck)."""
    out = []
    with kelvane.open(str(path), **decoder) if decoder else kelvane.KelvaneStream(str(path)) as s:
        for _ in range(10_000):
            try:
                with warnings.catch_warnings(record=True) as warned:
                    warnings.simplefilter("always")
                    item = {"frame": frame_record(next(s), bool(decoder))}
                if warned:
                    item["warnings"] = [str(w.message) for w in warned]
            except StopIteration:
                out.append({"end": True, "skipped_bytes": s.skipped_bytes, "incomplete_shots": s.incomplete_shots})
                return out
            except OSError as e:
                item = {"error": str(e), "type": type(e).__name__}
            item["skipped_bytes"] = s.skipped_bytes
            out.append(item)
            if "error" in item and len(out) > 1 and out[-2].get("error") == item["error"]:
                return out
    raise AssertionError("the stream did not end")


def batch_view(trace):
    """The frames and errors of a trace as read_batch shows them."""
    out = []
    for item in trace:
        if "frame" in item:
            f = item["frame"]
            out.append((f["frame_id"], f["round"], f["timestamp_ns"], f["ancilla_count"], f["fired"],
                        f["source_observable_flips"]))
        elif "error" in item:
            out.append(item["error"])
    return out


def batch_trace(path, size):
    out = []
    with kelvane.KelvaneStream(str(path)) as s:
        for _ in range(10_000):
            try:
                b = s.read_batch(size)
            except OSError as e:
                out.append(str(e))
                if len(out) > 1 and out[-2] == out[-1]:
                    return out
                continue
            if len(b) == 0:
                return out
            for i in range(len(b)):
                out.append((int(b.frame_ids[i]), int(b.rounds[i]), int(b.timestamps_ns[i]), b.detector_events.shape[1],
                            np.flatnonzero(b.detector_events[i]).tolist(),
                            int(b.observable_flips[i]) if b.has_observable_flips[i] else None))
    raise AssertionError("read_batch did not end")


def assert_trace(got, expected):
    """Each stored field must read the same; fields added later are not compared."""
    assert len(got) == len(expected), (got, expected)
    for g, e in zip(got, expected):
        if "frame" in e:
            assert "frame" in g, (g, e)
            assert {k: g["frame"].get(k) for k in e["frame"]} == e["frame"]
        assert {k: g.get(k) for k in e if k != "frame"} == {k: v for k, v in e.items() if k != "frame"}


def kvlx_expectations() -> dict:
    return json.loads((CORPUS / "kvlx.json").read_text())


@pytest.mark.parametrize("name", KVLX_FILES)
def test_kvlx_file_reads_as_stored(name):
    path = CORPUS / "kvlx" / f"{name}.kvlx"
    expected = kvlx_expectations()[name]["trace"]
    assert_trace(json.loads(json.dumps(stream_trace(path))), expected)
    for size in (1, 1000):
        assert [tuple(x) if isinstance(x, list) else x for x in batch_trace(path, size)] == \
            [tuple(x) if isinstance(x, tuple) else x for x in batch_view(expected)]


def test_kvlx_corpus_covers_every_section_and_error():
    assert sorted(kvlx_expectations()) == KVLX_FILES  # every file committed, every file expected
    traces = [c["trace"] for c in kvlx_expectations().values()]
    frames = [i["frame"] for t in traces for i in t if "frame" in i]
    errors = {i["error"].split(":")[0] for t in traces for i in t if "error" in i}
    assert {f["code_type"] for f in frames} >= {0, 1, 2, 3, 4, 5, 6, 7, 8, 42, 255}
    assert len(errors) >= 6 and len(frames) > 100


@pytest.mark.parametrize("name", MODELS)
def test_graph_images_and_pickles_decode_as_stored(name):
    stored = np.load(CORPUS / "decode" / f"{name}.npz")
    shots = np.unpackbits(stored["shots"], axis=1, bitorder="little", count=int(stored["num_detectors"])).astype(bool)
    model = pickle.loads((CORPUS / "decode" / f"{name}.dem.pickle").read_bytes())
    graph = kelvane.SpacetimeGraph.from_bytes((CORPUS / "decode" / f"{name}.graph").read_bytes())
    assert model == kelvane.DetectorErrorModel.parse(model.to_text())
    assert pickle.loads((CORPUS / "decode" / f"{name}.graph.pickle").read_bytes()) == graph
    assert [model.detector_count, model.observable_count, model.error_count,
            graph.node_count, graph.edge_count, graph.boundary_node] == stored["counts"].tolist()
    for g in (graph, model.to_graph()):
        predictions, valid = g.decode_batch(shots, return_valid=True)
        assert np.array_equal(predictions, stored["predictions"]) and np.array_equal(valid, stored["valid"])
    if "sliding" in stored:
        assert np.array_equal(graph.decode_sliding(shots, commit=1, buffer=1), stored["sliding"])
    singles = [graph.decode(s) for s in shots[: len(stored["single_flips"])]]
    assert [r.observable_flips for r in singles] == stored["single_flips"].tolist()
    assert [r.confidence for r in singles] == stored["single_confidence"].tolist()


@pytest.mark.parametrize("mode", list(STREAM_DECODE_MODES))
def test_streamed_decoding_predicts_as_stored(mode):
    d = CORPUS / "decode"
    expected = json.loads((d / "repetition_d3.json").read_text())[mode]
    got = stream_trace(d / "repetition_d3.kvlx", decoder=str(d / "repetition_d3.dem"),
                       layout=np.load(d / "repetition_d3.layout.npy"), **STREAM_DECODE_MODES[mode])
    assert_trace(json.loads(json.dumps(got)), expected)
