"""The ``kelvane`` command: inspect, convert, decode, replay and monitor KVLX files, run the demo,
plot a threshold and run the benchmark suite.

    python -m kelvane info run.kvlx [--dem model.dem [--layout layout.npy] [--per-round]]
    python -m kelvane convert run.kvlx shots.b8 [--num-detectors N] [--layout layout.npy] [--num-observables K [--obs-out obs.b8]]
    python -m kelvane decode run.kvlx --dem model.dem [--layout layout.npy | --circuit c.stim] --out p.b8
    python -m kelvane decode tcp://127.0.0.1:9000 --dem model.dem --commit 5 --buffer 5 --out tcp://127.0.0.1:9100
    python -m kelvane serve run.kvlx --port 9000 --rate 100000 [--live --clients 3]
    python -m kelvane monitor run.kvlx --dem model.dem [--layout layout.npy] [--port 0] [--report out.html]
    python -m kelvane demo
    python -m kelvane threshold --out threshold.png [--quick]
    python -m kelvane bench [--smoke] [--json bench.json] [--plot bench.png]
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import math
import os
import signal
import socket
import sys
import threading
import time
import warnings
from typing import Any, Iterator, Sequence

import numpy as np

from kelvane.stats import wilson_interval


class CliError(Exception):
    """A user error: printed as one line ``kelvane: error: ...`` and exit status 2."""


def _describe_error(e: BaseException) -> str:
    """One line for an error: an OSError as "path: reason", anything else as its text."""
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        text = f"{e.filename}: {e.strerror}"
    else:
        text = str(e) or type(e).__name__
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def _require(verb: str, *modules: str, extra: str = "cli") -> None:
    """Imports the optional modules a verb needs, or says which extra installs them."""
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            raise CliError(f"kelvane {verb} needs {name}: pip install 'kelvane[{extra}]'") from None


def _decode_model(args: argparse.Namespace, circuit: Any, description: Any, missing: str) -> Any:
    """The model `decode` uses: --dem, else the circuit's, else the one the stream stores."""
    import stim

    if args.dem:
        return _read_stim(args.dem, "dem")
    if circuit is not None:
        return circuit.detector_error_model(decompose_errors=True)
    if description is not None and description.dem_text is not None:
        return stim.DetectorErrorModel(description.dem_text)
    raise CliError(f"decode needs --dem or --circuit ({missing})")


def _read_stim(path: str, kind: str) -> Any:
    """A Stim circuit or detector error model (kind "circuit" or "dem") from a file."""
    import stim

    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        return stim.Circuit(text) if kind == "circuit" else stim.DetectorErrorModel(text)
    except Exception as e:  # Stim reports bad text as ValueError or IndexError
        what = "circuit" if kind == "circuit" else "detector error model"
        raise CliError(f"{path}: not a Stim {what} ({_describe_error(e)})") from e


# The exit status of a command ended by Ctrl-C (128 + SIGINT), as shells report it.
INTERRUPTED = 130


@contextlib.contextmanager
def _ctrl_c_stops() -> Iterator[threading.Event]:
    """An event the first Ctrl-C sets, for a loop over an endless stream to end at and print its
    summary (a KeyboardInterrupt could cut a record in half); a second Ctrl-C interrupts."""
    stop = threading.Event()

    def on_sigint(signum: int, frame: Any) -> None:
        if stop.is_set():
            raise KeyboardInterrupt
        stop.set()

    installed = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, on_sigint) if installed else None
    try:
        yield stop
    finally:
        if installed:
            signal.signal(signal.SIGINT, previous)


def _progress(total: int | None, unit: str, desc: str, quiet: bool = False, position: int | None = None) -> Any:
    """A tqdm progress bar on stderr (disabled when quiet or when stderr is not a terminal)."""
    from tqdm import tqdm

    return tqdm(total=total, unit=unit, desc=desc, disable=quiet or None, leave=False, file=sys.stderr,
                position=position)


# ---------------------------------------------------------------------------------------------
# info


def cmd_info(args: argparse.Namespace) -> int:
    from kelvane._wrapper import NotKvlxError, open_native

    frames = flips = shots = 0
    ancillas: dict[int, int] = {}
    max_round = -1
    error = None
    size = None if args.file.startswith("tcp://") else os.path.getsize(args.file)
    try:
        opened = open_native(args.file)
    except NotKvlxError:
        raise
    except OSError as e:
        raise CliError(f"{args.file}: {_describe_error(e)}") from e
    from kelvane._skipping import SkippingStream

    with SkippingStream(opened) as stream, _progress(None, "frames", "reading", args.quiet) as bar:
        while True:
            before = stream.skipped_frames
            try:
                batch = stream.read_batch(1 << 16)
            except OSError as e:  # not damage in the data: a failed read, a lost connection
                error = f"after {frames} good frames: {e}"
                break
            if stream.skipped_frames and not before and error is None:
                error = f"after {frames} good frames: {stream.first_error}"
            if len(batch) == 0:
                break
            n = batch.detector_events.shape[1]
            ancillas[n] = ancillas.get(n, 0) + len(batch)
            frames += len(batch)
            flips += int(batch.has_observable_flips.sum())
            shots += int((batch.rounds == 0).sum())
            max_round = max(max_round, int(batch.rounds.max()))
            bar.update(len(batch))
    print(f"file:             {args.file}" + ("" if size is None else f" ({size} bytes)"))
    print(f"frames:           {frames}")
    print(f"shots:            {shots} (frames of round 0)")
    print(f"rounds:           {max_round + 1} (largest round + 1)")
    print(f"ancillas:         {', '.join(f'{n} ({c} frames)' for n, c in sorted(ancillas.items())) or '-'}")
    print(f"observable flips: {flips} frames carry them")
    print(f"description:      {describe_stream(opened)}")
    print(f"skipped:          {stream.skipped_text()}")
    print(f"first error:      {error or 'none'}")
    if args.dem:
        print_detector_report(args)
    return 1 if error else 0


