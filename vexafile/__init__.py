"""Reader for .vexa protocol files written by pyvexa.

    settings = vexafile.load("run1.vexa")
    print(vexafile.to_text(settings))
"""

from ._check import Finding, check
from ._decode import Reader, VexaFormatError, load, loads
from ._diff import Difference, diff
from ._json import to_jsonable, write_json
from ._records import *  # noqa: F403
from ._records import __all__ as _record_names
from ._text import format_f64, quote, to_text, write_text

__all__ = [
    "load",
    "loads",
    "to_text",
    "check",
    "Finding",
    "to_jsonable",
    "write_text",
    "write_json",
    "format_f64",
    "quote",
    "diff",
    "Difference",
    "Reader",
    "VexaFormatError",
    *_record_names,
]
