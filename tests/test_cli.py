"""The kelvane command: info, convert, decode, serve, demo and threshold on small inputs."""

import socket
import subprocess
import sys
import time

import numpy as np
import pytest
import stim

import kelvane
from kelvane.cli import main
from kelvane.kvlx import KvlxWriter


@pytest.fixture(scope="module")
def experiment(tmp_path_factory):
    """A d=3 repetition-code memory written as KVLX, one frame of 2 ancillas per round."""
    tmp = tmp_path_factory.mktemp("cli")
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3,
                                     after_clifford_depolarization=0.05)
    dem = circuit.detector_error_model(decompose_errors=True)
    dets, obs = circuit.compile_detector_sampler(seed=3).sample(400, separate_observables=True)
    (tmp / "model.dem").write_text(str(dem))
    circuit.to_file(str(tmp / "c.stim"))
    layout = np.arange(dem.num_detectors).reshape(-1, 2)
    np.save(tmp / "layout.npy", layout)
    with KvlxWriter(tmp / "run.kvlx") as w:
        w.write_shots(dets, obs, layout=layout)
    return tmp, dem, dets, obs


def test_info_convert_and_decode(experiment, capsys, tmp_path):
    tmp, dem, dets, obs = experiment
    assert main(["-q", "info", str(tmp / "run.kvlx")]) == 0
    out = capsys.readouterr().out
    assert "frames:           1600" in out and "shots:            400" in out and "first error:      none" in out

    assert main(["-q", "convert", str(tmp / "run.kvlx"), str(tmp_path / "s.b8"), "--layout", str(tmp / "layout.npy"),
                 "--num-observables", "1", "--obs-out", str(tmp_path / "obs.01")]) == 0
    assert (stim.read_shot_data_file(path=str(tmp_path / "s.b8"), format="b8", num_detectors=8) == dets).all()
    assert (stim.read_shot_data_file(path=str(tmp_path / "obs.01"), format="01", num_observables=1) == obs).all()

    assert main(["-q", "decode", str(tmp / "run.kvlx"), "--dem", str(tmp / "model.dem"), "--out", str(tmp_path / "p.01")]) == 0
    predictions = stim.read_shot_data_file(path=str(tmp_path / "p.01"), format="01", num_observables=1)
    expected = kelvane.SpacetimeGraph.from_detector_error_model(dem).decode_batch(dets)
    assert (predictions == expected.astype(bool)).all()
    errors = int((predictions != obs).any(axis=1).sum())
    assert f"logical error rate: {errors / 400:.6f} ({errors} of 400 shots; 95% interval" in capsys.readouterr().out
    # The layout and the model from the circuit give the same predictions.
    assert main(["-q", "decode", str(tmp / "run.kvlx"), "--circuit", str(tmp / "c.stim"), "--out", str(tmp_path / "q.01")]) == 0
    assert (tmp_path / "q.01").read_bytes() == (tmp_path / "p.01").read_bytes()


