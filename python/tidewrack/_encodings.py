"""Input encodings: the engine decodes the common ones itself; any other codec
Python knows is decoded here into UTF-8 first."""

from __future__ import annotations

import codecs
import functools
import math
import re
import unicodedata
from collections.abc import Generator, Iterable

from ._options import AUTO

TYPE_CHECKING = False  # importing typing would slow every command's start
if TYPE_CHECKING:
    from ._report import Report

# Python's canonical codec names of the encodings the engine decodes, and the
# engine's names for them.
_ENGINE_NAMES = {
    "utf-8": "utf-8",
    "utf-8-sig": "utf-8",
    "cp1252": "cp1252",
    "iso8859-1": "latin-1",
    "utf-16": "utf-16",
    "utf-16-le": "utf-16-le",
    "utf-16-be": "utf-16-be",
    "utf-32": "utf-32",
    "utf-32-le": "utf-32-le",
    "utf-32-be": "utf-32-be",
}


def resolve(encoding: str) -> tuple[str, str | None]:
    """The engine's encoding for ``encoding``, and the Python codec that must decode the input first (or None).

    ValueError for a name no codec answers to, or a codec that does not decode bytes to text.
    """
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be str, not {type(encoding).__name__}")
    if encoding == AUTO:
        return AUTO, None
    try:
        info = codecs.lookup(encoding)
    except LookupError:
        raise ValueError(f"unknown encoding: {encoding!r}") from None
    if info.name in _ENGINE_NAMES:
        return _ENGINE_NAMES[info.name], None
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError(f"encoding {encoding!r} does not decode bytes to text")
    try:
        codecs.getincrementaldecoder(info.name)(_UNDECODABLE).decode(_EVERY_BYTE, final=True)
    except (LookupError, UnicodeError):  # idna, punycode, undefined: they take no error handler, or refuse everything
        raise ValueError(f"encoding {encoding!r} cannot read damaged input") from None
    return "utf-8", info.name


def _undecodable(err: UnicodeError) -> tuple[str, int]:
    """Each byte the codec cannot decode becomes a byte that is never UTF-8, which the engine replaces
    by U+FFFD, counts and logs. (The bytes themselves could form UTF-8 again, or be ASCII.)"""
    if not isinstance(err, UnicodeDecodeError):
        raise err
    return "\udcff" * (err.end - err.start), err.end


_UNDECODABLE = "tidewrack-undecodable"
codecs.register_error(_UNDECODABLE, _undecodable)
_EVERY_BYTE = bytes(range(256))


def transcoded(chunks: Iterable[bytes], codec: str) -> Generator[bytes, None, None]:
    """``chunks`` decoded with ``codec``, in UTF-8.

    Each byte the codec cannot decode becomes a byte that is not UTF-8, so
    that the engine, reading UTF-8, replaces each by U+FFFD and counts and
    logs it with its record.
    """
    decoder = codecs.getincrementaldecoder(codec)(errors=_UNDECODABLE)
    for chunk in chunks:
        yield decoder.decode(chunk).encode("utf-8", "surrogateescape")
    yield decoder.decode(b"", final=True).encode("utf-8", "surrogateescape")


# The code pages a head that is not UTF-8 may be read in, and how common each
# is among legacy CSV files: cp1252 (Windows, Western Europe and the Americas)
# by far; a reading no clearer than another goes to the more common one.
_CODE_PAGES = {
    "cp1252": 8,
    **dict.fromkeys(
        ("cp1250", "cp1251", "cp1253", "cp1254", "cp1255", "cp1256", "cp950", "gb18030", "cp932", "cp949"), 2
    ),
    **dict.fromkeys(
        (
            "cp1257",
            "cp850",
            "cp437",
            "cp852",
            "cp866",
            "mac_roman",
            "koi8_r",
            "koi8_u",
            "iso8859_2",
            "iso8859_5",
            "iso8859_7",
            "iso8859_8",
            "iso8859_15",
            "cp874",
            "euc_jp",
            "big5",
        ),
        1,
    ),
}
# A reading scores a point for each 0.1 of the detector's mess ratio it is
# clearer by and each 5 % fewer odd characters (see _oddness), and 0.6 of a
# point for each doubling of how common its code page is. Confidence is the
# lead over the runner-up, two points for certainty, less the chosen
# reading's own mess.
_MESS_POINT = 0.1
_ODD_POINT = 0.05
_COMMON_POINT = 0.6
_CERTAIN_LEAD = 2.0
# A guess below this is weak: the summary says so, and how to name the encoding.
WEAK_CONFIDENCE = 0.5
_ODDNESS_SAMPLE = 4096  # non-ASCII characters looked at
_CJK = frozenset(
    ("CJK", "HIRAGANA", "KATAKANA", "KATAKANA-HIRAGANA", "HANGUL", "FULLWIDTH", "HALFWIDTH", "IDEOGRAPHIC")
)
_NON_ASCII = re.compile("[^\x00-\x7f]")
_STRAY = re.compile("[\udc80-\udcff]")  # bytes that are not UTF-8, as surrogateescape keeps them


