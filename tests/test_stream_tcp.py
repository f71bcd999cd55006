"""KelvaneStream over real TCP connections to a server in a separate process."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time

import pytest

from _kelvane import KelvaneStream

from kvlx_frames import expected_view, file_bytes, frame_view, make_frames, write_file

SERVER = os.path.join(os.path.dirname(__file__), "kvlx_tcp_server.py")


class Server:
    """Starts the server process and yields its address; always reaps the process."""

    def __init__(self, tmp_path, data, mode, arg=None):
        path = tmp_path / f"served_{mode}.kvlx"
        path.write_bytes(data)
        cmd = [sys.executable, SERVER, mode, str(path)] + ([str(arg)] if arg is not None else [])
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.proc.wait(timeout=30)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()
        assert self.proc.returncode == 0


FRAMES = make_frames(6, ancillas=13, seed=21, timing=True)


def test_bytewise_delivery_gives_the_same_frames_as_the_file(tmp_path):
    data = file_bytes(FRAMES)
    from_file = [frame_view(f) for f in KelvaneStream(str(write_file(tmp_path / "f.kvlx", FRAMES)))]
    with Server(tmp_path, data, "bytewise") as srv:
        with KelvaneStream(f"tcp://127.0.0.1:{srv.port}") as s:
            got = [frame_view(f) for f in s]
            assert list(s) == []  # the peer has gone: the end again
    assert got == from_file == [expected_view(f) for f in FRAMES]


def test_doubled_prefix_and_host_name(tmp_path):
    with Server(tmp_path, file_bytes(FRAMES), "all") as srv:
        with KelvaneStream(f"tcp://tcp://localhost:{srv.port}") as s:
            assert [f.frame_id for f in s] == [f["frame_id"] for f in FRAMES]


def test_close_right_after_the_file_header(tmp_path):
    with Server(tmp_path, file_bytes(FRAMES), "prefix", 26) as srv:
        s = KelvaneStream(f"tcp://127.0.0.1:{srv.port}")
        for _ in range(2):
            with pytest.raises(StopIteration):
                next(s)
        s.close()


@pytest.mark.parametrize("into, found", [(20, "36 bytes, found 20"), (36 + 2 + 3, ", found 3")])
def test_close_mid_frame(tmp_path, into, found):
    data = file_bytes(FRAMES)
    one = len(file_bytes(FRAMES[:1]))
    with Server(tmp_path, data, "prefix", one + into) as srv:
        s = KelvaneStream(f"tcp://127.0.0.1:{srv.port}")
        assert next(s).frame_id == FRAMES[0]["frame_id"]
        with pytest.raises(OSError) as exc:
            next(s)
        assert str(exc.value).startswith("payload length mismatch: header declares ")
        assert str(exc.value).endswith(found)
        with pytest.raises(StopIteration):
            next(s)
        s.close()


def test_silent_server_then_data(tmp_path):
    with Server(tmp_path, file_bytes(FRAMES[:2]), "delay", 0.5) as srv:
        s = KelvaneStream(f"tcp://127.0.0.1:{srv.port}")
        start = time.monotonic()
        first = next(s)  # blocks until the data arrives
        assert time.monotonic() - start >= 0.3
        assert first.frame_id == FRAMES[0]["frame_id"]
        assert [f.frame_id for f in s] == [FRAMES[1]["frame_id"]]
        s.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize(
    "source, text",
    [
        ("tcp://", "i/o error: invalid socket address '': missing port"),
        ("tcp://127.0.0.1", "i/o error: invalid socket address '127.0.0.1': missing port"),
        ("tcp://127.0.0.1:", "i/o error: invalid socket address '127.0.0.1:': missing port"),
        ("tcp://127.0.0.1:99999", "i/o error: invalid socket address '127.0.0.1:99999': invalid port"),
        ("tcp://127.0.0.1:http", "i/o error: invalid socket address '127.0.0.1:http': invalid port"),
        ("tcp://[::1]", "i/o error: invalid socket address '[::1]': missing port"),
        ("tcp://[::1]x", "i/o error: invalid socket address '[::1]x': invalid port"),
        ("tcp://:9000", "i/o error: invalid socket address ':9000': missing host"),
        ("tcp://[]:9000", "i/o error: invalid socket address '[]:9000': missing host"),
        ("tcp://local\0host:9000", "i/o error: invalid socket address 'local\0host:9000': host contains a NUL byte"),
    ],
)
def test_malformed_addresses(source, text):
    with pytest.raises(OSError) as exc:
        KelvaneStream(source)
    assert str(exc.value) == text


def test_connection_refused():
    with pytest.raises(OSError) as exc:
        KelvaneStream(f"tcp://127.0.0.1:{free_port()}")
    assert str(exc.value) == "i/o error: Connection refused (os error 111)"
    assert exc.value.errno is None


def test_unresolvable_name():
    with pytest.raises(OSError) as exc:
        KelvaneStream("tcp://name-that-does-not-resolve.invalid:9000")
    assert str(exc.value).startswith("i/o error: failed to resolve 'name-that-does-not-resolve.invalid': ")
