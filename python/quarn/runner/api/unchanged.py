"""What a run that found nothing to do rests on: while all of it is unchanged, the same run
would find nothing to do again, and can say so without discovering, planning or assessing.

A job's state is a pure function of facts (`state/assess.py`): its manifest record, its
planned version, what its folder holds, its upstream jobs' states and the dependencies it
recorded. When every job was current, each of those facts rests on something this module
lists, identified as the next look would find it unchanged (`inputs.py`):

- the records: the manifest, by its stat (only a run writes it, whole, under a new inode);
- the versions: the request (the caller keys its answer by it: the command line, the
  project file, the interpreter), what discovery rested on (the module words resolved,
  the sources imported, the folders searched, the files and variables read at import, the
  interpreter and installed packages), and what the static code versions read (sources,
  the folders a module was looked for in);
- the folders: each job's `result.json` and value file, by the stats the manifest records
  for them, which is how planning finds them current without reading them;
- the recorded dependencies: each file by its recorded stat, each variable by its digest,
  each source that ran by its stat from before planning read it.

Upstream states follow from the others. Forcing is part of the request, and a forced run
never finds nothing to do.
"""

from __future__ import annotations

import os

from quarn.runner.contract import RESULT_FILE, job_dir
from quarn.runner.inputs import Inputs
from quarn.runner.plan.prepare import Prepared
from quarn.runner.store.manifest import Manifest


def rests_on(used: Inputs, prepared: Prepared, manifest: Manifest) -> Inputs:
    """`used` (what the request's discovery, versions and dependencies read) with the
    manifest and every assessed job's folder: what the plan of `prepared`, in which no job
    runs, waits or is orphaned, rests on. Unsure when a folder's record does not say what
    planning compared it with."""
    found = Inputs().add(used)
    found.path(os.path.abspath(manifest.path), manifest.stat)
    out = os.path.abspath(manifest.out_dir)
    for job, facts in prepared.plan.facts.items():
        if facts.observed is None:
            continue  # not a success: the plan would run it
        entry = manifest.jobs.get(job.id, {})
        folder = job_dir(out, job.asset.dir_name, job.partition_dir)
        value, result_stat, stat = entry.get("value"), entry.get("result_stat"), entry.get("stat")
        if not value or result_stat is None or stat is None:
            found.unsure = found.unsure or f"the record of job {job.display} is incomplete"
            break
        found.path(os.path.join(folder, RESULT_FILE), result_stat)
        found.path(os.path.join(folder, value), stat)
    return found