def print_detector_report(args: argparse.Namespace) -> None:
    """The detectors whose observed firing rate lies furthest from the model's (``info --dem``)."""
    from kelvane._convert import as_layout, group_shots, read_kvlx_frames
    from kelvane.detector_rates import detector_report
    from kelvane.experiment import layout_from_stim

    dem = _read_stim(args.dem, "dem")
    frames = read_kvlx_frames(args.file, describe="warn")
    description = frames.description
    if args.layout:
        layout = as_layout(args.layout, dem.num_detectors)
    elif description is not None and description.layout is not None:
        layout = description.layout
    elif frames.detector_events.shape[1] == dem.num_detectors:
        layout = None
    else:
        layout = layout_from_stim(dem)
    shots, _ = group_shots(frames, layout, dem.num_detectors, args.file)
    report = detector_report(shots, dem)
    if layout is None and not args.per_round:
        try:
            layout = layout_from_stim(dem)
        except ValueError as e:  # no place for the detectors: they cannot be grouped by ancilla
            print(f"detectors are not grouped by ancilla ({e}); each detector is listed")
    if args.per_round or layout is None:
        print(f"detectors against {args.dem} over {report.shots} shots, furthest from the model first "
              "(sigma: standard errors of the observed rate):")
        print(report.to_text(args.worst))
        return
    print(f"ancillas against {args.dem} over {report.shots} shots, furthest from the model first "
          "(sigma: standard errors of the observed rate, rounds pooled; --per-round lists each detector):")
    print(report.by_ancilla(layout).to_text(args.worst))


def describe_stream(stream: Any) -> str:
    """What the stream says about itself: its stored layout and model, or that it says nothing."""
    try:
        description = stream.description
    except ValueError as e:
        return f"damaged ({e})"
    if description is None:
        return "none (decoding needs --layout, or --circuit)"
    parts = []
    if description.layout is not None:
        rounds, slots = description.layout.shape
        parts.append(f"layout of {rounds} rounds x {slots} ancillas")
    try:
        text = description.dem_text  # inflated here
    except ValueError as e:  # not zlib-compressed text (damaged), or past 64 MiB of it (refused)
        return "; ".join(parts + [f"model refused ({e})"]) if str(e).endswith("refused") else f"damaged ({e})"
    if text is not None:
        import _kelvane

        try:
            model = _kelvane.DetectorErrorModel.parse(text)
        except ValueError as e:  # whole and matching its hash, but not a model: reported as a mismatch is
            return f"damaged (the stored model does not parse: {_describe_error(e)})"
        parts.append(f"model of {model.detector_count} detectors, {model.observable_count} observables")
    return "; ".join(parts)


# ---------------------------------------------------------------------------------------------
# convert and decode


def cmd_convert(args: argparse.Namespace) -> int:
    from kelvane._convert import convert

    skipped: list[Any] = []
    shots = convert(args.src, args.dst, num_detectors=args.num_detectors, layout=args.layout,
                    num_observables=args.num_observables, obs_out=args.obs_out, errors="skip", skipped=skipped)
    print(f"converted {shots} shots: {args.src} -> {args.dst}" + (f" (observables: {args.obs_out})" if args.obs_out else ""))
    if skipped:
        print(f"skipped: {skipped[0].skipped_text()}")
    return 0


def default_layout(ancillas: int, num_detectors: int) -> np.ndarray | None:
    """The layout when none is given: one frame per shot, or consecutive rounds of detectors."""
    if ancillas == num_detectors:
        return None
    if ancillas and num_detectors % ancillas == 0:
        return np.arange(num_detectors).reshape(-1, ancillas)
    raise CliError(f"frames of {ancillas} ancillas do not tile {num_detectors} detectors: give --layout")


