"""Every recorded job's assessment from what the runs recorded alone, for the views that
have no declarations at hand (`quarn report` and `quarn history` given only DIR): the
version the latest run planned for each job stands for its present version."""

from __future__ import annotations

from collections.abc import Callable, Collection, Mapping, Sequence

from quarn.runner.canonical import key_label
from quarn.runner.contract import ManifestEntry
from quarn.runner.plan.freshness import Dependencies
from quarn.runner.state.assess import Assessment, Facts, Observed, Upstream, Version, assess
from quarn.runner.state.words import Reason

# Reads a recorded job's folder: (job id, its record) -> what the folder holds.
ObserveRecord = Callable[[str, ManifestEntry], Observed]


def assess_recorded(
    records: Mapping[str, ManifestEntry],
    versions: Mapping[str, str],
    observe: ObserveRecord,
    running: Collection[str] = (),
    dependencies: Dependencies | None = None,
) -> dict[str, Assessment]:
    """Job id -> assessment for every record; `versions`: job id -> the version the latest
    run that planned it wanted (a job without one is judged on its record alone);
    `dependencies`: what each job was seen to use, compared with what is there now."""
    done: dict[str, Assessment] = {}

    def visit(job_id: str, on_path: set[str]) -> Assessment:
        found = done.get(job_id)
        if found is not None:
            return found
        record = records.get(job_id)
        upstream: list[Upstream] = []
        consumed = record.get("inputs") if record else None
        for up in sorted(consumed) if isinstance(consumed, dict) else ():
            if up in on_path:  # a record cannot name its own downstream: a damaged file
                continue
            theirs = visit(up, on_path | {job_id})
            upstream.append(Upstream(up, label(up, records.get(up)), theirs))
        version = versions.get(job_id)
        observed = None
        changed: Sequence[Reason] = ()
        if record is not None and "digest" in record:
            observed = observe(job_id, record)
            changed = dependencies(job_id, record) if dependencies else ()
        facts = Facts(
            record,
            Version(version) if version else None,
            observed,
            upstream,
            running=job_id in running,
            changed=changed,
        )
        done[job_id] = assessment = assess(facts)
        return assessment

    for job_id in records:
        visit(job_id, set())
    return done


def label(job_id: str, record: ManifestEntry | None) -> str:
    """asset[dim=key, ...] from the record, else the job id."""
    if record is None or not isinstance(record.get("asset"), str):
        return job_id
    partition = record.get("partition")
    keys = key_label(partition) if isinstance(partition, dict) else ""
    return f"{record['asset']}[{keys}]" if keys else record["asset"]