def test_info_reports_the_first_error(tmp_path, capsys):
    path = tmp_path / "bad.kvlx"
    with KvlxWriter(path) as w:
        w.write_frame(5, 0, [1, 0], [0, 0])
        w.write_frame(4, 0, [1, 0], [0, 0])
    assert main(["-q", "info", str(path)]) == 1
    assert "first error:      after 1 good frames: frame ID went backwards" in capsys.readouterr().out


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# User errors: (arguments, with {d} the fixture's folder; what the one line says; modules to hide).
USER_ERRORS = [
    ("info {d}/missing.kvlx", "missing.kvlx", ()),
    ("info tcp://127.0.0.1:{port}", "refused", ()),
    ("serve {d}/missing.kvlx --port 0", "missing.kvlx: No such file", ()),
    ("decode {d}/run.kvlx --dem {d}/model.dem --layout {d}/missing.npy --out {d}/p.01", "missing.npy", ()),
    ("decode {d}/run.kvlx --dem {d}/missing.dem --out {d}/p.01", "missing.dem: No such file", ()),
    ("decode {d}/run.kvlx --dem {d}/c.stim --out {d}/p.01", "c.stim: not a Stim detector error model", ()),
    ("decode {d}/run.kvlx --circuit {d}/model.dem --out {d}/p.01", "model.dem: not a Stim circuit", ()),
    ("decode {d}/run.kvlx --out {d}/p.01", "decode needs --dem or --circuit", ()),
    ("convert {d}/run.kvlx {d}/a.xyz", "cannot tell the format", ()),
    ("convert {d}/s.b8 {d}/a.kvlx", "reading a .b8 file needs its detector count", ()),
    ("convert {d}/run.kvlx {d}/missing/a.b8 --layout {d}/layout.npy --num-observables 1", "missing: no such directory", ()),
    ("convert {d}/run.kvlx {d}/run.kvlx", "both read and written", ()),
    ("threshold --quick", "kelvane threshold needs sinter: pip install 'kelvane[cli]'", ("sinter",)),
    ("demo", "kelvane demo needs pymatching: pip install 'kelvane[cli]'", ("pymatching",)),
    ("serve {d}/run.kvlx --port 99999", "argument --port: must be a port number, 0 to 65535, got 99999", ()),
    ("serve {d}/run.kvlx --port 0 --rate -5", "argument --rate: must be at least 0, got -5", ()),
    ("serve {d}/run.kvlx", "the following arguments are required: --port (see kelvane serve --help)", ()),
    ("monitor {d}/nope.kvlx --dem {d}/model.dem --port 0", "nope.kvlx: No such file or directory", ()),
    ("monitor {d}/nope.kvlx --report {d}/x.html", "nope.kvlx: No such file or directory", ()),
    ("monitor {d}/run.kvlx --interval 0", "argument --interval: must be above 0, got 0", ()),
    ("decode {d}/nope.kvlx --dem {d}/model.dem --out {d}/p.01", "nope.kvlx: No such file or directory", ()),
    ("decode {d}/nope.kvlx --dem {d}/model.dem --commit 2 --buffer 2 --out {d}/p.dec", "nope.kvlx: No such file", ()),
    ("threshold --quick --max-errors -1", "argument --max-errors: must be 0 or more, got -1", ()),
    ("decode {d}/run.kvlx --commit 2 --buffer 2", "decode needs --dem or --circuit", ()),
    ("decode {d}/run.kvlx --dem {d}/model.dem --commit 2 --buffer -1", "argument --buffer: must be a number of rounds", ()),
    ("decode {d}/run.kvlx --dem {d}/model.dem --commit 0 --buffer 2", "argument --commit: must be a number of rounds, 1", ()),
    ("monitor {d}/run.kvlx --commit 99999999999 --buffer 1 --report {d}/x.html", "4294967295, got 99999999999", ()),
    ("nothing", "argument command: invalid choice: 'nothing'", ()),
]


@pytest.mark.parametrize("argv, message, hidden", USER_ERRORS)
def test_user_errors_print_one_line_and_exit_2(experiment, capsys, monkeypatch, argv, message, hidden):
    tmp = experiment[0]
    (tmp / "s.b8").write_bytes(b"\0")
    for name in hidden:
        monkeypatch.setitem(sys.modules, name, None)  # as if not installed
    args = argv.format(d=tmp, port=free_port()).split()
    assert main(["-q", *args]) == 2
    err = capsys.readouterr().err
    assert err.startswith("kelvane: error: ") and err.count("\n") == 1 and message in err, err
    with pytest.raises(Exception):
        main(["-q", *args, "--debug"])  # the traceback, on request


@pytest.mark.parametrize("argv, shots, errors, ours", [
    ("--quick", 2000, 100, "kelvane-uf"),
    ("--quick --max-shots 50 --max-errors 7", 50, 7, "kelvane-uf"),
    ("--max-errors 9 --method matching", 200_000, 9, "kelvane-matching"),
])
def test_threshold_takes_the_limits_it_is_given(monkeypatch, capsys, argv, shots, errors, ours):
    sinter = pytest.importorskip("sinter")
    pytest.importorskip("matplotlib")
    asked = {}

    def collect(**kwargs):
        asked.update(kwargs)
        raise ValueError("stop before sampling")

    monkeypatch.setattr(sinter, "collect", collect)
    assert main(["-q", "threshold", *argv.split()]) == 2
    assert (asked["max_shots"], asked["max_errors"]) == (shots, errors)
    assert asked["decoders"] == [ours, "pymatching"] and ours in asked["custom_decoders"]


