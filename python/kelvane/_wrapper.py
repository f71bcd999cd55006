"""The part the Python stream wrappers share: forwarding to the stream they wrap, and closing it."""

from __future__ import annotations

import errno
import os
import stat
from types import TracebackType
from typing import Any, Self


class StreamWrapper:
    """Forwards whatever it does not define itself to `stream`, and closes it on close or exit."""

    stream: Any

    def __getattr__(self, name: str) -> Any:
        return getattr(self.stream, name)

    def close(self) -> None:
        """Close the wrapped stream."""
        self.stream.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()


def open_native(source: Any, **kwargs: Any) -> Any:
    """``_kelvane.KelvaneStream(source, **kwargs)``, except that a local file the stream cannot
    open raises the operating system's own error for it (``FileNotFoundError``,
    ``PermissionError``, ``IsADirectoryError``, with ``filename`` set) instead of the stream's
    plain ``OSError`` without a file name."""
    from _kelvane import KelvaneStream

    try:
        stream = KelvaneStream(source, **kwargs)
    except OSError as error:
        if type(error) is OSError and error.errno is None:
            _raise_file_error(source)
        raise
    try:
        _check_file_header(source)
    except BaseException:
        stream.close()
        raise
    return stream


class NotKvlxError(OSError):
    """A source whose first bytes are no KVLX file header: nothing in it can be read as frames,
    so skipping damaged frames does not apply to it."""


def _check_file_header(source: Any) -> None:
    """Raises NotKvlxError ("PATH is not a KVLX stream (reason)") when `source` is a local regular
    file that starts with something else than a KVLX file header."""
    from kelvane import kvlx
    from kelvane._describe import local_file

    path = local_file(source)
    if path is None:
        return
    with open(path, "rb") as f:
        fault = kvlx._file_header_fault(f.read(kvlx.FILE_HEADER_SIZE))
    if fault is not None:
        raise NotKvlxError(f"{path} is not a KVLX stream ({fault})")


def _raise_file_error(source: Any) -> None:
    """Raises the error the operating system gives for opening `source` when it is a local path
    that cannot be opened as a file; returns otherwise (the stream's own error stands)."""
    if not isinstance(source, (str, os.PathLike)):
        return
    path = os.fspath(source)
    if not isinstance(path, str) or path.lower().startswith(("tcp://", "shm://")):
        return
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if stat.S_ISREG(mode):  # never a FIFO: opening one waits for its writer
            with open(path, "rb"):
                pass
    except OSError as real:
        raise real from None
