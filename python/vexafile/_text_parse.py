"""Parser of the indented text form: the exact inverse of to_text.

The grammar follows the records themselves: every record, list and signal
variant opens on the line of its field and closes on a line of its own at the
field's indentation. Each value must be written exactly as to_text writes it
(checked by rendering the parsed value again), so a text is accepted only
when to_text of the result gives the same text back.
"""

from __future__ import annotations

import typing
from array import array

from ._decode import as_samples, samples_type
from ._model import U64_LIMIT
from ._records import SAMPLES, SIGNAL_VARIANTS, ListOf, Settings, Signal, record_fields
from ._text import ESCAPES, INDENT, format_f64, quote

__all__ = ["loads_text"]

_UNESCAPES = {esc[1]: ch for ch, esc in ESCAPES.items()}
_HEX_DIGITS = frozenset("0123456789abcdef")
# Sample lines are converted this many characters at a time (a whole line more
# at most), which bounds the memory taken beyond the result.
_SAMPLE_CHUNK = 1 << 20
# Longest shown part of an offending line.
_SHOWN = 60


class _Parser:
    """Cursor over the lines of the text: `line` is the current line without
    its line break (None past the end), `pos` where it starts."""

    __slots__ = ("text", "pos", "lineno", "line", "next")

    def __init__(self, text: str):
        self.text = text
        self.seek(0, 1)

    def seek(self, pos: int, lineno: int) -> None:
        """Make the line that starts at `pos` current."""
        text = self.text
        self.pos, self.lineno = pos, lineno
        if pos > len(text):
            self.line, self.next = None, pos
            return
        nl = text.find("\n", pos)
        if nl < 0:
            nl = len(text)
        self.line, self.next = text[pos:nl], nl + 1

    def advance(self) -> None:
        self.seek(self.next, self.lineno + 1)

    def fail(self, expected: str) -> typing.NoReturn:
        line = self.line
        if line is None:
            found = "the end of the text"
        elif len(line) > _SHOWN:
            found = repr(line[:_SHOWN]) + "..."
        else:
            found = repr(line)
        raise ValueError(f"line {self.lineno}: expected {expected}, found {found}")

    def expect_line(self, wanted: str) -> None:
        if self.line != wanted:
            self.fail(repr(wanted))
        self.advance()

    def head(self, prefix: str, expected: str) -> str:
        """The rest of the current line after `prefix`."""
        line = self.line
        if line is None or not line.startswith(prefix):
            self.fail(expected)
        return line[len(prefix) :]


# A kind parses one value: kind(parser, indent, head, suffix), where `head` is
# the rest of the value's first line (after the field name or the element's
# indentation), `indent` that line's indentation, and `suffix` what follows
# the value on its last line ("," everywhere inside a record).
Kind = typing.Callable[[_Parser, str, str, str], typing.Any]


def _scalar(convert: typing.Callable[[str], typing.Any], what: str) -> Kind:
    def parse(p: _Parser, indent: str, head: str, suffix: str):
        value = None
        if head.endswith(suffix):
            value = convert(head[: len(head) - len(suffix)])
        if value is None:
            p.fail(f"{what} followed by {suffix!r}")
        p.advance()
        return value

    return parse


def _f64(token: str) -> float | None:
    try:
        value = float(token)
    except ValueError:
        return None
    return value if format_f64(value) == token else None


def _u64(token: str) -> int | None:
    if not (token.isascii() and token.isdigit() and len(token) <= 20):
        return None
    value = int(token)
    return value if value < U64_LIMIT and str(value) == token else None


def _bool(token: str) -> bool | None:
    return {"true": True, "false": False}.get(token)


def _unquote(token: str) -> str | None:
    """The text that quote() turns into `token`, or None if there is none."""
    if len(token) < 2 or token[0] != '"' or token[-1] != '"':
        return None
    out = []
    i, end = 1, len(token) - 1
    while i < end:
        ch = token[i]
        i += 1
        if ch != "\\":
            out.append(ch)
            continue
        code = token[i] if i < end else ""
        if code != "u":
            plain = _UNESCAPES.get(code)
            if plain is None:
                return None
            out.append(plain)
            i += 1
            continue
        close = token.find("}", i, end)
        digits = token[i + 2 : close]
        if token[i + 1 : i + 2] != "{" or close < 0 or not digits or len(digits) > 6:
            return None
        if not _HEX_DIGITS.issuperset(digits) or int(digits, 16) > 0x10FFFF:
            return None
        out.append(chr(int(digits, 16)))
        i = close + 1
    text = "".join(out)
    try:
        text.encode("utf-8")  # a file holds UTF-8: no lone surrogates
    except UnicodeEncodeError:
        return None
    return text if quote(text) == token else None