def test_help_shows_the_defaults(capsys):
    for verb, shown in (("monitor", ["(default: 5.0)", "(default: 0.5)", "(default: 8765)"]),
                        ("threshold", ["(default: 200000; 2000 with", "(default: threshold.png)"]),
                        ("decode", ["KVLX file or tcp://host:port stream to decode"])):
        with pytest.raises(SystemExit):
            main([verb, "--help"])
        text = " ".join(capsys.readouterr().out.split())
        assert all(s in text for s in shown), (verb, text)


def test_options_after_the_verb_and_version(experiment, capsys):
    tmp = experiment[0]
    assert main(["info", str(tmp / "run.kvlx"), "-q"]) == 0
    assert "frames:           1600" in capsys.readouterr().out
    with pytest.raises(SystemExit) as e:
        main(["--version"])
    assert e.value.code == 0 and capsys.readouterr().out == f"kelvane {kelvane.__version__}\n"


def test_serve_drops_a_client_that_stops_reading(tmp_path):
    """Client A connects and never reads; client B still gets the whole file at once, and A is
    dropped with a log line once its send makes no progress."""
    path = tmp_path / "big.kvlx"
    shots = np.zeros((40_000, 200), dtype=bool)
    shots[:, 7] = True  # few runs per frame: the writer stays small, the frames are 200 bytes of results
    with KvlxWriter(path) as w:
        w.write_shots(shots)
    assert path.stat().st_size > 8 << 20  # more than the socket buffers hold
    proc = subprocess.Popen([sys.executable, "-m", "kelvane", "-q", "serve", str(path), "--port", "0",
                             "--clients", "2", "--send-timeout", "1"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        host, port = proc.stdout.readline().split("tcp://")[1].split()[0].split(":")
        stalled = socket.create_connection((host, int(port)))
        received = 0
        with kelvane.KelvaneStream(f"tcp://{host}:{port}", timeout=20) as b:
            while batch := len(b.read_batch(100_000)):
                received += batch
        assert received == 40_000
        assert proc.wait(timeout=30) == 0
        assert "dropped: it read nothing for 1 s" in proc.stderr.read()
        stalled.close()
    finally:
        proc.kill()


def test_serve_replays_the_file_over_tcp(experiment):
    tmp = experiment[0]
    proc = subprocess.Popen([sys.executable, "-m", "kelvane", "-q", "serve", str(tmp / "run.kvlx"), "--port", "0",
                             "--rate", "20000"], stdout=subprocess.PIPE, text=True)
    try:
        address = proc.stdout.readline().split(" on ")[1].split()[0]
        with kelvane.KelvaneStream(address) as remote:
            got = remote.read_batch(10_000)
        local = kelvane.KelvaneStream(str(tmp / "run.kvlx")).read_batch(10_000)
        assert len(got) == 1600
        for name in ("detector_events", "frame_ids", "rounds", "observable_flips"):
            assert (getattr(got, name) == getattr(local, name)).all(), name
        assert proc.wait(timeout=30) == 0
    finally:
        proc.kill()


@pytest.mark.parametrize("verb", ["decode", "monitor"])
def test_ctrl_c_ends_an_endless_stream_with_its_summary(experiment, tmp_path, verb):
    """Ctrl-C is how a stream that never ends is stopped: the command prints what it saw and exits
    130, without a traceback. The stream is a loopback server that sends the file and never closes."""
    import json
    import signal
    import threading
    import urllib.request

    tmp = experiment[0]
    listener = socket.create_server(("127.0.0.1", 0))
    done = threading.Event()

    def serve():
        conn = listener.accept()[0]
        conn.sendall((tmp / "run.kvlx").read_bytes())
        done.wait(60)
        conn.close()

    threading.Thread(target=serve, daemon=True).start()
    source = f"tcp://127.0.0.1:{listener.getsockname()[1]}"
    argv = ["--dem", str(tmp / "model.dem"), "--layout", str(tmp / "layout.npy")]
    if verb == "decode":
        argv = ["decode", source, *argv, "--commit", "1", "--buffer", "1", "--out", str(tmp_path / "d.bin")]
    else:
        argv = ["monitor", source, *argv, "--port", "0", "--interval", "0.05"]
    proc = subprocess.Popen([sys.executable, "-m", "kelvane", *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        # Every frame decoded: decode's progress line says so each second; the monitor's page does.
        deadline = time.monotonic() + 60
        if verb == "decode":
            while not proc.stderr.readline().startswith("1600 rounds, "):
                assert proc.poll() is None and time.monotonic() < deadline
        else:
            page = proc.stdout.readline().split()[2]
            while (json.loads(urllib.request.urlopen(page + "snapshot", timeout=10).read()) or {}).get("frames") != 1600:
                assert time.monotonic() < deadline
                time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        done.set()
        proc.kill()
        listener.close()
    assert proc.returncode == 130 and "Traceback" not in err
    summary = "decoded 1600 frames in windows" if verb == "decode" else f"monitored {source}: 1600 frames, 400 shots"
    assert summary in out


def test_demo_and_threshold_run(tmp_path, capsys):
    assert main(["-q", "demo", "--shots", "300"]) == 0
    assert "PyMatching" in capsys.readouterr().out
    out, csv = tmp_path / "t.png", tmp_path / "stats.csv"
    # --workers 0: every core; --save keeps sinter's CSV, from which a second run resumes.
    assert main(["-q", "threshold", "--quick", "--workers", "0", "--out", str(out), "--save", str(csv)]) == 0
    table = [line for line in capsys.readouterr().out.splitlines() if line.startswith("| kelvane-uf")]
    assert len(table) == 6 and out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    saved = csv.read_text()
    assert saved.splitlines()[0].split(",")[0].strip() == "shots" and saved.count("kelvane-uf") >= 6
    # Another experiment's rows, and another grid's, stay in the file and out of the table.
    saved += "".join(f'       100,         3,         0,    0.0123,pymatching,{k}bc,"{meta}",\n'
                     for k, meta in enumerate(['{""L"":3}', '{""d"":9,""p"":0.004}']))
    csv.write_text(saved)
    assert main(["-q", "threshold", "--quick", "--workers", "1", "--out", str(out), "--save", str(csv)]) == 0
    assert csv.read_text() == saved  # every task already had its shots
    captured = capsys.readouterr()
    assert [line for line in captured.out.splitlines() if line.startswith("| kelvane-uf")] == table
    assert f"kelvane: note: {csv} holds 2 statistics of other tasks" in captured.err


ROW = '       100,         3,         0,    0.0123,pymatching,abc,"{""d"":3,""p"":0.004}",'
NO_METADATA = ROW[: ROW.index(',"')]


@pytest.mark.parametrize("text, reason", [
    ("", "(it is empty)"),
    (f"{ROW}\n", "(Bad CSV data"),  # no header
    (f"HEADER\n{ROW}\n{ROW[:30]}", "(its last row is cut off: "),
    (f"HEADER\n{ROW[:60]}", "(its last row is cut off: "),  # sinter's reader: a TypeError
    (f"HEADER\n{NO_METADATA}\n", "(the JSON object must be str"),
    (f"HEADER\n{ROW.replace('100', '1x0')}\n", "(invalid literal for int()"),
])
def test_a_damaged_threshold_save_file_is_refused_before_sampling(tmp_path, capsys, monkeypatch, text, reason):
    import sinter

    monkeypatch.setattr(sinter, "collect", lambda **kwargs: pytest.fail("sampled"))
    csv = tmp_path / "s.csv"
    csv.write_text(text.replace("HEADER", sinter.CSV_HEADER))
    assert main(["-q", "threshold", "--quick", "--save", str(csv)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"kelvane: error: {csv}: not a sinter statistics CSV") and err.count("\n") == 1
    assert reason in err
    assert csv.read_text() == text.replace("HEADER", sinter.CSV_HEADER)


def test_bench_smoke_writes_markdown_and_json(tmp_path, capsys):
    import json

    plot = tmp_path / "b.png"
    assert main(["-q", "bench", "--smoke", "--json", str(tmp_path / "b.json"), "--plot", str(plot)]) == 0
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    results = json.loads((tmp_path / "b.json").read_text())
    assert {"decoder", "stream", "writer", "dem", "memory", "correlated", "low_weight"} <= set(results)
    assert all(r["kelvane_corr_errors"] <= r["shots"] <= 500 for r in results["correlated"])
    assert all(r["kelvane_errors"] <= r["shots"] for r in results["decoder"])
    assert "| read_batch frames/s |" in capsys.readouterr().out


@pytest.mark.parametrize("to_tcp", [False, True])
def test_windowed_decode_sends_decision_records_that_read_back(tmp_path, to_tcp):
    from kelvane.decisions import read_decisions

    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=12,
                                     after_clifford_depolarization=0.02)
    path = tmp_path / "run.kvlx"
    kelvane.write_stim_experiment(circuit, 8, path, seed=4)
    with kelvane.open(path, decoder="stored", commit=3, buffer=2) as stream:
        expected = []
        for frame in stream:
            try:
                expected.append((frame.frame_id, frame.round, frame.observable_flips))
            except kelvane.KelvaneError:
                pass
    received = bytearray()
    if to_tcp:
        listener = socket.create_server(("127.0.0.1", 0))
        out = f"tcp://127.0.0.1:{listener.getsockname()[1]}"

        def collect():
            conn, _ = listener.accept()
            with conn:
                while chunk := conn.recv(1 << 16):
                    received.extend(chunk)

        import threading

        reader = threading.Thread(target=collect)
        reader.start()
    else:
        out = str(tmp_path / "run.kvld")
    assert main(["decode", str(path), "--commit", "3", "--buffer", "2", "--out", out]) == 0
    if to_tcp:
        reader.join(10)
        listener.close()
    observables, records = read_decisions(bytes(received) if to_tcp else out)
    assert observables == circuit.num_observables
    assert [(int(r["frame_id"]), int(r["round"]), int(r["committed_flips"])) for r in records] == expected
    assert len(expected) == 8 * 4 and any(flips for _, _, flips in expected)  # four commit steps a shot
    data = bytes(received) if to_tcp else open(out, "rb").read()
    with pytest.raises(ValueError, match="record 1 fails its CRC"):
        read_decisions(data[:16 + 32 + 5] + bytes([data[16 + 32 + 5] ^ 1]) + data[16 + 32 + 6:])
    with pytest.raises(ValueError, match="ends inside record"):
        read_decisions(data[:-1])
    assert main(["decode", str(path), "--commit", "3", "--out", out]) == 2  # --buffer missing


def test_decision_records_carry_the_detectors_their_commits_flip(tmp_path):
    from kelvane.decisions import read_decisions

    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=9,
                                     after_clifford_depolarization=0.02)
    path = tmp_path / "run.kvlx"
    kelvane.write_stim_experiment(circuit, 12, path, seed=5)
    plain, flipped = tmp_path / "plain.kvld", tmp_path / "flips.kvld"
    assert main(["decode", str(path), "--commit", "3", "--buffer", "2", "--out", str(plain)]) == 0
    assert main(["decode", str(path), "--commit", "3", "--buffer", "2", "--out", str(flipped),
                 "--detector-flips"]) == 0
    _, records = read_decisions(plain)
    _, with_flips, flips = read_decisions(flipped, detector_flips=True)
    for field in ("frame_id", "round", "committed_flips"):
        assert (records[field] == with_flips[field]).all()
    # Over a shot the commits' flips are its fired detectors (every window's correction reproduces
    # its syndrome in this code), each (round, ancilla) an odd number of times.
    fired: dict[tuple[int, int, int], int] = {}
    with kelvane.KelvaneStream(str(path)) as stream:
        for frame in stream:
            for a in np.flatnonzero(frame.to_numpy_detector_events()):
                fired[(frame.frame_id - frame.round, frame.round, int(a))] = 1
    seen: dict[tuple[int, int, int], int] = {}
    for record, block in zip(with_flips, flips):
        shot = int(record["frame_id"]) - int(record["round"])
        assert bool(record["flags"] & 2) == (len(block) > 0)
        for r, a in block:
            seen[(shot, int(r), int(a))] = seen.get((shot, int(r), int(a)), 0) ^ 1
    assert {k for k, v in seen.items() if v} == set(fired) and fired
    data = flipped.read_bytes()
    first = next(k for k, block in enumerate(flips) if len(block))
    at = 16 + 32 * (first + 1) + sum(8 + 8 * len(b) for b in flips[:first] if len(b)) + 4
    with pytest.raises(ValueError, match=f"detector flips of decision record {first} fail their CRC"):
        read_decisions(data[:at] + bytes([data[at] ^ 1]) + data[at + 1:], detector_flips=True)


@pytest.mark.parametrize("rate, burst, frames", [(5e6, 0.001, 40_000), (1e6, 0.001, 5000), (2500.0, 0.001, 40),
                                                 (250.0, 0.001, 9)])
def test_paced_replay_sends_what_is_due_at_each_burst(rate, burst, frames):
    from array import array

    from kelvane.cli import _Spans, replay

    now = [0.0]
    sends = []  # (time, bytes)

    class Conn:
        def sendall(self, chunk):
            sends.append((now[0], len(chunk)))

    def sleep(seconds):
        assert seconds > 0
        now[0] += seconds

    spans = _Spans(array("q", range(10, 13 + 3 * frames, 3)))  # as serve holds them
    assert spans[-1] == (10 + 3 * (frames - 1), 10 + 3 * frames) and len(spans) == frames
    replay(Conn(), bytes(10 + 3 * frames), spans, 10, rate, lambda n: None, burst, clock=lambda: now[0], sleep=sleep)
    assert sends[0] == (0.0, 10)
    period = max(burst, 1 / rate)
    total = 0
    times = []
    for t, size in sends[1:]:
        total += size // 3
        # Everything due by the burst's time, nothing later: frame k is due at k / rate.
        assert total == min(frames, int(t * rate + 1e-9) + 1)
        times.append(t)
    assert total == frames
    assert all(b - a >= period - 1e-12 for a, b in zip(times, times[1:]))
    assert times[-1] <= (frames - 1) / rate + period


def test_a_rate_beyond_the_decoder_shows_as_a_growing_backlog(tmp_path, capsys):
    import threading

    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=11, rounds=110,
                                     after_clifford_depolarization=0.02)
    path = tmp_path / "run.kvlx"
    # 1.5 s of frames at 150k frames/s, about three times what the decoder takes on a quiet core,
    # so the backlog grows for the whole send however loaded the machine is.
    exp = kelvane.write_stim_experiment(circuit, 2050, path, seed=2)
    exp.dem.to_file(tmp_path / "run.dem")
    np.save(tmp_path / "layout.npy", exp.layout)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    # Two clients: a probe that waits until the server listens, then the decoder.
    serve = ["serve", str(path), "--port", str(port), "--rate", "1.5e5", "--clients", "2", "--quiet"]
    server = threading.Thread(target=main, args=(serve,))
    server.start()
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)
    assert main(["decode", f"tcp://127.0.0.1:{port}", "--dem", str(tmp_path / "run.dem"), "--layout",
                 str(tmp_path / "layout.npy"), "--commit", "3", "--buffer", "3", "--out", str(tmp_path / "d.kvld"),
                 "--quiet"]) == 0
    server.join(30)
    out, err = capsys.readouterr()
    assert "the backlog has grown for over a second" in err, out


def test_a_tiny_stored_model_naming_a_billion_detectors_is_refused_at_once(tmp_path, capsys):
    # A one-frame file whose stored model is a few bytes: every verb that decodes with it gives
    # the decoding graph's one-line refusal before building anything for its detectors.
    path = tmp_path / "hostile.kvlx"
    with KvlxWriter(path) as w:
        w.write_shots(np.zeros((1, 3), np.uint8), layout=np.arange(3).reshape(1, 3), dem="error(0.1) D999999999")
    errors = {}
    for verb, *rest in (["decode", "--out", tmp_path / "p.01"], ["monitor", "--report", tmp_path / "r.html"]):
        assert main(["-q", verb, str(path), *map(str, rest)]) == 2
        errors[verb] = capsys.readouterr().err
    assert errors["monitor"] == errors["decode"] == \
        "kelvane: error: the model has 1000000000 detectors, more than the 4194304 a decoding graph may have\n"
