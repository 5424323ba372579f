"""`--isolation fork|spawn|none`: what runs the jobs, and where discovery imports the modules.

Discovery happens where the jobs will run, so that the code inspected and versioned is
the code that runs: in the warm template for `fork`, in the runner itself for `none`, in
a discovery process of its own for `spawn` (each spawned worker imports the modules anew).
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

from quarn.runner.executors.backend import Backend
from quarn.runner.executors.fork.backend import ForkBackend, TemplateError, TemplateProcess
from quarn.runner.executors.local import LocalBackend
from quarn.runner.graph.discovery import DiscoveryError, discover
from quarn.runner.graph.serializer_check import REPORTED
from quarn.runner.store.serializers import REPORT_ENV, read_report

ISOLATIONS = ("fork", "spawn", "none")


def default_isolation() -> str:
    """Fork where the template can see every thread it runs, native ones included (the
    kernel lists them under /proc); elsewhere a thread started by a library could go
    unseen and deadlock a job."""
    return "fork" if hasattr(os, "fork") and os.path.isdir("/proc/self/task") else "spawn"


@dataclass(slots=True)
class Discovered:
    """The inspection document, and how the jobs of this run will be run."""

    document: Any
    skipped: list[str]
    isolation: str  # "spawn" when the template found it could not fork
    note: str | None = None  # why, then
    template: TemplateProcess | None = field(default=None, repr=False)

    def backend(self, note: Callable[[str], None]) -> Backend:
        if self.isolation == "none":
            from quarn.runner.executors.inprocess import InProcessBackend
            from quarn.runner.job.run import run_job

            return InProcessBackend(run_job)
        if self.template is not None:
            template, self.template = self.template, None
            return ForkBackend(template, LocalBackend, note)
        return LocalBackend()

    def close(self) -> None:
        """Ends the template when no backend took it over (nothing to run, an error)."""
        if self.template is not None:
            self.template.close()
            self.template = None


def discover_for(
    isolation: str,
    modules: Sequence[str],
    paths: Sequence[str],
    stderr: TextIO,
    timeout: float | None,
) -> Discovered:
    """Discovers `modules` where `isolation` will run their jobs. Raises DiscoveryError."""
    if isolation == "spawn":
        document, skipped = discover(list(modules), list(paths), stderr, timeout)
        return Discovered(document, skipped, "spawn")
    # The serializers the project registers while imported are reported through a file.
    with tempfile.TemporaryDirectory(prefix="quarn-discovery-") as private:
        report = os.path.join(private, "serializers")
        if isolation == "none":
            document, skipped = discover_here(modules, paths, report)
            document[REPORTED] = read_report(report)
            return Discovered(document, skipped, "none")
        stderr.flush()
        try:
            template = TemplateProcess(modules, paths, {REPORT_ENV: report})
        except TemplateError as exc:
            raise DiscoveryError(str(exc)) from None
        try:
            ready = template.ready(stderr, timeout)
        except TemplateError as exc:
            raise DiscoveryError(str(exc)) from None
        except BaseException:  # Ctrl-C while the modules are imported
            template.close()
            raise
        ready.document[REPORTED] = read_report(report)
    if ready.note is not None:
        template.close()
        return Discovered(ready.document, ready.skipped, "spawn", ready.note)
    return Discovered(ready.document, ready.skipped, "fork", template=template)


def discover_here(
    modules: Sequence[str], paths: Sequence[str], report: str
) -> tuple[Any, list[str]]:
    """Imports and inspects the modules in this process, as the jobs of `none` will run
    here; what they print goes to standard error, as discovery's output always does."""
    from quarn import inspect_modules
    from quarn._paths import set_import_path
    from quarn.runner.executors.fork.template import import_host_modules, install_checked_loader

    import_host_modules(paths)
    set_import_path(paths, __file__)
    install_checked_loader(paths)
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    os.environ[REPORT_ENV] = report
    try:
        from quarn.runner.trace import record

        with record.imports():  # the jobs run here: what each module's import used counts
            document = inspect_modules(list(modules))
    finally:
        del os.environ[REPORT_ENV]
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
    skipped = [m for m in dict.fromkeys(modules) if m not in sys.modules]
    return json.loads(document), skipped
