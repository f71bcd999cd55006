"""A decoded stream that learns its error model as it runs: `kelvane.open(..., learn_every=N)`."""

from __future__ import annotations

import weakref
from typing import Any, Iterator

from _kelvane import KelvaneStream, SyndromeFrame
from kelvane._wrapper import StreamWrapper
from kelvane.detector_rates import _stim_model
from kelvane.learn import estimate_from_counts, model_terms


class LearningStream(StreamWrapper):
    """A decoded stream whose model is re-learned from every `learn_every` shots it decodes.

    The stream gathers each shot's detection events in C++ (frame round ``r`` fills layout row
    ``r % rounds``; the frame of the last row ends a shot; in an endless stream, runs of as many
    rounds as the layout has rows stand for shots; shots cut short are left out, as they are
    left undecoded) and counts them over the detector pairs the estimator needs. After every `learn_every` shots, on the frame that ends the last of them,
    the given model's probabilities are re-estimated from those shots' counts
    (`kelvane.learn.estimate_from_counts`, always from the given model, so estimates do not
    compound) and swapped in as ``KelvaneStream.swap_model`` does, from within the stream's own
    iteration (no Python runs between frames otherwise), without stopping the stream:

    - shot by shot, the next shot is decoded with the estimate (no frame is decoded twice);
    - in the sliding schedule (``window_depth``), the next frame's decode, over rounds received
      before the swap too;
    - in windows (``commit``/``buffer``), every window decoded after the swap: those starting at
      the first round not yet committed. The estimate's weights go onto the given model's rounds,
      each repeating round taking the mean probability over the rounds it stands for.

    With `memory` (M shots, at least `learn_every`; None: `learn_every`) the estimate is made
    from the counts of every block so far, block k back weighted ``(1 - learn_every / M) ** k``
    (about the last M shots: a shrinkage of each estimate toward the ones before it), so that
    frequent swaps do not cost precision.

    ``model_swaps`` counts the swaps, ``model`` is the model decoding now (the given one until
    the first swap, as a ``stim.DetectorErrorModel``), ``given_model`` the one passed in. The
    stream's counters run on across swaps. Everything else is the wrapped stream's (`stream`).
    """

    def __init__(self, stream: KelvaneStream, dem: Any, learn_every: int, *, memory: int | None = None) -> None:
        if learn_every <= 0:
            raise ValueError(f"learn_every must be a positive number of shots, got {learn_every}")
        if memory is not None and memory < learn_every:
            raise ValueError(f"learn_memory must be at least learn_every ({learn_every}) shots, got {memory}")
        self.learn_memory = learn_every if memory is None else memory
        self._keep = 1.0 - learn_every / self.learn_memory  # an earlier block's weight, per block of age
        self._counts: tuple[float, Any, Any] = (0.0, 0.0, 0.0)
        self.stream = stream
        self.given_model = _stim_model(dem)
        self.model = self.given_model
        self.learn_every = learn_every
        self._terms = model_terms(self.given_model)
        # The stream calls back on the frame that completes a block and swaps in what it gets, so
        # frames go by without Python in between; the callback holds this object weakly (the
        # stream is no garbage-collected container, so a cycle through it would never be freed).
        learner = weakref.ref(self)

        def on_block(shots: int, fired: Any, both_fired: Any) -> Any:
            this = learner()
            return None if this is None else this._learn(shots, fired, both_fired)

        stream._gather_for_learning(self._terms.pairs, learn_every, on_block)

    def _learn(self, shots: int, fired: Any, both_fired: Any) -> Any:
        self._counts = tuple(self._keep * old + new  # type: ignore[assignment]
                             for old, new in zip(self._counts, (shots, fired, both_fired)))
        self.model = estimate_from_counts(self._terms, *self._counts)
        return self.model

    def __iter__(self) -> Iterator[SyndromeFrame]:
        return iter(self.stream)  # the native iterator: swaps happen inside it

    def __next__(self) -> SyndromeFrame:
        return next(self.stream)

    def drain(self, max_wait: float = 0.25) -> Any:
        """Refused: drain decodes in C++ without coming back between frames, so nothing would be
        re-learned; iterate the stream instead."""
        raise ValueError("a LearningStream re-learns its model between frames it hands out; drain() decodes "
                         "without handing them out: iterate the stream instead")

    @property
    def model_swaps(self) -> int:
        return int(self.stream.model_swaps)

    def __repr__(self) -> str:
        return f"LearningStream(learn_every={self.learn_every}, model_swaps={self.model_swaps})"
