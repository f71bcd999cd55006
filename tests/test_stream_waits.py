"""KelvaneStream waits without the interpreter lock: timeouts, signals, threads, resets, FIFOs, fork.

The peers run as threads of this process, which only works because a waiting stream gives up
the interpreter lock.
"""

from __future__ import annotations

import _thread
import multiprocessing
import os
import signal
import socket
import struct
import threading
import time

import pytest

import kelvane
from _kelvane import KelvaneStream

from kvlx_frames import expected_view, file_bytes, frame_view, make_frames, write_file

FRAMES = make_frames(4, ancillas=9, seed=3)
DATA = file_bytes(FRAMES)
EXPECTED = [expected_view(f) for f in FRAMES]


class Peer:
    """A loopback listener whose accepted connection the test drives by hand."""

    def __init__(self, backlog=1):
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=backlog)
        self.address = "tcp://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.conn = None
        self._accepted = threading.Thread(target=self._accept)
        self._accepted.start()

    def _accept(self):
        self.listener.settimeout(10)
        self.conn, _ = self.listener.accept()

    def send(self, data):
        self._accepted.join()
        self.conn.sendall(data)

    def reset(self):
        self._accepted.join()
        self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.conn.close()
        self.conn = None

    def close(self):
        self._accepted.join()
        if self.conn:
            self.conn.close()
        self.listener.close()


@pytest.fixture
def peer():
    p = Peer()
    yield p
    p.close()


def later(seconds, fn, *args):
    t = threading.Timer(seconds, fn, args)
    t.start()
    return t


def test_timeout_and_interruptions_leave_the_stream_usable(peer):
    s = KelvaneStream(peer.address, timeout=1)
    half = len(DATA) // 2  # part of the header and frames, so that frames are cut mid-way
    peer.send(DATA[:half])
    got = []
    with pytest.raises(TimeoutError, match=r"^timed out after 1 s waiting for data$"):
        while True:
            got.append(frame_view(next(s)))
    for stop in (_thread.interrupt_main, lambda: os.kill(os.getpid(), signal.SIGINT)):
        timer = later(0.05, stop)  # well before the timeout
        with pytest.raises(KeyboardInterrupt):
            next(s)
        timer.join()
    peer.send(DATA[half:])
    peer.close()
    got += [frame_view(f) for f in s]
    assert got == EXPECTED


def test_live_decoding_waits_interruptibly_and_close_cancels_it(peer):
    import stim

    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=6,
                                     after_clifford_depolarization=0.01)
    s = KelvaneStream(peer.address)
    s.set_decoder(circuit.detector_error_model(), layout=kelvane.layout_from_stim(circuit), commit=2, buffer=2)
    for stop in (_thread.interrupt_main, lambda: os.kill(os.getpid(), signal.SIGINT)):
        timer = later(0.05, stop)  # nothing arrives: only the signal ends the wait
        with pytest.raises(KeyboardInterrupt):
            s.drain(60)
        timer.join()
    assert s.drain(0) == b""
    later(0.2, s.close)
    with pytest.raises(OSError, match="^stream is closed$"):
        s.drain(60)


def test_other_threads_wait_their_turn_and_close_cancels(peer):
    s = KelvaneStream(peer.address)
    results = []
    threads = [threading.Thread(target=lambda: results.append(frame_view(next(s)))) for _ in range(2)]
    for t in threads:
        t.start()
    time.sleep(0.2)  # both are now waiting, one for data and one for its turn
    peer.send(DATA[: len(DATA) - 1])  # every frame but the last one's final byte
    for t in threads:
        t.join()
    assert sorted(results, key=lambda v: v["frame_id"]) == EXPECTED[:2]
    assert frame_view(next(s)) == EXPECTED[2]
    later(0.2, s.close)
    with pytest.raises(OSError, match="^stream is closed$"):
        next(s)  # the last frame never completes: close() ends the wait
    with pytest.raises(OSError, match="^stream is closed$"):
        next(s)


def test_a_signal_handler_reading_the_waiting_stream_gets_the_borrow_error(peer):
    s = KelvaneStream(peer.address)
    old = signal.signal(signal.SIGUSR1, lambda *_: next(s))
    try:
        later(0.1, os.kill, os.getpid(), signal.SIGUSR1)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            next(s)
    finally:
        signal.signal(signal.SIGUSR1, old)
    peer.send(DATA)
    assert frame_view(next(s)) == EXPECTED[0]


