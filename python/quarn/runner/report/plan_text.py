"""A plan as a person reads it: why each job runs, the dry run's listing, orphaned jobs."""

from __future__ import annotations

import json

from quarn.runner.plan.jobs import Job
from quarn.runner.plan.prepare import Prepared
from quarn.runner.plan.recorded import label
from quarn.runner.state.words import reasons_text
from quarn.runner.store.manifest import Manifest
from quarn.runner.text import one_line

_ORPHANS_SHOWN = 5


def listed(prepared: Prepared, job: Job, why: bool) -> str:
    """`doubled: run: the value of source changed`; without `why`, the job and its action."""
    found = prepared.plan.assessments[job]
    text = f"{job.display}: {found.action}"
    return f"{text}: {reasons_text(found.reasons, shown=len(found.reasons))}" if why else text


def why_lines(prepared: Prepared) -> str:
    """One line per job that is not up to date: runs (and why), pending, or waiting."""
    jobs = [*prepared.to_run, *prepared.waiting]
    return "".join(one_line(f"quarn: why: {listed(prepared, j, True)}") + "\n" for j in jobs)


def dry_run(prepared: Prepared, assets: int, jobs: int, why: bool, where: str) -> str:
    """What `--check-only` prints: each job the run would start or that waits, one line
    each (with its reasons when `why`), then the totals and the output directory."""
    lines = [one_line(listed(prepared, j, why)) for j in [*prepared.to_run, *prepared.waiting]]
    lines.append(f"ok: {assets} assets, {jobs} jobs, {len(prepared.to_run)} to run in {where}")
    return "\n".join(lines) + "\n"


def dry_run_json(prepared: Prepared, assets: int, jobs: int, manifest: Manifest, where: str) -> str:
    """The dry run as one JSON document, for scripts."""
    shown = []
    for job in [*prepared.to_run, *prepared.waiting]:
        found = prepared.plan.assessments[job]
        shown.append(
            {
                "job": job.display,
                "asset": job.asset.display,
                "partition": job.key,
                "action": str(found.action),
                "state": str(found.state),
                "reasons": [r.text for r in found.reasons],
            }
        )
    document = {
        "out": where,
        "assets": assets,
        "jobs": jobs,
        "to_run": len(prepared.to_run),
        "up_to_date": prepared.up_to_date,
        "listed": shown,
        "orphaned": [label(i, manifest.jobs.get(i)) for i in prepared.orphans],
    }
    return json.dumps(document, ensure_ascii=False)


def orphans_text(orphans: list[str], manifest: Manifest, pruned: bool) -> str:
    """The one line about the jobs of keys no longer declared ("" when there are none)."""
    if not orphans:
        return ""
    shown = ", ".join(label(i, manifest.jobs.get(i)) for i in orphans[:_ORPHANS_SHOWN])
    rest = len(orphans) - _ORPHANS_SHOWN
    more = f" and {rest} more" if rest > 0 else ""
    count = f"{len(orphans)} job{'' if len(orphans) == 1 else 's'}"
    if pruned:
        return one_line(f"quarn: pruned {count} of keys no longer declared: {shown}{more}")
    return one_line(
        f"quarn: orphaned: {count} of keys no longer declared: {shown}{more} "
        "(their folders stay; --prune deletes them)"
    )