def _list(element: Kind, what: str, length: int | None = None) -> Kind:
    def parse(p: _Parser, indent: str, head: str, suffix: str):
        if head == "[]" + suffix and not length:
            p.advance()
            return ()
        if head != "[":
            p.fail(repr("[") if length else f"{'[]' + suffix!r} or '['")
        p.advance()
        inner = indent + INDENT
        close = indent + "]" + suffix
        items: list = []
        while True:
            if items and p.line == close and (length is None or len(items) == length):
                break
            if length is not None and len(items) == length:
                p.fail(f"{close!r} after {length} elements")
            items.append(element(p, inner, p.head(inner, f"{what} indented by {len(inner)} blanks"), ","))
        p.advance()
        return tuple(items)

    return parse


def _record(cls: type, kinds: list[tuple[str, Kind]]) -> Kind:
    opening = f"{cls.__name__} {{"

    def parse(p: _Parser, indent: str, head: str, suffix: str):
        if head != opening:
            p.fail(repr(opening))
        p.advance()
        inner = indent + INDENT
        values = []
        for name, kind in kinds:
            prefix = f"{inner}{name}: "
            rest = p.head(prefix, f"field {name!r} indented by {len(inner)} blanks")
            values.append(kind(p, inner, rest, ","))
        p.expect_line(indent + "}" + suffix)
        return cls(*values)

    return parse


def _signal(variants: tuple[typing.Any, ...], params_kind: typing.Callable[[type], Kind]) -> Kind:
    by_opening = {f"{cls.__name__}(": cls for cls in variants}
    expected = "a signal variant (" + ", ".join(repr(o) for o in by_opening) + ")"

    def parse(p: _Parser, indent: str, head: str, suffix: str):
        cls = by_opening.get(head)
        if cls is None:
            p.fail(expected)
        p.advance()
        inner = indent + INDENT
        rest = p.head(inner, f"the parameters indented by {len(inner)} blanks")
        params = params_kind(cls.params_type)(p, inner, rest, ",")
        p.expect_line(indent + ")" + suffix)
        return cls(params)

    return parse


def _sample_block_python(text: str, inner: str):
    """The samples of lines `inner` + value + "," (each ending in a line
    break) written exactly as to_text writes them, or None."""
    sep = ",\n" + inner
    try:
        values = array("h", map(int, text[len(inner) : -2].split(sep)))
    except (ValueError, OverflowError):
        return None
    # int() also takes blanks, "+", "_" and leading zeros: only the exact
    # rendering of the values is the text form.
    if inner + sep.join(map(str, values)) + ",\n" != text:
        return None
    return values


_SPACE, _COMMA, _MINUS, _ZERO, _NEWLINE = b" ,-0\n"


def _sample_block_numpy(np, text: str, inner: str):
    """As _sample_block_python, one vectorised pass per check."""
    try:
        buf = np.frombuffer(text.encode("ascii"), dtype=np.uint8)
    except UnicodeEncodeError:
        return None
    ends = np.flatnonzero(buf == _NEWLINE)
    n, k = len(ends), len(inner)
    if n == 0 or ends[-1] != len(buf) - 1:
        return None
    starts = np.empty_like(ends)
    starts[0] = 0
    starts[1:] = ends[:-1] + 1
    if (ends - starts < k + 2).any():  # room for the indentation, a digit and ","
        return None
    # Every byte is a blank, comma, minus, digit or line break, and there are
    # exactly as many of the first three as the places checked below hold.
    spaces = np.count_nonzero(buf == _SPACE)
    commas = np.count_nonzero(buf == _COMMA)
    minus = np.count_nonzero(buf == _MINUS)
    digits = np.count_nonzero((buf - _ZERO) < 10)
    if spaces != k * n or commas != n or spaces + commas + minus + digits + n != len(buf):
        return None
    for j in range(k):
        if (buf[starts + j] != _SPACE).any():
            return None
    if (buf[ends - 1] != _COMMA).any():
        return None
    negative = buf[starts + k] == _MINUS
    if np.count_nonzero(negative) != minus:
        return None
    first = starts + k + negative
    count = ends - 1 - first
    if count.min() < 1 or count.max() > 5:
        return None
    if ((buf[first] == _ZERO) & ((count > 1) | negative)).any():  # leading zero, "-0"
        return None
    value = np.zeros(n, dtype=np.int32)
    for j in range(int(count.max())):
        more = j < count
        digit = buf[np.where(more, first + j, first)].astype(np.int32) - _ZERO
        value = np.where(more, value * 10 + digit, value)
    value = np.where(negative, -value, value)
    if value.min() < -32768 or value.max() > 32767:
        return None
    return value.astype(np.int16)


