"""What reading a damaged or truncated compressed file raises, told in a few words.

gzip, bzip2, xz and Zstandard each report a bad stream their own way: EOFError
when the data ends before its end marker, zlib.error, lzma.LZMAError, a bare
OSError (bzip2, gzip's BadGzipFile) or zstandard.ZstdError when it is damaged.
"""

from __future__ import annotations

import lzma
import sys
import zlib


def damaged_stream_reason(exc: BaseException) -> str | None:
    """The reason to report for exc, raised while reading a possibly compressed
    file, when it says the data is truncated or damaged; None when it is about
    something else (an OSError with an errno, such as a failed read, is)."""
    if isinstance(exc, EOFError):
        return "the compressed data ends early (is the file truncated?)"
    zstandard = sys.modules.get("zstandard")
    damaged = isinstance(exc, (zlib.error, lzma.LZMAError)) or (
        isinstance(exc, OSError) and exc.errno is None)
    if zstandard is not None and isinstance(exc, getattr(zstandard, "ZstdError", ())):
        damaged = True
    if not damaged:
        return None
    detail = " ".join(str(exc).split())
    return f"the compressed data is damaged ({detail})" if detail else "the compressed data is damaged"