def test_a_reset_connection_fails_at_once_every_time(peer):
    s = KelvaneStream(peer.address, timeout=10)
    peer.send(DATA[:60])
    time.sleep(0.1)
    peer.reset()
    for _ in range(3):
        with pytest.raises(OSError) as exc:
            next(s)
        assert str(exc.value) == "i/o error: Connection reset by peer (os error 104)"


def test_connect_timeout_on_a_full_backlog():
    listener = socket.create_server(("127.0.0.1", 0), backlog=0)
    port = listener.getsockname()[1]
    fillers = []
    try:
        for _ in range(4):  # fill the accept queue: later SYNs are dropped
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex(("127.0.0.1", port))
            fillers.append(c)
        time.sleep(0.1)
        with pytest.raises(TimeoutError, match=r"^timed out after 0.3 s connecting$"):
            kelvane.open(f"tcp://127.0.0.1:{port}", timeout=0.3)
    finally:
        for c in fillers:
            c.close()
        listener.close()


def test_fifo_open_times_out_and_close_does_not_wait_for_its_writer(tmp_path):
    fifo = tmp_path / "live.kvlx"
    os.mkfifo(fifo)
    with pytest.raises(TimeoutError, match=r"^timed out after 0.2 s opening$"):
        KelvaneStream(fifo, timeout=0.2)
    writer = later(0.1, lambda: setattr(writer, "fd", os.open(fifo, os.O_WRONLY)))
    s = KelvaneStream(fifo)
    writer.join()
    try:
        many = make_frames(200, ancillas=40, seed=4)
        payload = file_bytes(many)
        assert len(payload) > 16384
        os.write(writer.fd, payload[:16384])
        assert frame_view(next(s)) == expected_view(many[0])
        s.close()  # the writer stays open and silent
    finally:
        os.close(writer.fd)


def _child_reads(stream, path, queue):
    try:
        next(stream)
        outcome = "read"
    except OSError as e:
        outcome = str(e)
    stream.close()
    own = [f.frame_id for f in KelvaneStream(path)]
    queue.put((outcome, own))


def test_forked_children_refuse_inherited_streams_and_open_their_own(tmp_path):
    path = write_file(tmp_path / "f.kvlx", FRAMES)
    inherited = KelvaneStream(path)
    next(inherited)  # the parent's runtime threads exist and hold state
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child_reads, args=(inherited, str(path), queue))
    child.start()
    outcome, own = queue.get(timeout=30)
    child.join(30)
    assert child.exitcode == 0
    assert outcome.startswith("i/o error: stream was opened by process %d and is not usable after fork()" % os.getpid())
    assert own == [f["frame_id"] for f in FRAMES]
    assert [frame_view(f) for f in inherited] == EXPECTED[1:]  # the parent's stream is intact


def test_read_batch_waits_like_next(peer):
    s = KelvaneStream(peer.address, timeout=1)
    with pytest.raises(TimeoutError):
        s.read_batch(10)
    peer.send(DATA[:-1])  # three whole frames, the fourth without its last byte
    timer = later(0.3, _thread.interrupt_main)
    with pytest.raises(KeyboardInterrupt):
        s.read_batch(10)  # interrupted after three frames: they are kept for the next call
    timer.join()
    batch = s.read_batch(10)  # the fourth frame never completes: the timeout ends the batch
    assert list(batch.frame_ids) == [f["frame_id"] for f in FRAMES[:3]]
    later(0.1, s.close)
    with pytest.raises(OSError, match="^stream is closed$"):
        s.read_batch(10)


def test_streams_share_one_small_runtime(tmp_path):
    path = write_file(tmp_path / "s.kvlx", FRAMES)
    threads = lambda: len(os.listdir("/proc/self/task"))  # noqa: E731
    before = threads()
    streams = [KelvaneStream(path) for _ in range(30)]
    for s in streams:
        next(s)
    assert threads() - before <= 3  # one I/O thread and two pool threads, whatever the count
    for s in streams:
        s.close()
    assert threads() <= before