def cmd_decode(args: argparse.Namespace) -> int:
    from _kelvane import SpacetimeGraph

    if args.commit is not None or args.buffer is not None:
        return decode_windows(args)
    from kelvane._convert import _replacing, as_layout, file_format, group_shots, read_kvlx_frames, write_stim_file

    out_fmt = file_format(args.out) if args.out else None
    if out_fmt == "kvlx":
        raise CliError("--out must be a Stim shot file (.01, .b8, .r8 or .dets)")
    circuit = _read_stim(args.circuit, "circuit") if args.circuit else None
    skipped: list[Any] = []
    with _progress(None, "frames", "reading", args.quiet) as bar:
        frames = read_kvlx_frames(args.file, progress=bar.update, skipped=skipped, describe="warn")
    description = frames.description
    dem = _decode_model(args, circuit, description, "the stream stores no model")
    graph = SpacetimeGraph.from_detector_error_model(dem)
    if args.layout:
        layout = as_layout(args.layout, dem.num_detectors)
    elif circuit is not None:
        from kelvane.experiment import layout_from_stim

        layout = layout_from_stim(circuit)
    elif description is not None and description.layout is not None:
        layout = description.layout
    else:
        layout = None
    if layout is None:
        layout = default_layout(frames.detector_events.shape[1], dem.num_detectors)
    shots, last = group_shots(frames, layout, dem.num_detectors, args.file)
    width = graph.boundary_node
    predictions = np.zeros((shots.shape[0], dem.num_observables), dtype=np.uint8)
    chunk = 1 << 14
    with _progress(shots.shape[0], "shots", "decoding", args.quiet) as bar:
        for lo in range(0, shots.shape[0], chunk):
            part = graph.decode_batch(shots[lo : lo + chunk, :width], method=args.method)
            predictions[lo : lo + chunk, : part.shape[1]] = part
            bar.update(part.shape[0])
    if args.out:
        with _replacing([args.out]) as temps:
            write_stim_file(predictions, temps[0], out_fmt, 0, dem.num_observables, args.out)
    per_shot = 1 if layout is None else layout.shape[0]
    print(f"decoded {shots.shape[0]} shots ({per_shot} frames and {dem.num_detectors} detectors each) -> "
          f"{args.out or 'nowhere'}")
    print(f"skipped: {skipped[0].skipped_text()}")
    if shots.shape[0] and frames.has_observable_flips[last].all():
        truth = frames.observable_flips[last]
        weights = np.uint64(1) << np.arange(predictions.shape[1], dtype=np.uint64)
        predicted = (predictions.astype(np.uint64) * weights).sum(axis=1, dtype=np.uint64)
        errors = int((predicted != truth).sum())
        low, high = wilson_interval(errors, shots.shape[0])
        print(f"logical error rate: {errors / shots.shape[0]:.6f} ({errors} of {shots.shape[0]} shots; "
              f"95% interval {low:.6f} to {high:.6f}), against the observable flips the stream carries")
    else:
        print("logical error rate: unknown (the stream carries no observable flips on its shots' last frames)")
    return 0


# ---------------------------------------------------------------------------------------------
# serve


def cmd_serve(args: argparse.Namespace) -> int:
    from kelvane.kvlx import FILE_HEADER_SIZE, description_entries, frame_offsets

    if args.burst_ms < 1:
        raise CliError(f"--burst-ms must be at least 1 (nothing sleeps less), got {args.burst_ms:g}")
    if args.live and args.rate <= 0:
        raise CliError("--live plays the file at --rate frames/s: give a rate")

    with open(args.file, "rb") as f:
        data = f.read()
    spans = _Spans(frame_offsets(data))
    live = None
    if args.live:
        live = Live(description_entries(data[spans[0][0] : spans[0][1]]) if spans else [])
    workers = []
    with socket.create_server((args.host, args.port)) as server:
        print(f"serving {len(spans)} frames of {args.file} on tcp://{args.host}:{server.getsockname()[1]}"
              f" at {args.rate or 'full'} frames/s" + (" (live)" if live else ""), flush=True)
        for k in range(args.clients):
            conn, peer = server.accept()
            worker = threading.Thread(target=serve_client, daemon=True,
                                      args=(conn, peer, data, spans, FILE_HEADER_SIZE, args, k, live))
            worker.start()
            workers.append(worker)
    for worker in workers:
        worker.join()
    return 0


class _Spans(Sequence[tuple[int, int]]):
    """Frame k's (start, end) from the frames' start offsets (kvlx.frame_offsets), without a
    tuple a frame held for the whole replay."""

    def __init__(self, starts: Any) -> None:
        self.starts = starts

    def __len__(self) -> int:
        return len(self.starts) - 1

    def __getitem__(self, k: Any) -> Any:
        if isinstance(k, slice):
            return [self[j] for j in range(*k.indices(len(self)))]
        if k < 0:
            k += len(self)
        if not 0 <= k < len(self):
            raise IndexError(k)
        return self.starts[k], self.starts[k + 1]


class Live:
    """One timeline that every client of ``serve --live`` joins: the file plays from the moment the
    first client is sent its first frame, and a client that connects later gets the frames from then on, the
    first of them carrying the stream's description (`description`, the first frame's entries)."""

    def __init__(self, description: Sequence[tuple[int, bytes]]) -> None:
        self.description = description
        self.start: float | None = None


def serve_client(conn: socket.socket, peer: Any, data: bytes, spans: Sequence[tuple[int, int]], header_size: int,
                 args: argparse.Namespace, position: int, live: Live | None = None) -> None:
    """Replays the file to one client on its own thread, so that a client that stops reading
    holds up no other: a send that makes no progress for --send-timeout seconds drops it."""
    name = f"{peer[0]}:{peer[1]}"
    conn.settimeout(args.send_timeout)
    with conn, _progress(len(spans), "frames", f"to {name}", args.quiet, position) as bar:
        try:
            replay(conn, data, spans, header_size, args.rate, bar.update, args.burst_ms / 1000, live=live)
        except TimeoutError:
            print(f"client {name} dropped: it read nothing for {args.send_timeout:g} s", file=sys.stderr, flush=True)
        except OSError as e:
            print(f"client {name} went away: {_describe_error(e)}", file=sys.stderr, flush=True)


# Bytes per send: the send timeout bounds the time a client may take to read this much.
_SEND_SLICE = 1 << 18


