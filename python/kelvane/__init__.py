"""kelvane: stream QEC syndrome frames (KVLX) into Python and decode them."""

from _kelvane import *  # noqa: F401,F403
from _kelvane import __all__ as _native_all, __version__  # noqa: F401

__all__ = list(_native_all)
