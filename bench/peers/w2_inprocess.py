"""The in-process floor of W2: the frame and the 50 group-bys in this one process, nothing
persisted; with OUT, each value is written there as parquet too (the floor plus the writes).

    python w2_inprocess.py [OUT]
"""

from __future__ import annotations

import os
import sys

from w2_work import PARTS, group, make_frame


def main(out: str | None) -> None:
    frame = make_frame()
    if out:
        frame.to_parquet(os.path.join(out, "frame.parquet"))
    for part in range(PARTS):
        result = group(frame, part)
        if out:
            result.to_parquet(os.path.join(out, f"grouped_{part}.parquet"))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
