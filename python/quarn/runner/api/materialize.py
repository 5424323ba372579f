"""`quarn.materialize`: a run from Python (a notebook, a test), the same run as `quarn run`."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from types import ModuleType
from typing import Any

from quarn.runner.api.echo import Echo
from quarn.runner.api.flow import Listener, interrupted_by_ctrl_c, run
from quarn.runner.api.options import DISCOVERY_TIMEOUT_SECONDS, RunOptions, from_call
from quarn.runner.api.result import RunResult, result_of
from quarn.runner.project import in_roots

Modules = str | os.PathLike[str] | ModuleType | Iterable[str | os.PathLike[str] | ModuleType]
Folders = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]


def materialize(
    modules: Modules | None = None,
    *,
    out: str | os.PathLike[str] | None = None,
    select: Any = (),
    partition: Mapping[str, Any] | None = None,
    force: bool = False,
    force_all: bool = False,
    jobs: int | None = None,
    isolation: str | None = None,
    params: Mapping[str, Any] | None = None,
    path: Folders = (),
    project: str | os.PathLike[str] | None = None,
    executor: str | None = None,
    scheduler: str | None = None,
    timeout: float | None = None,
    retries: int = 0,
    wait: bool = False,
    prune: bool = False,
    check_only: bool = False,
    discovery_timeout: float | None = DISCOVERY_TIMEOUT_SECONDS,
    echo: bool = False,
) -> RunResult:
    """Discovers the assets of `modules`, checks their graph and materializes what is not
    current, as `quarn run` does with the options of the same names, and returns how each
    job ended. Prints nothing unless `echo`, which prints what `quarn run` prints.

    `modules` are module names, packages, files or folders (or module objects); `select`
    asset names or @asset functions; `partition` maps a dimension to the key to run (a set
    for several); `params` sets run parameters as `--set` does. What is left out comes from
    the project file (of `project`, else the nearest `pyproject.toml` with `[tool.quarn]`
    at or above the current directory), as for the command. `isolation="none"` runs the
    jobs in this process, one after another: the fastest for tests; the project modules
    the run imported are forgotten again when it ends.

    Raises GraphError (nothing ran), UsageError, OutputInUseError or RunError; a job that
    fails is a result (`ok`, `failed`, `raise_for_failures()`). Ctrl-C stops the jobs,
    records the run and raises KeyboardInterrupt.
    """
    options = from_call(
        modules,
        out=out,
        select=select,
        partition=partition,
        force=force,
        force_all=force_all,
        jobs=jobs,
        isolation=isolation,
        params=params,
        path=path,
        project=project,
        executor=executor,
        scheduler=scheduler,
        timeout=timeout,
        retries=retries,
        wait=wait,
        prune=prune,
        check_only=check_only,
        discovery_timeout=discovery_timeout,
    )
    listener = Echo() if echo else Listener()
    with _imports_undone(options):
        ran = run(options, listener)
    if isinstance(listener, Echo):
        listener.finished(ran)
    if interrupted_by_ctrl_c(ran):
        raise KeyboardInterrupt
    return result_of(ran)


@contextmanager
def _imports_undone(options: RunOptions) -> Iterator[None]:
    """Without isolation the run imports the project into this process: afterwards the
    import path and finders are put back, and the project modules it imported are
    forgotten (those outside the interpreter's own folders), so the next run (of edited
    files, or another test's modules of the same name) imports them anew. Modules imported
    before the run stay as they are."""
    if options.isolation != "none" or options.executor == "dask" or options.scheduler:
        yield
        return
    from quarn.runner.job import sources

    saved_path, saved_finders = list(sys.path), list(sys.meta_path)
    before = set(sys.modules)
    try:
        yield
    finally:
        sys.path[:], sys.meta_path[:] = saved_path, saved_finders
        for name in [m for m in sys.modules if m not in before]:
            file = getattr(sys.modules[name], "__file__", None)
            ours = name == "quarn" or name.startswith("quarn.")
            if isinstance(file, str) and not ours and in_roots(file, [os.sep]):
                del sys.modules[name]
                sources.LOADED.pop(os.path.realpath(file), None)
