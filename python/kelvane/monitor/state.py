"""What the monitor knows about a stream: counts gathered by the reading thread, and snapshots.

`StreamMonitor.run` reads and decodes a stream (``kelvane.open(..., decoder=...)``) in the
calling thread, which is meant to be a thread of its own: it keeps detection-event counts per
(round, slot) of the layout, a drift series, throughput, damaged frames and, when the frames
carry the truth, the logical error count and its course over time. `StreamMonitor.snapshot`
copies what the page shows into plain JSON-ready values. Series are placed in time: the frames'
own acquisition timestamps when they advance, else the moment the monitor read each frame. The reader only ever takes a lock for the moment it adds a block
of frames to the counts; snapshots are taken on the reader's lock at whatever interval the
caller chooses, so neither the page nor its clients can make the reader wait longer than that.
"""

from __future__ import annotations

import collections
import threading
import time
import warnings
from typing import Any, Literal

import numpy as np

from kelvane.detector_rates import (_rank, _stim_model, detector_coordinates, expected_detector_rates,
                                    pooled_standard_errors_apart, standard_errors_apart)
from kelvane.stats import wilson_interval

# Frames gathered before they are added to the counts in one NumPy step.
_BLOCK_FRAMES = 4096
# Points kept in a time series; past it, neighbouring points are merged in pairs.
_SERIES_POINTS = 512
# Commit latencies kept for the quantiles the page shows (the most recent ones).
_LATENCIES_KEPT = 10_000
# Ancillas listed in a snapshot's ranking, furthest from the model first.
_ANCILLAS_LISTED = 10


def _clip(sigma: np.ndarray) -> np.ndarray:
    """Distances with infinities (a detector the model says never fires, firing) as +-1e9, so
    they survive JSON and rank first."""
    return np.clip(sigma, -1e9, 1e9)


def _finite(v: float) -> float | None:
    """A distance for JSON: rounded, infinities clipped, NaN as None."""
    return None if np.isnan(v) else round(float(np.clip(v, -1e9, 1e9)), 2)


def _json_list(a: np.ndarray, digits: int = 6) -> Any:
    """A float array as nested lists, NaN and infinities as None (JSON has neither)."""
    out = np.round(np.asarray(a, dtype=np.float64), digits).astype(object)
    out[~np.isfinite(np.asarray(a, dtype=np.float64))] = None
    return out.tolist()


class _Series:
    """Buckets of `width` consecutive items (frames, or scored shots): per bucket, the sum of each
    of `counts` and the latest of each of `clocks` (the times of its items)."""

    def __init__(self, width: int, counts: tuple[str, ...], clocks: tuple[str, ...] = ("read", "stamp")) -> None:
        self.width = width
        self.sums: dict[str, list[int]] = {name: [] for name in ("items", *counts)}
        self.times: dict[str, list[float]] = {name: [] for name in clocks}

    def __len__(self) -> int:
        return len(self.sums["items"])

    def add(self, start: int, times: dict[str, np.ndarray], **counts: np.ndarray) -> None:
        """Adds items numbered `start`.. (their counts and times) to their buckets."""
        n = len(next(iter(times.values())))
        if n == 0:
            return
        bucket = (start + np.arange(n)) // self.width
        first = int(bucket[0])
        span = int(bucket[-1]) - first + 1
        while len(self) < first + span:
            for v in self.sums.values():
                v.append(0)
            for t in self.times.values():
                t.append(-np.inf)
        local = bucket - first
        sums = {"items": np.bincount(local, minlength=span)}
        sums.update({name: np.bincount(local, weights=v, minlength=span) for name, v in counts.items()})
        for name, v in sums.items():
            target = self.sums[name]
            for i in range(span):
                target[first + i] += int(round(v[i]))
        for name, t in times.items():
            latest = np.full(span, -np.inf)
            np.maximum.at(latest, local, t)
            target_t = self.times[name]
            for i in range(span):
                target_t[first + i] = max(target_t[first + i], float(latest[i]))
        if len(self) > _SERIES_POINTS:  # merge pairs: half the points, twice the width
            for name, v in self.sums.items():
                self.sums[name] = [sum(v[i : i + 2]) for i in range(0, len(v), 2)]
            for name, t in self.times.items():
                self.times[name] = [max(t[i : i + 2]) for i in range(0, len(t), 2)]
            self.width *= 2

    def copy(self) -> tuple[dict[str, list[int]], dict[str, list[float]], int]:
        return {k: list(v) for k, v in self.sums.items()}, {k: list(v) for k, v in self.times.items()}, self.width