def utf8_or_mixed(head: bytes) -> bool:
    """Whether ``head`` reads as UTF-8: valid, or with fewer bytes that are not than characters that are.

    A file of UTF-8 with stray bytes from elsewhere stays the engine's: its
    UTF-8 kept, the stray bytes read as cp1252 and logged. A character cut by
    the end of the head counts for nothing.
    """
    try:
        codecs.getincrementaldecoder("utf-8")().decode(head, final=False)
        return True
    except UnicodeDecodeError:
        pass
    text = codecs.getincrementaldecoder("utf-8")("surrogateescape").decode(head, final=False)
    stray = len(_STRAY.findall(text))
    return len(_NON_ASCII.findall(text)) - stray >= stray


def guess_code_page(head: bytes) -> tuple[str, float]:
    """The code page a head that is not UTF-8 reads best in, and how sure that is (0 to 1).

    The detector (charset-normalizer) gives the code pages the bytes decode in
    and how messy each reading is; the readings are then weighed by that mess,
    by how many characters stand where no language puts them, and by how
    common the code page is.
    """
    import charset_normalizer  # slow to import, and only needed for such a head

    end = head.rfind(b"\n") + 1
    matches = charset_normalizer.from_bytes(head[:end] or head, cp_isolation=list(_CODE_PAGES))
    scored = []
    for match in matches:
        codec = max(
            (name for name in match.could_be_from_charset if name in _CODE_PAGES),
            key=_CODE_PAGES.__getitem__,
            default=match.encoding,
        )
        score = (
            -match.chaos / _MESS_POINT
            - _oddness(str(match)) / _ODD_POINT
            + math.log2(_CODE_PAGES.get(codec, 1)) * _COMMON_POINT
        )
        scored.append((score, codec, match.chaos))
    if not scored:
        return "cp1252", 0.0
    scored.sort(key=lambda entry: entry[0], reverse=True)  # stable: ties keep the detector's order
    score, codec, mess = scored[0]
    lead = score - scored[1][0] if len(scored) > 1 else _CERTAIN_LEAD
    return codec, round(max(0.0, 1 - mess) * min(1.0, lead / _CERTAIN_LEAD), 2)


def _oddness(text: str) -> float:
    """The share of non-ASCII characters that stand where no language writes them.

    A control character; a letter of another script than its neighbour's; a
    capital after a small letter; a mark after no letter or of another script;
    a symbol inside a word (the apostrophe aside); an opening quote right after
    a letter or a currency sign right before one; and the accented letters of
    a word made mostly of them, as Greek or Cyrillic read as Latin comes out.
    """
    odd = seen = 0
    words = []  # those with a letter past ASCII
    word_end = 0
    for found in _NON_ASCII.finditer(text):
        at, char = found.start(), found.group()
        seen += 1
        if seen > _ODDNESS_SAMPLE:
            break
        before = text[at - 1] if at else " "
        after = text[at + 1] if at + 1 < len(text) else " "
        kind = unicodedata.category(char)
        if kind[0] == "C":
            odd += 1
        elif kind[0] == "L":
            if at >= word_end:
                start, word_end = at, at + 1
                while start and text[start - 1].isalpha():
                    start -= 1
                while word_end < len(text) and text[word_end].isalpha():
                    word_end += 1
                words.append(text[start:word_end])
            script = _script(char)
            if (before.isalpha() and _script(before) != script) or (after.isalpha() and _script(after) != script):
                odd += 1
            elif kind == "Lu" and before.islower():
                odd += 1
        elif kind[0] == "M":
            if not before.isalpha() or _script(char) not in ("COMBINING", _script(before)):
                odd += 1
        elif char != "\u2019" and before.isalpha() and after.isalpha():
            odd += 1
        elif (kind in ("Pi", "Ps") and before.isalpha()) or (kind == "Sc" and after.isalpha()):
            odd += 1
    for word in words:
        accented = sum(1 for char in word if char >= "\x80" and _script(char) == "LATIN")
        if accented >= 4 and 3 * accented >= 2 * len(word):
            odd += accented
    return odd / min(seen, _ODDNESS_SAMPLE) if seen else 0.0


@functools.lru_cache(maxsize=4096)
def _script(char: str) -> str:
    """The script of a letter, by the first word of its name; the East Asian ones as one."""
    script = unicodedata.name(char, "").partition(" ")[0]
    return "CJK" if script in _CJK else script


def encoding_warning(report: Report) -> str | None:
    """One sentence when the report's encoding is a weak guess: what was guessed, and how to name it."""
    confidence = report.encoding_confidence
    if confidence is None or confidence >= WEAK_CONFIDENCE:
        return None
    return (
        f"the encoding {report.encoding} is a guess from the head of the input (confidence {confidence:.2f}); "
        f"if the text looks wrong, name the encoding with --encoding NAME"
    )
