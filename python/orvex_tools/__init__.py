"""orvex_tools: the companion package of orvex_chess.

The module orvex_chess holds the two classes Board and MoveGenerator; what is
built on top of them lives here: the orvex-chess command line
(python -m orvex_tools).
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("orvex_chess")
except PackageNotFoundError:  # running from a source tree
    __version__ = "unknown"

__all__ = ["__version__"]
