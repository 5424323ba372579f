"""W2 with Hamilton and its cache: the frame and the 50 group-bys as nodes of one dataflow,
each result cached as parquet under OUT (Hamilton runs the nodes one after the other).

    python w2_hamilton.py OUT
"""

from __future__ import annotations

import importlib
import sys

import pandas as pd
from hamilton.function_modifiers import cache, parameterize, value
from w2_work import PARTS, group, make_frame


@cache(format="parquet")
def frame() -> pd.DataFrame:
    return make_frame()


@cache(format="parquet", target_=...)
@parameterize(**{f"grouped_{part}": {"part": value(part)} for part in range(PARTS)})
def grouped(frame: pd.DataFrame, part: int) -> pd.DataFrame:
    return group(frame, part)


if __name__ == "__main__":
    from hamilton import base, driver

    dataflow = importlib.import_module("w2_hamilton")
    dr = (
        driver.Builder()
        .with_modules(dataflow)
        .with_adapters(base.DictResult())
        .with_cache(path=sys.argv[1])
        .build()
    )
    dr.execute([f"grouped_{part}" for part in range(PARTS)])
