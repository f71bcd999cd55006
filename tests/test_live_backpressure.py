"""Live decoding reads no further ahead of the decoder than its byte budget: a sender far faster
than the decoder is held by TCP's flow control, memory stays bounded, and no frame is lost."""

import socket
import threading
import time

import numpy as np
import stim

import kelvane
import _kelvane
from kelvane.kvlx import _SHOT_HEADER_BITS, FILE_HEADER_SIZE, KvlxWriter

FRAMES = 300_000
BUDGET = 256 << 10


def rss_mb():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024


def test_a_fast_sender_is_held_by_flow_control_and_loses_no_frame(tmp_path):
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=6,
                                     after_clifford_depolarization=0.01)
    dem, layout = circuit.detector_error_model(decompose_errors=True), kelvane.layout_from_stim(circuit)
    rng = np.random.default_rng(5)
    path = tmp_path / "endless.kvlx"
    js = np.arange(FRAMES)
    with KvlxWriter(str(path)) as writer:  # one endless stream: rounds 0, 1, 2, ...
        events = (rng.random((FRAMES, layout.shape[1])) < 0.02).astype(np.uint8)
        writer.write_bytes(_kelvane._kvlx_encode_frames(events, events.shape[1], js.astype("<u8"), js.astype("<u4"),
                                                        None, 0, None, (0,) * len(_SHOT_HEADER_BITS), None, None))
    data = path.read_bytes()
    server = socket.create_server(("127.0.0.1", 0))
    sent = threading.Event()

    def send():
        with server, server.accept()[0] as conn:
            conn.sendall(data)
            sent.set()

    threading.Thread(target=send, daemon=True).start()
    before = rss_mb()
    ahead, unread, held, rss = [], [], [], []
    with kelvane.open(f"tcp://127.0.0.1:{server.getsockname()[1]}", decoder=dem, layout=layout, commit=3, buffer=3,
                      read_ahead=BUDGET, timeout=60) as stream:
        decisions = 0
        while (records := stream.drain(0.005)) is not None:
            time.sleep(0.005)  # a decoder slower than the sender: it decodes only inside drain()
            decisions += len(records)
            rss.append(rss_mb())
            counts = stream._live_counts()
            ahead.append(counts["read_ahead_bytes"])
            unread.append(counts["socket_unread_bytes"])
            held.append(not sent.is_set())
        stats = stream.live_stats()
    grown = max(rss) - before
    with kelvane.open(str(path), decoder=dem, layout=layout, commit=3, buffer=3) as from_file:
        expected = sum(len(r) for r in iter(lambda: from_file.drain(1.0), None))
    assert stats["frames_decoded"] == stats["frames_arrived"] == FRAMES and decisions == expected
    assert max(ahead) <= BUDGET + 1024  # one frame past the budget at most
    # The sender was held: its data waited in the socket while the decoder worked through the budget.
    assert sum(held) > len(held) // 2 and max(u or 0 for u in unread) > 0
    # Unbounded, the queue would hold every frame the sender got ahead by (~150 bytes a frame).
    assert grown < 8, f"peak RSS grew {grown:.1f} MB for {len(data) / 2**20:.1f} MB of frames"
    assert len(data) - FILE_HEADER_SIZE > 8 * 2**20
