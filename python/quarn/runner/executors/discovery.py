"""The one way to discover a project's assets, for a run and for every command.

Discovery imports the modules where the jobs will run, so that the code inspected and
versioned is the code that runs: in the warm template for `fork`, in this process for
`none`, in a discovery process of its own for `spawn` and for the commands that run no job
(each spawned worker imports the modules anew). Whichever process imported the modules
reports what it learned in one piece (`discover_here.Found`), and `Discovery` holds it.

What an earlier discovery of the same request found is recalled instead (`memo`) while
nothing it rested on changed: then nothing is imported until a job has to run
(`Discovery.warm`), and a run with nothing to do imports no project module at all.
"""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TextIO

from quarn.runner.contract import discovery_command
from quarn.runner.executors import memo
from quarn.runner.executors.discover_here import Found, decode, discover_here
from quarn.runner.graph.build import build_graph
from quarn.runner.graph.import_error import ImportFailure
from quarn.runner.graph.model import Graph
from quarn.runner.inputs import Inputs, interpreter
from quarn.runner.text import one_line

if TYPE_CHECKING:
    from quarn.runner.executors.backend import Backend
    from quarn.runner.executors.fork.client import TemplateProcess


class DiscoveryError(Exception):
    """Discovery did not produce a usable inspection document, or the modules cannot run."""

    def text(self, prog: str) -> str:
        return f"{prog}: error: {one_line(str(self))}\n"


class ImportFailed(DiscoveryError):
    """Modules that could not be imported: each is one block, and the run stops."""

    def __init__(self, failures: list[ImportFailure]) -> None:
        super().__init__("could not import " + ", ".join(f"'{f.module}'" for f in failures))
        self.failures = failures

    def text(self, prog: str) -> str:
        return "".join(failure.text(prog) for failure in self.failures)


@dataclass(frozen=True, slots=True)
class _Cold:
    """A discovery remembered imported nothing: what the imports where the jobs run need,
    should any job run."""

    modules: Sequence[str]
    paths: Sequence[str]
    stderr: TextIO
    timeout: float | None


@dataclass(slots=True)
class Discovery:
    """What discovery learned, and how the jobs of this run will be run."""

    document: dict[str, Any]
    failures: list[ImportFailure]
    serializers: dict[str, str | None]  # the project's registrations: name -> why unusable
    isolation: str  # "spawn" when the template found it could not fork
    note: str | None = None  # why, then
    template: TemplateProcess | None = field(default=None, repr=False)
    # What it rested on: the interpreter, and what the imports used (see `memo`); unsure
    # when that is not known.
    inputs: Inputs = field(default_factory=lambda: Inputs(unsure="not recorded"))
    cold: _Cold | None = field(default=None, repr=False)  # remembered, not imported yet

    def warm(self) -> None:
        """For a discovery recalled from the memo, imports the modules where the jobs run
        (the warm template for `fork`, this process for `none`), as discovery would have
        done; nothing otherwise. The document stays the remembered one: a job's worker
        still checks the sources it runs against those the plan read. Raises
        DiscoveryError, ImportFailed when a module cannot be imported now."""
        cold, self.cold = self.cold, None
        if cold is None:
            return
        if self.isolation == "none":
            found = discover_here(cold.modules, cold.paths, jobs_here=True)
            if found.failures:
                raise ImportFailed(found.failures)
            return
        found, template = _in_template(cold.modules, cold.paths, cold.stderr, cold.timeout)
        if found.failures:
            if template is not None:
                template.close()
            raise ImportFailed(found.failures)
        self.template, self.note = template, found.note
        if template is None:
            self.isolation = "spawn"

    def graph(self, serializer: str | None = None) -> Graph:
        """The checked graph (`serializer`: the project's default). Raises ImportFailed
        when a module could not be imported, DiscoveryError when the document is unusable."""
        if self.failures:
            raise ImportFailed(self.failures)
        from quarn.runner.store.serializers import availability, problem_of

        usable = availability(self.serializers)
        try:
            return build_graph(self.document, lambda name: problem_of(name, usable), serializer)
        except ValueError as exc:
            raise DiscoveryError(str(exc)) from None

    def backend(self, note: Callable[[str], None], timeout: float | None = None) -> Backend:
        """What runs the jobs; `timeout` is the run's `--timeout`, which a backend that runs
        jobs in this process enforces itself (the others are stopped by the executor)."""
        from quarn.runner.executors.local import LocalBackend

        if self.cold is not None:  # recalled, and not warmed: no job was to run
            return LocalBackend()
        if self.isolation == "none":
            from quarn.runner.executors.inprocess import InProcessBackend
            from quarn.runner.job.run import run_job

            return InProcessBackend(run_job, timeout)
        if self.template is not None:
            from quarn.runner.executors.fork.backend import ForkBackend

            template, self.template = self.template, None
            return ForkBackend(template, LocalBackend, note)
        return LocalBackend()

    def close(self) -> None:
        """Ends the template when no backend took it over (nothing to run, an error)."""
        if self.template is not None:
            self.template.close()
            self.template = None