def replay(conn: Any, data: bytes, spans: Sequence[tuple[int, int]], header_size: int,
           rate: float, progress: Any, burst: float = 0.001, clock: Any = time.perf_counter,
           sleep: Any = time.sleep, live: Live | None = None) -> None:
    """Sends the file header, then the frames at `rate` frames (rounds) per second (0: as fast as
    possible), paced as a device that delivers in bursts: at every `burst` seconds (or every
    frame, when frames are further apart) the frames due by then go out together, in sends of
    at most _SEND_SLICE bytes. Frame k is due at k / rate seconds after the first.

    With `live` (and a rate) frame k is due k / rate seconds after ``live.start``: a client that
    joins later is sent the frames due from then on, and the first of them, when the stream
    describes itself, re-encoded to carry the description (kvlx.with_description), so that it
    can decode from the next shot on."""
    view = memoryview(data)
    conn.sendall(view[:header_size])
    if live is not None and live.start is None:
        live.start = clock()
    start = clock() if live is None else live.start
    period = max(burst, 1 / rate) if rate > 0 else 0.0
    sent = min(len(spans), int((clock() - start) * rate)) if live is not None and rate > 0 else 0
    tick = int((clock() - start) / period) if sent else 0
    if sent and sent < len(spans) and live is not None and live.description:
        from kelvane.kvlx import with_description

        conn.sendall(with_description(data[spans[sent][0] : spans[sent][1]], live.description))
        progress(1)
        sent += 1
    while sent < len(spans):
        if rate > 0:
            tick += 1
            wake = start + (tick - 1) * period
            now = clock()
            if now < wake:
                sleep(wake - now)
                now = clock()
            due = min(len(spans), int((now - start) * rate) + 1)
            if due <= sent:
                continue
        else:
            due = len(spans)
        for lo in range(spans[sent][0], spans[due - 1][1], _SEND_SLICE):
            conn.sendall(view[lo : min(lo + _SEND_SLICE, spans[due - 1][1])])
        progress(due - sent)
        sent = due


def _peak_rss_text() -> str:
    """"; peak RSS N MB" from /proc/self/status (this process's own high-water mark; getrusage's
    can include the forking parent's), or "" where there is none."""
    try:
        with open("/proc/self/status") as f:
            kb = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    except (OSError, StopIteration, ValueError):
        return ""
    return f"; peak RSS {kb / 1024:.1f} MB"


def decode_windows(args: argparse.Namespace) -> int:
    """decode --commit C --buffer B: the stream (a file or tcp://) decoded in windows as its frames
    arrive; every commit step's decision goes to --out as a decision record."""
    import stim

    import kelvane
    from kelvane._describe import NoStoredModel
    from kelvane.decisions import DecisionWriter

    if args.commit is None or args.buffer is None:
        raise CliError("--commit and --buffer go together")
    circuit = _read_stim(args.circuit, "circuit") if args.circuit else None
    # Without --dem or --circuit, the model the stream stores (read with its first frame).
    dem = _decode_model(args, circuit, None, "") if args.dem or circuit is not None else None
    layout: Any = args.layout
    if layout is None and circuit is not None:
        from kelvane.experiment import layout_from_stim

        layout = layout_from_stim(circuit)
    start = last_report = last_check = time.perf_counter()
    warned = False
    largest_unread = 0
    with contextlib.ExitStack() as stack:
        # The stream is decoded in C++ as it arrives (drain): a thread of its own reads the source
        # and stamps every frame's arrival, so a decoder that falls behind shows as backlog.
        try:
            # Damaged frames are skipped, as decoding a file shot by shot skips them.
            # Shot by shot when the stream says it is made of shots (kelvane.open), else endless.
            stream = stack.enter_context(kelvane.open(args.file, decoder="stored" if dem is None else dem,
                                                      layout=layout, commit=args.commit, buffer=args.buffer,
                                                      per_shot=False if args.endless else None, method=args.method,
                                                      errors="skip", read_ahead=max(1, int(args.read_ahead * 2**20))))
        except NoStoredModel as e:
            raise CliError(f"decode needs --dem or --circuit ({_describe_error(e)})") from e
        if dem is None:
            dem = stim.DetectorErrorModel(stream.description.dem_text)
        out = (stack.enter_context(DecisionWriter(args.out, dem.num_observables, args.detector_flips))
               if args.out else None)
        stop = stack.enter_context(_ctrl_c_stops())  # once open: a Ctrl-C before then just interrupts
        while not stop.is_set() and (records := stream.drain(0.25, detector_flips=args.detector_flips)) is not None:
            if records and out is not None:
                out.write_records(records)
                out.flush()
                stream.decisions_written()
            now = time.perf_counter()
            if now - last_check < 0.25:
                continue
            last_check = now
            counts = stream._live_counts() or {}
            unread = counts.get("socket_unread_bytes")
            if unread is not None:
                largest_unread = max(largest_unread, unread)
            live = stream.live_stats()
            if live["backlog_warning"] and not warned:
                warned = True
                print(f"warning: {live['backlog_warning']}", file=sys.stderr, flush=True)
            if not args.quiet and now - last_report >= 1.0:
                last_report = now
                print(f"{live['frames_decoded']} rounds, {live['rounds_per_second']:.0f} rounds/s, "
                      f"backlog {live['backlog']} rounds ({counts.get('queued_frames', 0)} frames read ahead, "
                      f"{counts.get('read_ahead_bytes', 0) / 2**20:.1f} MB"
                      + (f"; {unread} bytes unread in the socket" if unread is not None else "") + ")",
                      file=sys.stderr, flush=True)
        live = stream.live_stats() or {}
        counts = stream._live_counts() or {}
        stats = stream.decoder_stats() or {}
        skipped = stream.skipped_text()
        missing = stream.missing_rounds
    if live.get("backlog_warning") and not warned:
        print(f"warning: {live['backlog_warning']}", file=sys.stderr, flush=True)
    frames = live.get("frames_decoded", 0)
    decisions = live.get("decisions", 0)
    print(f"decoded {frames} frames in windows (commit {args.commit}, buffer {args.buffer}): {decisions} decision "
          f"records -> {args.out or 'nowhere'} ({live.get('rounds_per_second', 0):.0f} rounds/s; largest backlog "
          f"{live.get('largest_backlog', 0)} rounds; arrived at {live.get('arrivals_per_second', 0):.0f} frames/s; "
          f"{time.perf_counter() - start:.1f} s{_peak_rss_text()})")
    print(f"skipped: {skipped}")
    if counts.get("per_shot"):
        shots, errors = counts["shots_with_truth"], counts["shot_errors"]
        if shots:
            low, high = wilson_interval(errors, shots)
            print(f"logical error rate: {errors / shots:.6f} ({errors} of {shots} shots; 95% interval {low:.6f} to "
                  f"{high:.6f}), against the observable flips the stream carries")
        else:
            print("logical error rate: unknown (the stream carries no observable flips on its shots' last frames)")
    elif counts:
        print(f"endless stream: {counts['restarts']} restarts, {missing} rounds missing or dropped by them")
    if counts:
        print(f"read ahead: at most {counts['read_ahead_budget'] / 2**20:.1f} MB of frames ahead of the decoder"
              + (f"; largest socket backlog {largest_unread} bytes unread (sampled every 0.25 s)"
                 if counts.get("socket_unread_bytes") is not None or largest_unread else ""))
    if decisions:
        def us(h: dict[str, int]) -> str:
            return f"median {h['median'] / 1e3:.1f} us, p99.9 {h['p999'] / 1e3:.1f} us, worst {h['worst'] / 1e3:.1f} us"

        print(f"commit latency from the closing frame's arrival: {us(live['closing_latency_ns'])}")
        print(f"commit latency from each frame's arrival: {us(live['frame_latency_ns'])}")
        if out is not None:
            print(f"decision written, from the closing frame's arrival: {us(live['write_latency_ns'])}")
        print(f"decoder step: median {stats.get('median_step_ns', 0) / 1e3:.1f} us, p99.9 "
              f"{stats.get('p999_step_ns', 0) / 1e3:.1f} us, worst {stats.get('worst_step_ns', 0) / 1e3:.1f} us")
    return INTERRUPTED if stop.is_set() else 0


