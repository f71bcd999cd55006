"""The part the Python stream wrappers share: forwarding to the stream they wrap, and closing it."""

from __future__ import annotations

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
