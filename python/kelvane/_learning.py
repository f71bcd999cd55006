"""A decoded stream that learns its error model as it runs: `kelvane.open(..., learn_every=N)`."""

from __future__ import annotations

from typing import Any, Iterator

import numpy as np

from _kelvane import KelvaneStream, SyndromeFrame, _check_layout
from kelvane._wrapper import StreamWrapper
from kelvane.detector_rates import _stim_model
from kelvane.learn import count, estimate_from_counts, model_terms


class LearningStream(StreamWrapper):
    """A stream decoded shot by shot whose decoder is re-learned every `learn_every` shots.

    Each shot's detection events are gathered from its frames through the layout (frame round
    ``r`` fills row ``r % rounds``; a shot ends on the frame of the last row). After every
    `learn_every` complete shots, the given model's probabilities are re-estimated from those
    shots (`kelvane.learn.estimate_error_model`, always from the given model, so estimates do not
    compound) and the stream's decoder is replaced with one built from the estimate, between
    that shot's last frame and the next shot's first: the stream does not stop and no frame is
    decoded twice. ``model_swaps`` counts the replacements, ``model`` is the model decoding now
    (the given one until the first swap, as a ``stim.DetectorErrorModel``), ``given_model`` the
    one passed in. The stream's counters (``incomplete_shots``, ``missing_rounds``,
    ``unsatisfiable_shots``) are totals over every decoder it has had. Everything else is the
    wrapped stream's (`stream`).
    """

    def __init__(self, stream: KelvaneStream, dem: Any, learn_every: int, *, layout: Any,
                 decoder_options: dict[str, Any]) -> None:
        if learn_every <= 0:
            raise ValueError(f"learn_every must be a positive number of shots, got {learn_every}")
        if layout is None:
            raise ValueError("learn_every needs a layout (layout=, or a stream that stores one) to gather each "
                             "shot's detection events")
        self.stream = stream
        self.given_model = _stim_model(dem)
        self.model = self.given_model
        self.learn_every = learn_every
        self.model_swaps = 0
        self._terms = model_terms(self.given_model)
        self._layout = _check_layout(layout, self.given_model.num_detectors)
        self._options = decoder_options
        self._block = np.zeros((learn_every, self.given_model.num_detectors), dtype=np.uint8)
        self._shots = 0  # complete shots in the current block
        self._retired = {"incomplete_shots": 0, "missing_rounds": 0, "unsatisfiable_shots": 0}

    def __iter__(self) -> Iterator[SyndromeFrame]:
        return self

    def __next__(self) -> SyndromeFrame:
        frame = next(self.stream)
        rounds = self._layout.shape[0]
        row = frame.round % rounds
        slots = self._layout[row]
        events = frame.to_numpy_detector_events()
        width = min(len(slots), len(events))
        used = slots[:width] >= 0
        shot = self._block[self._shots]
        if row == 0:
            shot[:] = 0
        shot[slots[:width][used]] = events[:width][used]
        if row == rounds - 1:
            self._shots += 1
            if self._shots == self.learn_every:
                self._swap()
        return frame

    def _swap(self) -> None:
        counter = count(self._terms, self._block)
        learned = estimate_from_counts(self._terms, counter.shots, counter.fired, counter.both_fired)
        for name in self._retired:
            self._retired[name] += getattr(self.stream, name)
        self.stream.set_decoder(learned, **self._options)
        self.model = learned
        self.model_swaps += 1
        self._shots = 0

    @property
    def incomplete_shots(self) -> int:
        return self._retired["incomplete_shots"] + self.stream.incomplete_shots

    @property
    def missing_rounds(self) -> int:
        return self._retired["missing_rounds"] + self.stream.missing_rounds

    @property
    def unsatisfiable_shots(self) -> int:
        return self._retired["unsatisfiable_shots"] + self.stream.unsatisfiable_shots

    def __repr__(self) -> str:
        return f"LearningStream(learn_every={self.learn_every}, model_swaps={self.model_swaps})"