# ---------------------------------------------------------------------------------------------
# monitor


def cmd_monitor(args: argparse.Namespace) -> int:
    if not args.source.startswith("tcp://"):
        os.stat(args.source)  # a missing file is this command's error, not a failed page
        from kelvane._wrapper import _check_file_header

        _check_file_header(args.source)
    _require("monitor", "plotly", *(() if args.report else ("starlette", "uvicorn")), extra="monitor")
    from kelvane.monitor import StreamMonitor, serve, write_report

    dem = _read_stim(args.dem, "dem") if args.dem else None
    options = dict(commit=args.commit, buffer=args.buffer, sigma=args.sigma, method=args.method)
    if args.report:
        snap = write_report(args.source, dem, args.report, args.layout, **options)
        print(f"wrote {args.report}: {snap['frames']} frames, {snap['shots']} shots")
        return 0
    monitor = StreamMonitor(args.source, dem, args.layout, **options)
    try:
        serve(monitor, host=args.host, port=args.port, interval=args.interval, follow=not args.no_follow)
    except KeyboardInterrupt:  # raised again by the server once it has shut down
        interrupted = True
    else:
        interrupted = False
    snap = monitor.snapshot()
    ler = snap["ler"]
    print(f"monitored {args.source}: {snap['frames']} frames, {snap['shots']} shots, {snap['damaged_frames']} damaged "
          "frames" + (f"; logical error rate {ler['rate']:.6f} ({ler['errors']} of {ler['shots']} shots)" if ler else ""))
    return INTERRUPTED if interrupted else 0


# ---------------------------------------------------------------------------------------------
# demo


def cmd_demo(args: argparse.Namespace) -> int:
    _require("demo", "pymatching")
    from kelvane.demo import main as run_demo

    run_demo(args.shots)
    return 0


# ---------------------------------------------------------------------------------------------
# threshold


def threshold_tasks(distances: Sequence[int], noises: Sequence[float]) -> list:
    import sinter
    import stim

    tasks = []
    for d in distances:
        for p in noises:
            circuit = stim.Circuit.generated(
                "surface_code:rotated_memory_x", distance=d, rounds=d, after_clifford_depolarization=p,
                before_round_data_depolarization=p, before_measure_flip_probability=p,
                after_reset_flip_probability=p)
            tasks.append(sinter.Task(circuit=circuit, json_metadata={"d": d, "p": p}))
    return tasks


