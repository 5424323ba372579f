"""The keyword arguments of one job as the JSON object its worker reads."""

from __future__ import annotations

import json
import os

from quarn.runner.contract import VALUE_FILE
from quarn.runner.plan.jobs import Job


def inputs_text(job: Job, out_dir: str) -> str | None:
    """The keyword arguments as one JSON object, upstream values spliced in as their text.

    The value files are not decoded here: they may hold NaN or Infinity, which the worker's
    json.loads accepts, and splicing keeps every number exactly as the upstream wrote it.
    """
    members: list[str] = []
    for param, source in job.inputs:
        if isinstance(source, Job):
            text = _value_text(source, out_dir)
        else:
            text = (
                "{"
                + ",".join(
                    json.dumps(member) + ":" + _value_text(up, out_dir) for member, up in source
                )
                + "}"
            )
        members.append(json.dumps(param) + ":" + text)
    for dim in job.key:
        members.append(json.dumps(dim) + ":" + job.key_texts[dim])
    if not members:
        return None
    return "{" + ",".join(members) + "}"


def _value_text(job: Job, out_dir: str) -> str:
    path = os.path.join(out_dir, job.asset.dir_name, job.partition_dir, VALUE_FILE)
    with open(path, "rb") as handle:
        return handle.read().decode("utf-8", "surrogateescape")
