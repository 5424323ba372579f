"""The work of W2, shared by every tool's program so that each does exactly the same: one
frame of 100,000 rows, and 50 group-bys of it, one per part."""

from __future__ import annotations

import numpy as np
import pandas as pd

ROWS = 100_000
PARTS = 50


def make_frame() -> pd.DataFrame:
    rng = np.random.default_rng(0)
    return pd.DataFrame(
        {"key": rng.integers(0, 1_000, ROWS), "x": rng.random(ROWS), "y": rng.random(ROWS)}
    )


def group(frame: pd.DataFrame, part: int) -> pd.DataFrame:
    keys = (frame["key"] * (part + 1)) % 97
    return frame.groupby(keys).agg(x=("x", "mean"), y=("y", "sum")).reset_index()