def read_resume_file(path: str, ours: Any) -> int:
    """Checks a --save file before any sampling: sinter resumes from it and appends to it, and
    reads it only once the workers start, so a damaged file (a row cut off by an interrupted
    write) would fail there. Returns how many of its statistics belong to other tasks (``ours``
    false: another experiment's rows, or another grid's), which the run leaves in the file and out
    of its table and plot."""
    import sinter

    if not os.path.exists(path):
        return 0
    try:
        saved = sinter.read_stats_from_csv_files(path)
    except OSError:
        raise
    except Exception as e:  # sinter's reader fails with whatever the damage gives: ValueError, TypeError, KeyError
        with open(path, "rb") as f:
            size = f.seek(0, os.SEEK_END)
            cut = size > 0 and f.seek(-1, os.SEEK_END) >= 0 and f.read(1) != b"\n"
        why = "it is empty" if size == 0 else ("its last row is cut off: " if cut else "") + _describe_error(e)
        raise CliError(f"{path}: not a sinter statistics CSV this run can resume and append to ({why}): "
                       "repair it, remove it or --save elsewhere") from e
    return sum(1 for s in saved if not ours(s))


def cmd_threshold(args: argparse.Namespace) -> int:
    _require("threshold", "sinter", "matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import sinter

    import kelvane

    if args.quick:
        distances, noises, max_shots, max_errors = [3, 5], [0.004, 0.008, 0.012], 2000, 100
    else:
        distances, noises = [3, 5, 7], [0.002, 0.004, 0.006, 0.008, 0.010, 0.012]
        max_shots, max_errors = 200_000, 2000
    max_shots = max_shots if args.max_shots is None else args.max_shots
    max_errors = max_errors if args.max_errors is None else args.max_errors
    tasks = threshold_tasks(distances, noises)
    workers = args.workers or len(os.sched_getaffinity(0))
    ours_name = {"union-find": "kelvane-uf", "matching": "kelvane-matching"}[args.method]
    decoders = [ours_name, "pymatching"]

    def ours(s: Any) -> bool:
        meta = s.json_metadata
        return (s.decoder in decoders and isinstance(meta, dict) and sorted(meta) == ["d", "p"]
                and meta["d"] in distances and meta["p"] in noises)

    foreign = read_resume_file(args.save, ours) if args.save else 0
    if foreign:
        print(f"kelvane: note: {args.save} holds {foreign} statistics of other tasks: they stay in the file, "
              "out of this table and plot", file=sys.stderr)
    bar = _progress(len(tasks) * len(decoders) * max_shots, "shots", "sampling", args.quiet)
    seen: dict[Any, int] = {}

    def on_progress(progress: Any) -> None:
        for s in progress.new_stats:
            seen[s.strong_id] = seen.get(s.strong_id, 0) + s.shots
        bar.n = min(bar.total, sum(seen.values()))
        bar.refresh()

    stats = sinter.collect(
        num_workers=workers, tasks=tasks, decoders=decoders, custom_decoders=kelvane.sinter_decoders(),
        max_shots=max_shots, max_errors=max_errors, progress_callback=on_progress,
        save_resume_filepath=args.save)
    bar.close()
    stats = sorted(filter(ours, stats), key=lambda s: (s.decoder, s.json_metadata["d"], s.json_metadata["p"]))

    print("| decoder | d | p | shots | errors | logical error rate | 95% CI |")
    print("|---|---|---|---|---|---|---|")
    for s in stats:
        low, high = wilson_interval(s.errors, s.shots)
        print(f"| {s.decoder} | {s.json_metadata['d']} | {s.json_metadata['p']} | {s.shots} | {s.errors} "
              f"| {s.errors / s.shots if s.shots else float('nan'):.5f} | {low:.5f} to {high:.5f} |")

    fig, ax = plt.subplots(figsize=(7, 5))
    sinter.plot_error_rate(
        ax=ax, stats=stats, x_func=lambda s: s.json_metadata["p"],
        group_func=lambda s: {"label": f"{s.decoder} d={s.json_metadata['d']}",
                              "color": f"C{distances.index(s.json_metadata['d'])}",
                              "linestyle": "-" if s.decoder == ours_name else "--",
                              "marker": "o" if s.decoder == ours_name else "x"})
    ax.loglog()
    ax.set_xlabel("physical error rate p")
    ax.set_ylabel("logical error rate per shot")
    ax.set_title("Rotated surface code memory, d rounds: kelvane vs PyMatching")
    ax.grid(which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(args.out, dpi=120)
    print(f"wrote {args.out}")
    return 0


# ---------------------------------------------------------------------------------------------


def cmd_bench(args: argparse.Namespace) -> int:
    _require("bench", "pymatching", *(["matplotlib"] if args.plot else []))
    from kelvane import _bench

    return _bench.main(smoke=args.smoke, json_path=args.json, threads=args.threads, clock=args.clock,
                       plot_path=args.plot, correlated_max_shots=args.correlated_max_shots, method=args.method)


def _method_option(parser: argparse.ArgumentParser, what: str = "the decoder") -> None:
    parser.add_argument("--method", choices=["union-find", "matching"], default="union-find",
                        help=f"{what}: Union-Find, or exact minimum-weight perfect matching")


def _count(text: str) -> int:
    """A count of 0 or more (argparse type)."""
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def _rounds(low: int) -> Any:
    """An argparse type: a whole number of rounds, low to 2^32 - 1 (what the decoder counts)."""
    def rounds(text: str) -> int:
        value = int(text)
        if not low <= value < 2**32:
            raise argparse.ArgumentTypeError(f"must be a number of rounds, {low} to {2**32 - 1}, got {value}")
        return value

    return rounds


def _port(text: str) -> int:
    """A TCP port, 0 to 65535 (argparse type)."""
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be a port number, 0 to 65535, got {value}")
    return value


def _at_least(low: float, strict: bool = False) -> Any:
    """An argparse type: a finite number >= low (> low when strict)."""
    def number(text: str) -> float:
        value = float(text)
        if not math.isfinite(value) or value < low or (strict and value == low):
            raise argparse.ArgumentTypeError(f"must be {'above' if strict else 'at least'} {low:g}, got {text}")
        return value

    return number


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Help that shows each option's default, unless its help says it already or there is none."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        text = action.help or ""
        if (not action.option_strings or "default" in text or action.default is None
                or action.default is argparse.SUPPRESS or isinstance(action.default, bool)):
            return text
        return f"{text} (default: %(default)s)" if text else "default: %(default)s"


class _Parser(argparse.ArgumentParser):
    """argparse with its errors as one line (``kelvane verb: error: ...``), like every other error
    of the command, raised as a CliError that main prints."""

    def error(self, message: str) -> Any:
        raise CliError(f"{message} (see {self.prog} --help)")


def _common_options(parser: argparse.ArgumentParser, default: Any) -> None:
    """-q and --debug, accepted before and after the verb (the verb's copies default to
    SUPPRESS so that they keep what was given before it)."""
    parser.add_argument("-q", "--quiet", action="store_true", default=default, help="no progress bars")
    parser.add_argument("--debug", action="store_true", default=default, help="show the traceback of an error")


def build_parser() -> argparse.ArgumentParser:
    from kelvane import __version__

    ap = _Parser(prog="kelvane", description=__doc__.split("\n\n")[0], formatter_class=_HelpFormatter)
    ap.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    _common_options(ap, False)
    common = _Parser(add_help=False)
    _common_options(common, argparse.SUPPRESS)
    sub = ap.add_subparsers(dest="command", required=True)

    def verb(name: str, help: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, help=help, parents=[common], formatter_class=_HelpFormatter)

    p = verb("info", "frames, shots, rounds, ancillas and the first error of a KVLX file or tcp:// stream")
    p.add_argument("file", help="KVLX file or tcp://host:port")
    p.add_argument("--dem", default=None, help="Stim DEM: also print the detectors furthest from its firing rates")
    p.add_argument("--layout", default=None,
                   help=".npy file: rounds x ancillas detector ids (default: from the DEM's detector coordinates)")
    p.add_argument("--worst", type=_count, default=10, help="how many ancillas (or detectors) --dem prints")
    p.add_argument("--per-round", action="store_true",
                   help="with --dem: rank each detector (one ancilla in one round) instead of ancillas, rounds pooled")
    p.set_defaults(run=cmd_info)

    p = verb("convert", "KVLX <-> Stim shot files (.01 .b8 .r8 .dets), by extension")
    p.add_argument("src", help="file to read (.kvlx, .01, .b8, .r8 or .dets)")
    p.add_argument("dst", help="file to write (.kvlx, .01, .b8, .r8 or .dets)")
    p.add_argument("--num-detectors", type=_count, default=None,
                   help="detectors per Stim record (needed to read .b8, .r8 and .dets without --layout)")
    p.add_argument("--num-observables", type=_count, default=None,
                   help="observables per Stim record (appended to it, or in --obs-out)")
    p.add_argument("--obs-out", default=None, help="the Stim side's observables in this file (as Stim's --obs_out)")
    p.add_argument("--layout", default=None, help=".npy file: rounds x ancillas detector ids, -1 = none")
    p.set_defaults(run=cmd_convert)

    p = verb("decode", "decode a KVLX file's shots with a DEM; write predictions as a Stim file")
    p.add_argument("file", help="KVLX file or tcp://host:port stream to decode")
    p.add_argument("--dem", default=None, help="Stim detector error model file (default: the one the stream stores)")
    p.add_argument("--layout", default=None, help=".npy file: rounds x ancillas detector ids, -1 = none")
    p.add_argument("--circuit", default=None,
                   help="Stim circuit file: the layout (kelvane.layout_from_stim) and, without --dem, the model")
    p.add_argument("--out", default=None,
                   help="predictions file (.b8, .01, .r8 or .dets); with --commit, where the decision records go "
                        "(a file, or tcp://HOST:PORT to connect to; without it only the summary is printed)")
    p.add_argument("--commit", type=_rounds(1), default=None,
                   help="decode the stream in windows as it arrives, committing this many rounds at a time")
    p.add_argument("--buffer", type=_rounds(0), default=None, help="rounds of look-ahead per window (with --commit)")
    p.add_argument("--detector-flips", action="store_true",
                   help="with --commit: every decision record carries the detectors its commits flipped")
    p.add_argument("--read-ahead", type=_at_least(0, strict=True), default=4.0,
                   help="with --commit: MB of frames read ahead of the decoder at most (a faster sender is held "
                        "by TCP's flow control, a file read no faster than it is decoded)")
    p.add_argument("--endless", action="store_true",
                   help="with --commit: decode the stream as one endless stream even when it says it is made of shots "
                        "(a stored layout, or its shots' truth on their last frames)")
    _method_option(p)
    p.set_defaults(run=cmd_decode)

    p = verb("serve", "replay a KVLX file over TCP")
    p.add_argument("file", help="KVLX file to replay")
    p.add_argument("--port", type=_port, required=True, help="0 picks a free port")
    p.add_argument("--rate", type=_at_least(0), default=0,
                   help="frames (rounds) per second, paced like a device (0: as fast as possible)")
    p.add_argument("--burst-ms", type=float, default=1.0,
                   help="with --rate: send the frames due every this many milliseconds, together (at least 1)")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on")
    p.add_argument("--clients", type=_count, default=1,
                   help="serve this many connections, each on its own from its own start (with --live: on the one "
                        "timeline)")
    p.add_argument("--send-timeout", type=_at_least(0, strict=True), default=10.0,
                   help="drop a client that reads nothing for this many seconds")
    p.add_argument("--live", action="store_true",
                   help="play the file once, at --rate from the first connection on, to every client: a client that "
                        "connects later joins part-way (and gets the stream's description with its first frame)")
    p.set_defaults(run=cmd_serve)

    p = verb("monitor", "a live web page of a stream (or, with --report, an HTML report of a file)")
    p.add_argument("source", help="KVLX file (followed as it grows) or tcp://host:port")
    p.add_argument("--dem", default=None, help="Stim detector error model file (default: the one the file carries)")
    p.add_argument("--layout", default=None,
                   help=".npy file: rounds x ancillas detector ids (default: the file's own, else from the "
                        "DEM's detector coordinates)")
    p.add_argument("--commit", type=_rounds(1), default=None, help="decode in windows committing this many rounds")
    p.add_argument("--buffer", type=_rounds(0), default=None, help="rounds of look-ahead per window (with --commit)")
    p.add_argument("--sigma", type=_at_least(0, strict=True), default=5.0,
                   help="highlight detectors this many standard errors off")
    p.add_argument("--port", type=_port, default=8765, help="0 picks a free port")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: loopback only)")
    p.add_argument("--interval", type=_at_least(0, strict=True), default=0.5, help="seconds between page updates")
    p.add_argument("--no-follow", action="store_true", help="stop reading at the end of the file")
    p.add_argument("--report", default=None, help="read the whole file and write a self-contained HTML page here")
    _method_option(p)
    p.set_defaults(run=cmd_monitor)

    p = verb("demo", "stream and decode a Stim surface-code experiment shot by shot (the main job)")
    p.add_argument("--shots", type=_count, default=20_000, help="shots to sample")
    p.set_defaults(run=cmd_demo)

    p = verb("threshold", "sinter threshold plot: kelvane vs PyMatching, d = 3, 5, 7")
    p.add_argument("--out", default="threshold.png", help="where to write the plot (PNG)")
    p.add_argument("--quick", action="store_true",
                   help="CI-sized: d = 3, 5, three p, at most 2000 shots and 100 errors per point")
    p.add_argument("--max-shots", type=_count, default=None,
                   help="shots per point at most (default: 200000; 2000 with --quick)")
    p.add_argument("--max-errors", type=_count, default=None,
                   help="stop a point at this many errors (default: 2000; 100 with --quick)")
    p.add_argument("--workers", type=_count, default=0, help="sinter worker processes (0: all cores)")
    p.add_argument("--save", default=None, help="sinter's CSV of the statistics; a second run resumes from it")
    _method_option(p, "kelvane's decoder: kelvane-uf or kelvane-matching")
    p.set_defaults(run=cmd_threshold)

    p = verb("bench", "the benchmark suite: Markdown table and JSON")
    p.add_argument("--smoke", action="store_true", help="tiny sizes, seconds (CI)")
    p.add_argument("--json", default="bench.json", help="where to write the JSON results")
    p.add_argument("--threads", type=int, default=0, help="threads for the multi-thread decoder row (0: all cores)")
    p.add_argument("--clock", choices=["cpu", "wall"], default="cpu", help="process CPU time (default) or wall time")
    p.add_argument("--plot", default=None, help="PNG of the decoder's speed and LER ratios to PyMatching against d")
    p.add_argument("--correlated-max-shots", type=int, default=2_000_000,
                   help="shot cap of each correlated cell (the rule: until correlated PyMatching has 200 errors "
                        "or this many shots)")
    _method_option(p, "kelvane's decoder in the decoder and correlated rows")
    p.set_defaults(run=cmd_bench)
    return ap


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; a user error (a CliError, OSError or ValueError) prints one line and
    returns 2, as argparse does for bad arguments, unless --debug asks for the traceback."""
    try:
        args = build_parser().parse_args(argv)
    except CliError as e:  # bad arguments
        if "--debug" in (sys.argv[1:] if argv is None else argv):
            raise
        print(f"kelvane: error: {e}", file=sys.stderr)
        return 2
    with warnings.catch_warnings():
        if not args.debug:
            warnings.showwarning = _show_warning
        try:
            return int(args.run(args) or 0)
        except (CliError, OSError, ValueError) as e:
            if args.debug:
                raise
            print(f"kelvane: error: {_describe_error(e)}", file=sys.stderr)
            return 2
        except KeyboardInterrupt:  # Ctrl-C where no summary is due: no traceback either
            if args.debug:
                raise
            return INTERRUPTED


def _show_warning(message: Any, category: Any, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
    """Warnings as one line each, without the source line they were raised from."""
    print(f"kelvane: warning: {_describe_error(message) if isinstance(message, Exception) else message}",
          file=sys.stderr)
