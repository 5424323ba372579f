"""W2 with quarn: the frame stored as parquet, and one group-by job per part reading it.

python -m quarn.run w2_quarn --jobs 2 [--isolation none]
"""

from __future__ import annotations

import pandas as pd
from w2_work import PARTS, group, make_frame

from quarn import asset, partitions


@asset(serializer="parquet")
def frame() -> pd.DataFrame:
    return make_frame()


@asset(
    inputs={"frame": frame},
    partitions={"part": partitions(list(range(PARTS)))},
    serializer="parquet",
)
def grouped(frame: pd.DataFrame, part: int) -> pd.DataFrame:
    return group(frame, part)
