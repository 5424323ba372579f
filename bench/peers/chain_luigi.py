"""A chain of LENGTH trivial tasks with Luigi, one at a time (one worker, the local
scheduler): each task reads its upstream's number from a file and writes it plus one. With
--fork, Luigi runs each task in a process of its own (`force_multiprocessing`).

    python chain_luigi.py LENGTH OUT [--fork]
"""

from __future__ import annotations

import json
import sys

import luigi


class Step(luigi.Task):
    n = luigi.IntParameter()
    out = luigi.Parameter()

    def requires(self) -> list[luigi.Task]:
        return [Step(n=self.n - 1, out=self.out)] if self.n > 0 else []

    def output(self) -> luigi.LocalTarget:
        return luigi.LocalTarget(f"{self.out}/step_{self.n}.json")

    def run(self) -> None:
        value = 0
        for upstream in self.input():
            with upstream.open() as handle:
                value = json.load(handle) + 1
        with self.output().open("w") as handle:
            json.dump(value, handle)


if __name__ == "__main__":
    length, out = int(sys.argv[1]), sys.argv[2]
    if "--fork" in sys.argv[3:]:
        luigi.configuration.get_config().set("worker", "force_multiprocessing", "true")
    ok = luigi.build(
        [Step(n=length - 1, out=out)], local_scheduler=True, workers=1, log_level="WARNING"
    )
    if not ok:
        raise SystemExit("the chain failed")
