"""Reading past damaged frames: the stream `kelvane.open(..., errors="skip")` returns."""

from __future__ import annotations

import warnings
from typing import Any, Iterator

from _kelvane import KelvaneStream, SyndromeFrame
from kelvane._wrapper import StreamWrapper


def damage_kind(error: OSError) -> str | None:
    """The kind of damage an OSError of the reader reports ("CRC32 mismatch", "payload length
    mismatch", ...), or None when it is no damage in a frame: a timeout, a lost connection, a
    failed read, or a source without a KVLX file header, which end the stream as before. Damage
    in a frame says where the frame starts (`offset`); the other errors do not."""
    if type(error) is not OSError:  # TimeoutError, ConnectionResetError, FileNotFoundError, ...
        return None
    text = str(error)
    if text.startswith("i/o error") or getattr(error, "offset", None) is None:
        return None
    return text.split(":", 1)[0]


class SkippingStream(StreamWrapper):
    """A `KelvaneStream` that skips damaged frames instead of raising their `OSError`.

    The first frame skipped of each kind of damage gives one `RuntimeWarning`; every frame
    skipped is counted: `skipped_frames`, `skipped_bytes` (the bytes the reader passed over to
    find the next frame) and `skipped_by_kind` (kind -> frames). Everything else is the wrapped
    stream's (`stream`): iteration, `read_batch`, `drain`, `set_decoder`, the shot counters, `close`.
    Errors that are not damage in the data (timeouts, lost connections, failed reads) raise.
    `first_error` is the first damaged frame's OSError, with its `frame_id` and `offset`.
    """

    def __init__(self, stream: KelvaneStream) -> None:
        self.stream = stream
        self.skipped_frames = 0
        self.skipped_by_kind: dict[str, int] = {}
        self.first_error: OSError | None = None
        self._last_skip: tuple[int, str, int] | None = None

    def _skip(self, error: OSError) -> None:
        kind = damage_kind(error)
        if kind is None:
            raise error
        # The reader moves past a damaged frame before the next read; the same frame reported
        # again with no byte passed over would be skipped forever, so it raises instead.
        where = (error.offset, str(error), self.stream.skipped_bytes)  # type: ignore[attr-defined]
        if where == self._last_skip:
            raise error
        self._last_skip = where
        self.skipped_frames += 1
        if self.first_error is None:
            self.first_error = error
        if kind not in self.skipped_by_kind:
            warnings.warn(f"skipped a damaged frame ({error}); further frames damaged this way are skipped "
                          "without a warning and counted in skipped_by_kind", RuntimeWarning, stacklevel=3)
        self.skipped_by_kind[kind] = self.skipped_by_kind.get(kind, 0) + 1

    @property
    def skipped_bytes(self) -> int:
        """Bytes the reader passed over to find the next good frame (the stream's own count)."""
        return self.stream.skipped_bytes

    def skipped_text(self) -> str:
        """What was skipped, in one line: "none", or frames, bytes and frames by kind."""
        if not self.skipped_frames:
            return "none"
        kinds = ", ".join(f"{kind}: {n}" for kind, n in sorted(self.skipped_by_kind.items()))
        return f"{self.skipped_frames} damaged frames ({self.skipped_bytes} bytes passed over; {kinds})"

    def __iter__(self) -> Iterator[SyndromeFrame]:
        return self

    def __next__(self) -> SyndromeFrame:
        while True:
            try:
                return next(self.stream)
            except OSError as e:
                self._skip(e)

    def read_batch(self, max_frames: int) -> Any:
        """`KelvaneStream.read_batch`, going on past damaged frames."""
        while True:
            try:
                return self.stream.read_batch(max_frames)
            except OSError as e:
                self._skip(e)

    def drain(self, *args: Any, **kwargs: Any) -> bytes | None:
        """`KelvaneStream.drain`, going on past damaged frames."""
        while True:
            try:
                return self.stream.drain(*args, **kwargs)  # type: ignore[no-any-return]
            except OSError as e:
                self._skip(e)

    def __repr__(self) -> str:
        return f"SkippingStream(skipped_frames={self.skipped_frames}, skipped_bytes={self.skipped_bytes})"
