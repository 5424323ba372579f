"""Small text helpers shared by the progress line and the summary."""

import re

# C0 controls, DEL and C1 controls: a terminal acts on them (an escape sequence can erase a
# line and print another), so text from user code or data never reaches it raw.
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def plural(count: int) -> str:
    return "" if count == 1 else "s"


def one_line(text: str) -> str:
    """`text` on one line, every control character escaped (`\\n`, `\\x1b`)."""
    return _CONTROL.sub(_escape, text)


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    return _NAMED.get(char) or f"\\x{ord(char):02x}"