class StreamMonitor:
    """Detection-event rates, throughput and decoding results of one stream, as it is read.

    `dem` is the detector error model (stim, kelvane, text or a path), by default the one a
    self-describing file carries (``KvlxWriter.write_shots(..., dem=...)``); `layout` the rounds
    x slots detector layout (an array or a ``.npy`` path), by default the file's stored layout or
    else one derived from the model's detector coordinates (`kelvane.layout_from_stim`). Shots are decoded one at a time
    (``per_shot=True``), in windows of `commit` + `buffer` rounds when those are given, by `method`
    (``"union-find"`` or ``"matching"``, as ``kelvane.open`` takes it).
    Detectors `sigma` or more standard errors from the model's rate are flagged, over the whole
    stream and over about the last `recent_shots` shots (whole blocks of frames as read); the
    logical error rate is also shown over windows of about `recent_shots` scored shots.
    """

    def __init__(self, source: str, dem: Any = None, layout: Any = None, *, commit: int | None = None,
                 buffer: int | None = None, sigma: float = 5.0, bucket_shots: int = 100,
                 recent_shots: int = 1000, method: Literal["union-find", "matching"] = "union-find") -> None:
        from kelvane import _describe, kvlx
        from kelvane._convert import as_layout
        from kelvane.experiment import layout_from_stim

        self.source = str(source)
        path = _describe.local_file(source)
        stored = kvlx.read_description(path) if path is not None and (dem is None or layout is None) else None
        if dem is None:
            if stored is None or stored.dem_text is None:
                raise ValueError(f"{self.source} carries no detector error model: give one")
            dem = stored.dem_text
        self.model = _stim_model(dem)
        # The limits decoding checks, before Stim is asked for every detector's coordinates and
        # rate: a few bytes of model may name a billion detectors.
        from _kelvane import SpacetimeGraph

        SpacetimeGraph.from_detector_error_model(self.model)
        if layout is None and stored is not None and stored.layout is not None:
            layout = stored.layout
        self.layout = as_layout(layout) if layout is not None else layout_from_stim(self.model)
        self.commit, self.buffer = commit, buffer
        self.method = method
        self.sigma_threshold = sigma
        rounds, slots = self.layout.shape
        coords = detector_coordinates(self.model)
        expected = expected_detector_rates(self.model)
        present = self.layout >= 0
        safe = np.where(present, self.layout, 0)
        self.expected = np.where(present, expected[safe], np.nan)
        # A slot sits where its detectors are: their spatial coordinates (all but the time).
        self.x = np.zeros(slots)
        self.y = np.zeros(slots)
        for a in range(slots):
            d = self.layout[present[:, a], a]
            if len(d) and coords.shape[1] >= 2:
                self.x[a] = coords[d[0], 0]
                self.y[a] = coords[d[0], 1] if coords.shape[1] >= 3 else 0.0
            else:
                self.x[a] = a
        self._present = present
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._started = time.monotonic()
        self.counts = np.zeros((rounds, slots), dtype=np.int64)
        self.frames_per_round = np.zeros(rounds, dtype=np.int64)
        self.recent_shots = recent_shots
        self._recent: collections.deque[tuple[np.ndarray, np.ndarray]] = collections.deque()
        self._recent_counts = np.zeros((rounds, slots), dtype=np.int64)
        self._recent_frames = np.zeros(rounds, dtype=np.int64)
        self.frames = 0
        self.shots = 0
        self.damaged = 0
        self.truncated = 0
        self.skipped_bytes = 0
        self.incomplete_shots = 0
        self.scored = 0
        self.logical_errors = 0
        self.commits = 0
        self.latencies: list[float] = []
        self.window_stats: dict[str, Any] | None = None
        self.finished = False
        self.error: str | None = None
        self.drift = _Series(max(1, bucket_shots) * rounds, ("events", "slots"))
        self.ler_series = _Series(max(1, bucket_shots), ("errors",))
        self.ler_series_items = 0
        # The frames' acquisition timestamps: the first one, and whether any differs from it.
        self._first_stamp: int | None = None
        self._flushed_at = 0.0  # seconds since the start, at the reader's last flush
        self._stamps_advance = False
        # (seconds since the start, frames, shots) at each flush of the reader.
        self._throughput: list[tuple[float, int, int]] = [(0.0, 0, 0)]

    # -- the reading thread -------------------------------------------------------------------

    def stop(self) -> None:
        """Asks `run` to return at its next wait (within a fraction of a second)."""
        self._stop.set()

    def run(self, follow: bool = True, poll: float = 0.05) -> None:
        """Reads and decodes the stream until it ends or `stop` is called.

        A file is followed as it grows when `follow` is true (its end is polled every `poll`
        seconds); without it, or for a TCP stream, the end of the data ends the run.
        """
        import kelvane

        warnings.filterwarnings("ignore", message="shot cut short", category=RuntimeWarning)
        try:
            with kelvane.open(self.source, decoder=self.model, layout=self.layout, per_shot=True,
                              commit=self.commit, buffer=self.buffer, method=self.method,
                              follow=follow and not self.source.startswith("tcp://"),
                              timeout=0.25 if self.source.startswith("tcp://") else None) as stream:
                self._read(stream, follow, poll)
        except Exception as e:  # noqa: BLE001 - shown on the page and re-raised
            self.error = f"{type(e).__name__}: {e}"
            raise
        finally:
            self.finished = True

    def _read(self, stream: Any, follow: bool, poll: float) -> None:
        """The reading loop of `run` over an open stream."""
        import kelvane

        tcp = self.source.startswith("tcp://")
        rounds, slots = self.layout.shape
        events: list[np.ndarray] = []  # the frames gathered since the last flush
        frame_rounds: list[int] = []
        stamps: list[int] = []  # the gathered frames' acquisition timestamps
        scored: list[tuple[int, int]] = []  # each scored shot: its last frame's place in `events`, wrong or not
        read_at: list[float] = []  # windowed decoding: when each uncommitted frame was read
        last_flush = time.monotonic()
        while True:
            # Every 64 frames (and at every wait) the stop flag and the flush deadline are checked.
            if len(events) % 64 == 0:
                if self._stop.is_set():
                    break
                if len(events) >= _BLOCK_FRAMES or time.monotonic() - last_flush > 0.05:
                    self._flush(events, frame_rounds, stamps, scored, stream)
                    last_flush = time.monotonic()
            try:
                frame = next(stream)
            except StopIteration:
                self._flush(events, frame_rounds, stamps, scored, stream)
                last_flush = time.monotonic()
                if tcp or not follow or self._stop.is_set():
                    break
                time.sleep(poll)
                continue
            except TimeoutError:
                self._flush(events, frame_rounds, stamps, scored, stream)
                continue
            except (OSError, ValueError, kelvane.KelvaneError) as e:
                with self._lock:
                    if "payload length" in str(e).lower():
                        self.truncated += 1  # data ending inside a frame: the rest may come
                    else:
                        self.damaged += 1
                continue
            ev = frame.to_numpy_detector_events()
            if len(ev) != slots:
                with self._lock:
                    self.damaged += 1
                continue
            events.append(ev)
            frame_rounds.append(frame.round)
            stamps.append(frame.timestamp_ns)
            last = frame.round == rounds - 1
            prediction = None
            if last or self.commit is not None:  # shot by shot, only a shot's last frame has one
                try:
                    prediction = frame.observable_flips
                except kelvane.KelvaneError:
                    pass
            truth = frame.source_observable_flips if last else None
            if truth is not None and prediction is not None:
                self.scored += 1
                self.logical_errors += int(prediction != truth)
                scored.append((len(events) - 1, int(prediction != truth)))
            if self.commit is not None:
                read_at.append(time.monotonic())
                if prediction is not None:
                    # The frame closed a commit step: the rounds the decoder no longer holds
                    # are committed, and the oldest of them waited longest.
                    held = stream.decoder_stats()["held_rounds"]
                    if len(read_at) > held:
                        self.latencies.append(read_at[-1] - read_at[0])
                        del read_at[: len(read_at) - held]
                        self.commits += 1
                        if len(self.latencies) > 2 * _LATENCIES_KEPT:
                            del self.latencies[:-_LATENCIES_KEPT]
        self._flush(events, frame_rounds, stamps, scored, stream)

    def _clocks(self, n: int, stamps: list[int]) -> dict[str, np.ndarray]:
        """The times of `n` frames read since the last flush: seconds since the monitor started
        (spread evenly since the last flush: the reader does not ask the clock every frame) and
        seconds since the first frame's acquisition timestamp."""
        now = time.monotonic() - self._started
        read = np.linspace(self._flushed_at, now, n + 1)[1:]
        self._flushed_at = now
        if stamps and self._first_stamp is None:
            self._first_stamp = stamps[0]
        first = self._first_stamp or 0
        raw = np.array(stamps, dtype=np.uint64)
        if not self._stamps_advance and (raw != np.uint64(first)).any():
            self._stamps_advance = True
        return dict(read=read, stamp=(raw.astype(np.float64) - float(first)) / 1e9)

    def _flush(self, events: list[np.ndarray], frame_rounds: list[int], stamps: list[int],
               scored: list[tuple[int, int]], stream: Any) -> None:
        """Adds the gathered frames (and scored shots) to the counts and empties the lists."""
        rounds = self.layout.shape[0]
        n = len(events)
        ev = np.stack(events) if n else np.zeros((0, self.layout.shape[1]), dtype=np.uint8)
        r = np.array(frame_rounds, dtype=np.int64) % rounds
        live = self._present[r]
        fired = (ev.astype(bool) & live).sum(axis=1)
        with self._lock:
            # Per-round sums as one product: (rounds x frames one-hot) @ (frames x slots).
            block = np.rint(np.eye(rounds, dtype=np.float64)[:, r] @ ev).astype(np.int64)
            block_frames = np.bincount(r, minlength=rounds)
            self.counts += block
            self.frames_per_round += block_frames
            # The recent view: blocks are dropped from its front while the rest still cover
            # `recent_shots` shots.
            self._recent.append((block, block_frames))
            self._recent_counts += block
            self._recent_frames += block_frames
            while len(self._recent) > 1 and self._recent_frames.max() - self._recent[0][1].max() >= self.recent_shots:
                old_block, old_frames = self._recent.popleft()
                self._recent_counts -= old_block
                self._recent_frames -= old_frames
            clocks = self._clocks(n, stamps)
            self.drift.add(self.frames, clocks, events=fired, slots=live.sum(axis=1))
            where, wrong = (np.array(v, dtype=np.int64) for v in zip(*scored)) if scored else (np.zeros(0, np.int64),) * 2
            self.ler_series.add(self.ler_series_items, {k: v[where] for k, v in clocks.items()}, errors=wrong)
            self.ler_series_items += len(scored)
            self.frames += n
            self.shots += int((np.array(frame_rounds, dtype=np.int64) == 0).sum())
            now = time.monotonic() - self._started
            if n or now - self._throughput[-1][0] >= 0.25:  # an idle stream shows as 0 rounds/s, in steps
                self._throughput.append((now, self.frames, self.shots))
            if len(self._throughput) > 2 * _SERIES_POINTS:  # every other sample, the first and last kept
                self._throughput[1:-1] = self._throughput[2:-1:2]
            self.skipped_bytes = stream.skipped_bytes
            self.incomplete_shots = stream.incomplete_shots
            # Asked here, by the reading thread: the stream serves one thread at a time.
            self.window_stats = stream.decoder_stats()
        events.clear()
        frame_rounds.clear()
        stamps.clear()
        scored.clear()

    # -- snapshots ----------------------------------------------------------------------------

    def _rates(self, counts: np.ndarray, per_round: np.ndarray) -> dict[str, Any]:
        """Observed rates and their distance from the model for (rounds x slots) event counts
        over `per_round` frames of each round: per detector, per slot with rounds pooled, and
        the ancillas (slots) furthest from the model, rounds pooled, with each one's worst round."""
        n = per_round[:, None].astype(np.float64)
        present = self._present
        e = np.nan_to_num(self.expected)
        with np.errstate(invalid="ignore", divide="ignore"):
            rate = np.where(present & (n > 0), counts / n, np.nan)
            sigma = np.where(present & (n > 0), standard_errors_apart(e, counts, n), np.nan)
        frames = np.where(present, n, 0)
        mean_expected, mean_rate, mean_sigma = pooled_standard_errors_apart(e, np.where(present, counts, 0), frames)
        magnitude = np.where(np.isnan(sigma), -1.0, np.abs(sigma))
        worst_round = np.argmax(magnitude, axis=0)
        ancillas = []
        for a in _rank(mean_sigma, np.arange(len(mean_sigma)))[:_ANCILLAS_LISTED]:
            if not np.isfinite(mean_rate[a]):
                continue
            r = int(worst_round[a])
            ancillas.append(dict(slot=int(a), x=float(self.x[a]), y=float(self.y[a]), rounds=int(present[:, a].sum()),
                                 expected=round(float(mean_expected[a]), 6), observed=round(float(mean_rate[a]), 6),
                                 sigma=_finite(mean_sigma[a]), worst_round=r, worst_detector=int(self.layout[r, a]),
                                 worst_sigma=_finite(sigma[r, a])))
        return dict(rates=_json_list(rate), sigma=_json_list(_clip(sigma), 2), mean_rates=_json_list(mean_rate),
                    mean_expected=_json_list(mean_expected), mean_sigma=_json_list(_clip(mean_sigma), 2),
                    ancillas=ancillas)

    def _clock(self) -> str:
        """The clock series are placed on: the frames' timestamps when they advance."""
        return "stamp" if self._stamps_advance else "read"

    def _ler_series(self, sums: dict[str, list[int]], times: dict[str, list[float]], width: int) -> dict[str, Any]:
        """The logical error rate over windows of about `recent_shots` scored shots ending at each
        bucket (with its 95% Wilson interval), and the cumulative rate."""
        shots = np.array(sums["items"], dtype=np.int64)
        errors = np.array(sums["errors"], dtype=np.int64)
        k = max(1, int(round(self.recent_shots / width)))
        if not len(shots):  # shots scored by the reader but not yet added to the series
            return dict(t=[], rate=[], low=[], high=[], cumulative=[], window_shots=k * width)
        window_shots = np.convolve(shots, np.ones(k, dtype=np.int64))[: len(shots)]
        window_errors = np.convolve(errors, np.ones(k, dtype=np.int64))[: len(errors)]
        keep = shots > 0
        bounds = [wilson_interval(int(x), int(m)) for x, m in zip(window_errors[keep], window_shots[keep])]
        with np.errstate(invalid="ignore", divide="ignore"):
            rate = window_errors[keep] / window_shots[keep]
            cumulative = np.cumsum(errors)[keep] / np.cumsum(shots)[keep]
        return dict(t=_json_list(np.array(times[self._clock()])[keep], 4), rate=_json_list(rate, 8),
                    low=_json_list(np.array([b[0] for b in bounds]), 8),
                    high=_json_list(np.array([b[1] for b in bounds]), 8),
                    cumulative=_json_list(cumulative, 8), window_shots=k * width)

    def snapshot(self) -> dict[str, Any]:
        """Everything the page shows, as JSON-ready values (NaN as None)."""
        now = time.monotonic() - self._started
        with self._lock:
            counts = self.counts.copy()
            per_round = self.frames_per_round.copy()
            recent_counts = self._recent_counts.copy()
            recent_per_round = self._recent_frames.copy()
            drift = self.drift.copy()
            ler_series = self.ler_series.copy()
            throughput = list(self._throughput)
            frames, shots = self.frames, self.shots
            scored, logical_errors = self.scored, self.logical_errors
            latencies = np.array(self.latencies[-_LATENCIES_KEPT:])
            window_stats = self.window_stats
            status = dict(frames=frames, shots=shots, damaged_frames=self.damaged, truncated_reads=self.truncated,
                          skipped_bytes=self.skipped_bytes, incomplete_shots=self.incomplete_shots,
                          finished=self.finished, error=self.error)
        clock = self._clock()

        present = self._present
        t, f, s = (np.array(v, dtype=np.float64) for v in zip(*throughput))
        # Rates over steps of at least 1/50 of the time so far: the reader's samples come in
        # bursts (one per block it adds) that would show as alternating peaks and zeros.
        kept = [0]
        for i in range(1, len(t)):
            if t[i] - t[kept[-1]] >= t[-1] / 50 or i == len(t) - 1:
                kept.append(i)
        t, f, s = t[kept], f[kept], s[kept]
        dt = np.diff(t)
        with np.errstate(invalid="ignore", divide="ignore"):
            fps = np.where(dt > 0, np.diff(f) / dt, np.nan)
            sps = np.where(dt > 0, np.diff(s) / dt, np.nan)
        sums, times, _ = drift
        with np.errstate(invalid="ignore", divide="ignore"):
            drift_rate = np.array(sums["events"], dtype=np.float64) / np.array(sums["slots"], dtype=np.float64)
        overall_expected = float(np.nansum(self.expected * per_round[:, None]) / max(1, (present * per_round[:, None]).sum()))

        ler = None
        if scored:
            lo, hi = wilson_interval(logical_errors, scored)
            ler = dict(shots=scored, errors=logical_errors, rate=logical_errors / scored, low=lo, high=hi,
                       series=self._ler_series(*ler_series))
        decoder: dict[str, Any] = {"mode": "per shot"}
        if self.commit is not None:
            decoder = dict(mode=f"windows: commit {self.commit}, buffer {self.buffer or 0}", commits=self.commits)
            if window_stats:
                decoder.update(held_rounds=window_stats["held_rounds"],
                               rounds_per_second=window_stats["rounds_per_second"],
                               step_median_ms=window_stats["median_step_ns"] / 1e6,
                               step_p999_ms=window_stats["p999_step_ns"] / 1e6,
                               step_worst_ms=window_stats["worst_step_ns"] / 1e6)
            if len(latencies):
                decoder.update(latency_median_ms=float(np.median(latencies) * 1e3),
                               latency_p99_ms=float(np.quantile(latencies, 0.99) * 1e3),
                               latency_worst_ms=float(latencies.max() * 1e3))
        return dict(
            source=self.source, elapsed=round(now, 3), sigma_threshold=self.sigma_threshold, **status,
            lattice=dict(x=self.x.tolist(), y=self.y.tolist(), detectors=self.layout.tolist()),
            expected=_json_list(self.expected), whole=self._rates(counts, per_round),
            recent=dict(self._rates(recent_counts, recent_per_round), shots=int(recent_per_round.max(initial=0))),
            clock=clock,
            throughput=dict(t=_json_list(t[1:], 3), frames_per_s=_json_list(fps, 1), shots_per_s=_json_list(sps, 1)),
            drift=dict(t=_json_list(np.array(times[clock]), 4), rate=_json_list(drift_rate),
                       expected=overall_expected if per_round.any() else None),
            ler=ler, decoder=decoder)
