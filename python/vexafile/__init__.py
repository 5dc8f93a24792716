"""Read, check, compare and edit .vexa protocol files written by pyvexa.

    settings = vexafile.load("run1.vexa")
    print(vexafile.to_text(settings))
    for finding in vexafile.check(settings):
        print(finding)
    p = vexafile.to_protocol(settings)   # a pyvexa.Protocol to edit and save
"""

from ._builder import Builder, ProtocolError, ProtocolWarning
from ._check import Finding, check
from ._decode import Reader, VexaFormatError, load, loads
from ._diff import Difference, diff
from ._edit import snapshot, to_protocol
from ._json import to_jsonable, write_json
from ._limits import Limits, LimitsError
from ._records import *  # noqa: F403
from ._report import report_html
from ._summary import summary
from ._records import __all__ as _record_names
from ._text import format_f64, quote, to_text, write_text
from ._text_parse import loads_text

__all__ = [
    "Builder",
    "ProtocolError",
    "ProtocolWarning",
    "summary",
    "load",
    "loads",
    "to_text",
    "loads_text",
    "check",
    "Finding",
    "Limits",
    "LimitsError",
    "diff",
    "Difference",
    "to_protocol",
    "snapshot",
    "to_jsonable",
    "write_text",
    "write_json",
    "format_f64",
    "quote",
    "report_html",
    "Reader",
    "VexaFormatError",
    *_record_names,
]
