"""kelvane: stream QEC syndrome frames (KVLX) into Python and decode them."""

from _kelvane import *  # noqa: F401,F403
from _kelvane import KelvaneStream
from _kelvane import __all__ as _native_all, __version__  # noqa: F401

from kelvane import _pickle  # noqa: F401,E402  (registers the pickle reducers)
from kelvane._convert import convert  # noqa: E402

__all__ = list(_native_all) + ["open", "sinter_decoders", "convert"]


def open(source, decoder=None, window_depth=0, *, layout=None, per_shot=False):  # noqa: A001 - the entry point
    """Open a `KelvaneStream` over a file path or a "tcp://host:port" address.

    With `decoder` (a DEM path, DEM text, a ``stim.DetectorErrorModel``, a kelvane
    ``DetectorErrorModel`` or a ``SpacetimeGraph``) the stream decodes its frames, exactly as
    after ``stream.set_decoder(decoder, window_depth, layout=layout, per_shot=per_shot)``:
    `layout` says which detector each frame bit is (see `layout_from_stim`), and
    ``per_shot=True`` decodes each shot once, on its last frame. If configuring the decoder
    fails, the stream is closed and the error propagates.
    """
    stream = KelvaneStream(source)
    if decoder is not None:
        try:
            stream.set_decoder(decoder, window_depth, layout=layout, per_shot=per_shot)
        except BaseException:
            stream.close()
            raise
    return stream


def sinter_decoders():
    """sinter decoders backed by kelvane, for ``sinter.collect(custom_decoders=...)``.

    Returns ``{"kelvane-uf": <sinter.Decoder>}``: the weighted Union-Find decoder, fed sinter's
    bit-packed shots directly. Needs sinter installed.
    """
    from kelvane._sinter import sinter_decoders as decoders

    return decoders()
