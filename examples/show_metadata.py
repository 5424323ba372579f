"""Declares the bundled pipeline and prints what each asset's declaration reports."""

from pprint import pformat

import pipeline

for name in ("raw", "processed", "prices"):
    metadata = getattr(pipeline, name).__quarn_metadata__
    print(f"{name}.__quarn_metadata__ =\n{pformat(metadata, sort_dicts=False)}")