def discover(
    modules: Sequence[str],
    paths: Sequence[str],
    stderr: TextIO,
    *,
    isolation: str = "spawn",
    timeout: float | None = None,
    recall: bool = True,
) -> Discovery:
    """Imports and inspects `modules` where `isolation` will run their jobs; what they
    print while imported goes to `stderr`. With `recall`, what an earlier discovery of the
    same request found is reused instead while nothing it rested on changed (`memo`), and
    nothing is imported until `Discovery.warm`. Raises DiscoveryError."""
    before = interpreter()  # before anything is imported: what the imports rest on
    if recall:
        found = memo.recall(modules, paths)
        if found is not None and found.inputs is not None:
            cold = _Cold(modules, paths, stderr, timeout) if isolation in ("fork", "none") else None
            return Discovery(
                found.parsed(), [], found.serializers, isolation, inputs=found.inputs, cold=cold
            )
    template = None
    if isolation == "none":
        found = discover_here(modules, paths, jobs_here=True)
    elif isolation == "fork":
        found, template = _in_template(modules, paths, stderr, timeout)
        isolation = "fork" if template is not None else "spawn"
    else:
        found = _in_subprocess(modules, paths, stderr, timeout)
    memo.remember(modules, paths, found, before)
    inputs = Inputs().add(before).add(found.inputs or Inputs(unsure="not recorded"))
    return Discovery(
        found.parsed(), found.failures, found.serializers, isolation, found.note, template, inputs
    )


def _in_subprocess(
    modules: Sequence[str], paths: Sequence[str], stderr: TextIO, timeout: float | None
) -> Found:
    """`python -m quarn.inspect --document-file`: what it learned comes through a file of
    its own, so whatever the modules print while imported (on either stream, with or
    without a newline) is only passed on to `stderr`."""
    with tempfile.TemporaryDirectory(prefix="quarn-discovery-") as private:
        document_file = os.path.join(private, "found.json")
        try:
            done = subprocess.run(
                discovery_command(modules, paths, document_file),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                timeout=timeout,
            )
        except subprocess.TimeoutExpired:
            raise DiscoveryError(f"discovery timed out after {timeout:g} s") from None
        except OSError as exc:
            raise DiscoveryError(f"cannot start discovery: {exc}") from None
        printed = done.stdout.decode("utf-8", "replace")
        if printed:
            stderr.write("".join(one_line(line) + "\n" for line in printed.splitlines()))
            stderr.flush()
        if done.returncode != 0:
            raise DiscoveryError(f"discovery failed with exit status {done.returncode}")
        try:
            with open(document_file, encoding="utf-8", errors="surrogateescape") as handle:
                found = decode(json.load(handle))
        except (OSError, ValueError):
            found = None
    if found is None:
        raise DiscoveryError("discovery wrote no inspection document")
    return found


def _in_template(
    modules: Sequence[str], paths: Sequence[str], stderr: TextIO, timeout: float | None
) -> tuple[Found, TemplateProcess | None]:
    """The warm template imports the modules and reports once ready; when it found it
    cannot fork, it ends (no template: the jobs are spawned)."""
    from quarn.runner.executors.fork.client import TemplateError, TemplateProcess

    stderr.flush()
    try:
        template = TemplateProcess(modules, paths)
    except TemplateError as exc:
        raise DiscoveryError(str(exc)) from None
    try:
        found = template.ready(stderr, timeout)
    except TemplateError as exc:
        raise DiscoveryError(str(exc)) from None
    except BaseException:  # Ctrl-C while the modules are imported
        template.close()
        raise
    if found.note is not None:
        template.close()
        return found, None
    return found, template
