"""Inputs that take another key of the asset's own dimension: the text an `inputs` entry holds
for one, and which upstream keys it names.

The core records an `inputs` string as it is, so a mapped input is the upstream's reference
with a suffix: `/abs/file.py:prices[day-1]` takes the key one step back in dimension `day`,
`/abs/file.py:prices[day-6..day]` the last seven keys up to the job's own. Positions count in
the upstream's declared key order.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

_DIM = r"[^\W\d]\w*"  # a dimension is a keyword parameter, so an identifier
_PREVIOUS = re.compile(rf"^(?P<ref>.+)\[(?P<dim>{_DIM})-(?P<back>[1-9]\d*)\]$")
_WINDOW = re.compile(rf"^(?P<ref>.+)\[(?P<dim>{_DIM})-(?P<back>\d+)\.\.(?P=dim)\]$")


@dataclass(frozen=True, slots=True)
class KeyMapping:
    """Which keys of dimension `dim` an input takes, relative to the job's own key: `size`
    keys, the oldest `back` steps back. A window ends at the job's own key; the previous key
    is a window of one that ends before it."""

    dim: str
    back: int
    size: int
    window: bool

    @property
    def text(self) -> str:
        """The suffix's inside, as a person reads it on an edge: `day-1`, `day-6..day`."""
        if self.window:
            return f"{self.dim}-{self.back}..{self.dim}"
        return f"{self.dim}-{self.back}"

    @property
    def lagged(self) -> bool:
        """Every key it names comes strictly before the job's own key."""
        return self.back - self.size + 1 >= 1

    def positions(self, position: int) -> range:
        """The upstream positions taken by the job whose key is at `position`; fewer at the
        start of the order (none before the first key)."""
        first = position - self.back
        return range(max(first, 0), max(first + self.size, 0))


def previous(reference: str, dim: str, steps: int = 1) -> str:
    """The input text for the key `steps` back in `dim` of the asset `reference` names."""
    _check_dim(dim)
    if isinstance(steps, bool) or not isinstance(steps, int) or steps < 1:
        raise ValueError(f"steps must be a whole number of at least 1, not {steps!r}")
    return f"{reference}[{KeyMapping(dim, steps, 1, False).text}]"


def window(reference: str, dim: str, size: int) -> str:
    """The input text for the last `size` keys of `dim`, up to the job's own key."""
    _check_dim(dim)
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"size must be a whole number of at least 1, not {size!r}")
    return f"{reference}[{KeyMapping(dim, size - 1, size, True).text}]"


def split(text: str) -> tuple[str, KeyMapping] | None:
    """The upstream reference and the mapping of a mapped input text; None for another text."""
    found = _PREVIOUS.match(text)
    if found is not None:
        back = int(found["back"])
        return found["ref"], KeyMapping(found["dim"], back, 1, False)
    found = _WINDOW.match(text)
    if found is not None:
        back = int(found["back"])
        return found["ref"], KeyMapping(found["dim"], back, back + 1, True)
    return None


def _check_dim(dim: object) -> None:
    if not isinstance(dim, str) or not re.fullmatch(_DIM, dim):
        raise ValueError(f"dim must name a partition dimension (an identifier), not {dim!r}")
