# Type stubs for the kelvane package: the extension's classes plus the package's own functions.
import os
from typing import Any

from _kelvane import CodeType as CodeType
from _kelvane import DecoderResult as DecoderResult
from _kelvane import DetectorErrorModel as DetectorErrorModel
from _kelvane import KelvaneError as KelvaneError
from _kelvane import KelvaneStream as KelvaneStream
from _kelvane import LogicalCorrection as LogicalCorrection
from _kelvane import LogicalErrorAccumulator as LogicalErrorAccumulator
from _kelvane import SpacetimeGraph as SpacetimeGraph
from _kelvane import SyndromeFrame as SyndromeFrame
from _kelvane import SyndromeWindow as SyndromeWindow
from _kelvane import _DemSource
from _kelvane import __version__ as __version__

__all__ = [
    "SyndromeFrame",
    "SyndromeWindow",
    "KelvaneStream",
    "CodeType",
    "DecoderResult",
    "LogicalCorrection",
    "DetectorErrorModel",
    "SpacetimeGraph",
    "LogicalErrorAccumulator",
    "KelvaneError",
    "__version__",
    "open",
    "sinter_decoders",
    "convert",
]

def open(
    source: str | os.PathLike[str], decoder: _DemSource | SpacetimeGraph | None = None, window_depth: int = 0
) -> KelvaneStream: ...

# {"kelvane-uf": a sinter.Decoder}
def sinter_decoders() -> dict[str, Any]: ...
def convert(src: Any, dst: Any, *, num_detectors: int | None = None, layout: Any = None) -> int: ...
