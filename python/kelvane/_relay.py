"""A tcp:// KVLX stream read on its own thread, so that a decoder that falls behind shows it.

`ArrivalTap` connects to the server, stamps every frame with the time its last byte arrived,
keeps what the decoder has not taken yet in memory, and hands the bytes on through a FIFO that
`KelvaneStream` reads. Rounds that arrived but were not yet decoded are then counted here,
instead of waiting unseen in the socket's buffer.
"""

from __future__ import annotations

import collections
import os
import socket
import tempfile
import threading
import time
from typing import Any

from kelvane.kvlx import FILE_HEADER_SIZE, frame_spans


class ArrivalTap:
    def __init__(self, url: str) -> None:
        host, _, port = url[len("tcp://"):].rpartition(":")
        self._sock = socket.create_connection((host.strip("[]"), int(port)), timeout=30)
        self._sock.settimeout(None)
        self._dir = tempfile.TemporaryDirectory(prefix="kelvane-tap-")
        self.path = os.path.join(self._dir.name, "stream.fifo")
        os.mkfifo(self.path)
        self.arrivals: list[float] = []  # perf_counter time of each frame's arrival, in order
        self._chunks: collections.deque[bytes] = collections.deque()
        self._ready = threading.Condition()
        self._ended = False
        self._threads = [threading.Thread(target=self._receive, daemon=True),
                         threading.Thread(target=self._forward, daemon=True)]
        for t in self._threads:
            t.start()

    def arrived(self) -> int:
        return len(self.arrivals)

    def _receive(self) -> None:
        pending = bytearray()
        offset = FILE_HEADER_SIZE
        try:
            while chunk := self._sock.recv(1 << 16):
                now = time.perf_counter()
                with self._ready:
                    self._chunks.append(chunk)
                    self._ready.notify()
                pending += chunk
                if len(pending) < offset:
                    continue
                spans = frame_spans(pending, offset)
                if spans:
                    self.arrivals.extend([now] * len(spans))
                    del pending[: spans[-1][1]]
                    offset = 0
        except OSError:
            pass  # the connection failed: the decoder sees the stream end
        finally:
            with self._ready:
                self._ended = True
                self._ready.notify()

    def _forward(self) -> None:
        try:
            with open(self.path, "wb", buffering=0) as fifo:
                while True:
                    with self._ready:
                        while not self._chunks and not self._ended:
                            self._ready.wait()
                        if not self._chunks:
                            return
                        data = b"".join(self._chunks)
                        self._chunks.clear()
                    fifo.write(data)
        except OSError:
            pass  # the decoder closed its end

    def close(self) -> None:
        self._sock.close()
        self._dir.cleanup()

    def __enter__(self) -> "ArrivalTap":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
