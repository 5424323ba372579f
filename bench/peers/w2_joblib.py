"""W2 with joblib: the frame built here, the 50 group-bys in two worker processes
(`Parallel(n_jobs=2)`); nothing is persisted.

    python w2_joblib.py
"""

from __future__ import annotations

from joblib import Parallel, delayed
from w2_work import PARTS, group, make_frame

if __name__ == "__main__":
    frame = make_frame()
    results = Parallel(n_jobs=2)(delayed(group)(frame, part) for part in range(PARTS))
    assert len(results) == PARTS
