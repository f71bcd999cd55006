"""Stim experiments as KVLX streams: the frame layout of a Stim circuit and an experiment writer.

A stream carries one frame per round. `layout_from_stim` says which detector each frame bit is:

- detectors are grouped into rounds by their time, which is their last coordinate (Stim's
  repetition codes declare ``(x, t)``, surface codes ``(x, y, t)``); rounds are the distinct
  times in increasing order, and the final data-measurement round is a round like any other;
- ancilla slots are the distinct spatial coordinates (all but the last) in increasing
  lexicographic order, so every round has the same slots and a round with fewer detectors
  leaves some unused (-1).

``layout[r, a]`` is the detector of slot ``a`` in round ``r``, or -1. Save it with
``numpy.save("layout.npy", layout)``; ``set_decoder``/``kelvane.open`` take the array or the path.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np

from kelvane.kvlx import KvlxWriter

__all__ = ["layout_from_stim", "write_stim_experiment", "StimExperiment"]


def layout_from_stim(circuit: Any) -> np.ndarray:
    """The frame layout of a ``stim.Circuit`` (or ``stim.DetectorErrorModel``) as an int64 array.

    Shape (rounds, ancillas); entry ``[r, a]`` is a detector id or -1. Raises ValueError when a
    detector declares no coordinates or two detectors share a place and a time.
    """
    coords = circuit.get_detector_coordinates()
    n = circuit.num_detectors
    keys = []
    for d in range(n):
        c = coords.get(d, [])
        if len(c) == 0:
            raise ValueError(f"detector D{d} declares no coordinates; the layout needs its time as the last one")
        keys.append((tuple(c[:-1]), c[-1]))
    places = {p: i for i, p in enumerate(sorted({k[0] for k in keys}))}
    times = {t: i for i, t in enumerate(sorted({k[1] for k in keys}))}
    layout = np.full((len(times), len(places)), -1, dtype=np.int64)
    for d, (place, time) in enumerate(keys):
        r, a = times[time], places[place]
        if layout[r, a] >= 0:
            raise ValueError(f"detectors D{layout[r, a]} and D{d} share the coordinates {place} and time {time}")
        layout[r, a] = d
    return layout


@dataclass(repr=False)
class StimExperiment:
    """What `write_stim_experiment` wrote: enough to decode the file and score the decoder."""

    dem: Any  # stim.DetectorErrorModel, decomposed
    layout: np.ndarray  # (rounds, ancillas) int64, -1 for no detector
    detection_events: np.ndarray  # (shots, detectors) bool, as Stim sampled them
    observables: np.ndarray  # (shots, observables) bool
    path: str
    frames: int

    def __repr__(self) -> str:  # one line: the arrays are summarised by their shapes
        shots, detectors = self.detection_events.shape
        rounds, ancillas = self.layout.shape
        return (f"StimExperiment(path={self.path!r}, shots={shots}, detectors={detectors}, "
                f"observables={self.observables.shape[1]}, frames={self.frames}, "
                f"layout={rounds} rounds x {ancillas} ancillas)")


def write_stim_experiment(circuit: Any, shots: int, path: str | os.PathLike, *, seed: int | None = None,
                          code_type: int = 0, distance: int = 0) -> StimExperiment:
    """Sample `shots` shots of a ``stim.Circuit`` and write them to `path` as KVLX frames.

    One frame per round in the layout of `layout_from_stim` (``KvlxWriter.write_shots``: frame
    ids count up from 0, round r of each shot has ``round = r``); the last frame of each shot
    carries the true observable flips, and the stream describes itself (its first frame carries
    the layout and the decomposed model), so that ``kelvane.open(path, decoder=dem)`` decodes it
    shot by shot without being told the layout. Returns a `StimExperiment` with the decomposed detector error
    model, the layout and the sampled shots (as ``compile_detector_sampler(seed=seed).sample(
    shots, separate_observables=True)`` returns them), so that::

        exp = kelvane.write_stim_experiment(circuit, 10_000, "run.kvlx", seed=1)
        with kelvane.open("run.kvlx", decoder=exp.dem, layout=exp.layout, per_shot=True) as s:
            ...
    """
    dem = circuit.detector_error_model(decompose_errors=True)
    layout = layout_from_stim(circuit)
    dets, obs = circuit.compile_detector_sampler(seed=seed).sample(shots, separate_observables=True)
    path = os.fspath(path)
    with KvlxWriter(path) as writer:  # frames built with NumPy, a block of frames at a time
        writer.write_shots(dets, obs if obs.shape[1] else None, layout=layout, dem=dem,
                           qubit_count=min(circuit.num_qubits, 0xFFFF), code_type=code_type, distance=distance)
    return StimExperiment(dem=dem, layout=layout, detection_events=dets, observables=obs, path=path,
                          frames=shots * layout.shape[0])