def _samples(p: _Parser, indent: str, head: str, suffix: str):
    np = samples_type()
    if head == "[]" + suffix:
        p.advance()
        return as_samples(array("h"))
    if head != "[":
        p.fail(f"{'[]' + suffix!r} or '['")
    p.advance()
    inner = indent + INDENT
    text = p.text
    # The block ends before the first line at the list's own indentation; a
    # sample line is indented further.
    close = text.find("\n" + indent + "]", p.pos - 1)
    end = close + 1 if close >= p.pos else p.pos
    chunks = []
    while p.pos < end:
        stop = end if end - p.pos <= _SAMPLE_CHUNK else text.index("\n", p.pos + _SAMPLE_CHUNK) + 1
        block = text[p.pos : stop]
        values = _sample_block_python(block, inner) if np is None else _sample_block_numpy(np, block, inner)
        if values is None:
            _fail_at_bad_sample(p, inner)
        chunks.append(values)
        p.seek(stop, p.lineno + len(values))
    if not chunks:
        _fail_at_bad_sample(p, inner)
    p.expect_line(indent + "]" + suffix)
    if np is None:
        out = array("h")
        for values in chunks:
            out += values
        return out
    out = np.concatenate(chunks)
    out.flags.writeable = False
    return out


def _fail_at_bad_sample(p: _Parser, inner: str) -> typing.NoReturn:
    """Walk the lines from the current one to the first that is not a sample."""
    while True:
        line = p.line
        if line is None or not line.startswith(inner) or not line.endswith(","):
            break
        token = line[len(inner) : -1]
        digits = token[1:] if token.startswith("-") else token
        if not (digits.isascii() and digits.isdigit() and len(digits) <= 5):
            break
        if str(int(token)) != token or not -32768 <= int(token) <= 32767:
            break
        p.advance()
    p.fail(f"a sample (an integer from -32768 to 32767) indented by {len(inner)} blanks followed by ','")


def _build_kinds() -> Kind:
    """The kind of Settings, derived from the record declarations."""
    made: dict[type, Kind] = {}
    scalars: dict[typing.Any, Kind] = {
        float: _scalar(_f64, "a double"),
        bool: _scalar(_bool, "'true' or 'false'"),
        int: _scalar(_u64, f"an unsigned 64-bit integer (0 to {U64_LIMIT - 1})"),
        str: _scalar(_unquote, "quoted text as vexafile.quote writes it"),
        SAMPLES: _samples,
    }

    def kind_of(shape) -> Kind:
        if isinstance(shape, ListOf):
            return _list(kind_of(shape.element), "an element", shape.length)
        if shape is Signal:
            return _signal(SIGNAL_VARIANTS, record_kind)
        if shape in scalars:
            return scalars[shape]
        return record_kind(shape)

    def record_kind(cls: type) -> Kind:
        if cls not in made:
            made[cls] = _record(cls, [(name, kind_of(shape)) for name, shape in record_fields(cls)])
        return made[cls]

    return record_kind(Settings)


_SETTINGS = _build_kinds()


def loads_text(text: str) -> Settings:
    """Parse the text form that str() of a pyvexa.Protocol and to_text give.

    Strict: anything but exactly that text (field names and order,
    indentation, commas, number formats and ranges, no trailing line break)
    raises ValueError naming the line and what was expected there. Samples
    come back as load gives them: a read-only NumPy int16 array, or
    array('h') without NumPy.
    """
    if not isinstance(text, str):
        raise TypeError(f"loads_text() takes str, not {type(text).__name__}")
    p = _Parser(text)
    p.expect_line("Protocol {")
    outer = INDENT
    settings = _SETTINGS(p, outer, p.head(outer + "settings: ", "'    settings: Settings {'"), ",")
    p.expect_line("}")
    if p.line is not None:
        p.fail("the end of the text")
    return settings
