"""The Dask cluster of one run: an existing scheduler by address, or a local cluster
started for the run (its workers threads of the run's process) and closed after it."""

from __future__ import annotations

import importlib.util
import json
import logging
import math
import os
from dataclasses import dataclass
from typing import Any

INSTALL_HINT = "pip install 'quarn[dask]'"
LOCAL_WORKERS = 2
_CONNECT_SECONDS = 10
_WORKERS_SECONDS = 60  # a cluster on a batch system may take a while to get its first worker
_CLOSE_SECONDS = 30
_DASHBOARD_SECONDS = 2


class ClusterError(Exception):
    """The cluster cannot be used; the message says why, for the person running quarn."""


def require_distributed() -> Any:
    """The `distributed` module (typed loosely, so kept as Any here, at the boundary);
    fails early, before discovery, when the optional dependency is missing."""
    try:
        return importlib.import_module("distributed")
    except ImportError as exc:
        raise ClusterError(
            f"--executor dask needs Dask's distributed scheduler ({exc}): {INSTALL_HINT}"
        ) from None


def scheduler_address(text: str) -> str:
    """The address `--scheduler` names: an address (`tcp://host:8786`, `host:8786`), or a
    scheduler file (`dask scheduler --scheduler-file`, on shared storage) holding one."""
    distributed = require_distributed()
    if os.path.isfile(text):
        try:
            with open(text, encoding="utf-8") as handle:
                address = json.load(handle)["address"]
        except (OSError, ValueError, KeyError, TypeError) as exc:
            raise ClusterError(f"cannot read a scheduler address from {text}: {exc!r}") from None
        if not isinstance(address, str):
            raise ClusterError(f"cannot read a scheduler address from {text}")
        text = address
    expected = "expected tcp://host:port, or a scheduler file"
    try:
        scheme, location = distributed.comm.addressing.parse_address(text)
        host, _port = distributed.comm.addressing.parse_host_port(location)
    except (ValueError, TypeError) as exc:
        raise ClusterError(f"not a Dask scheduler address: '{text}' ({exc}; {expected})") from None
    if scheme not in distributed.comm.registry.backends or not host:
        raise ClusterError(f"not a Dask scheduler address: '{text}' ({expected})")
    return text


@dataclass(slots=True)
class Cluster:
    client: Any  # distributed.Client; the library is typed loosely
    local: Any  # the LocalCluster started for this run, or None
    address: str
    dashboard: str  # "" when the scheduler serves none

    def threads(self) -> int:
        """Worker threads over the whole cluster: the jobs it can run at once."""
        return max(1, int(sum(self.client.nthreads().values())))

    def close(self) -> None:
        # Closing a client that lost its scheduler logs the interrupted reconnection as an
        # error with a traceback; the run has already said what happened.
        _quiet(logging.CRITICAL)
        try:
            self.client.close(timeout=_CLOSE_SECONDS)
        finally:
            if self.local is not None:
                self.local.close(timeout=_CLOSE_SECONDS)


def open_cluster(address: str | None, jobs: int | None) -> Cluster:
    """Connects to the scheduler at `address`, or starts a local cluster whose worker
    threads can run `jobs` jobs at once (two workers, one thread per core by default)."""
    distributed = require_distributed()
    _quiet(logging.ERROR)
    Client = distributed.Client

    if address:
        address = scheduler_address(address)
        try:
            client = Client(address, timeout=_CONNECT_SECONDS, set_as_default=False)
        except (OSError, TimeoutError) as exc:
            raise ClusterError(f"cannot reach the Dask scheduler at {address}: {exc}") from None
        local = None
    else:
        local = _local_cluster(jobs)
        client = Client(local, set_as_default=False)
    try:
        client.wait_for_workers(1, timeout=_WORKERS_SECONDS)
    except TimeoutError:
        client.close()
        if local is not None:
            local.close()
        raise ClusterError(
            f"no Dask worker joined the scheduler at {address} within {_WORKERS_SECONDS}s"
        ) from None
    return Cluster(client, local, str(client.scheduler_info()["address"]), _dashboard(client))


def _has_bokeh() -> bool:
    return importlib.util.find_spec("bokeh") is not None


def _quiet(level: int) -> None:
    """Dask logs to standard error, where the run's progress goes; only what may matter to
    the person running quarn passes. Its configuration sets some child loggers' levels."""
    for name in ["distributed", *logging.root.manager.loggerDict]:
        if name.startswith("distributed"):
            logging.getLogger(name).setLevel(level)


# The local cluster's workers only wait for the jobs' processes. Dask's defaults watch
# busy computations closely (event loop health every 20 ms, a statistical profile of the
# running tasks every 10 ms, memory ten times a second): together about a tenth of a core
# even at rest, on the machine the jobs run on. Watched less often, about a hundredth.
_LOCAL_CONFIG = {
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.worker.profile.enabled": False,
    "distributed.worker.memory.monitor-interval": "1s",
    # quarn hands the cluster as many jobs as it has threads: there is nothing to steal
    "distributed.scheduler.work-stealing": False,
}


def _local_cluster(jobs: int | None) -> Any:
    """Workers that are threads of this process: a job runs in a process of its own
    whatever the worker is (forked from a template, or a fresh interpreter), so worker
    processes would only cost their start (an interpreter importing Dask, each), their
    share of the processors while the jobs run, and a message between processes for
    every job. The scheduler and the workers talk within the process; nothing listens
    on the network but the dashboard, on this machine only."""
    LocalCluster = require_distributed().LocalCluster
    dask_config: Any = importlib.import_module("dask.config")
    dask_config.set(_LOCAL_CONFIG)  # this process hosts the run's cluster, and nothing else

    threads = math.ceil(jobs / LOCAL_WORKERS) if jobs else None
    return LocalCluster(
        n_workers=LOCAL_WORKERS,
        threads_per_worker=threads,
        processes=False,
        memory_limit=0,  # the jobs' memory is their processes', not this one's
        # The scheduler serves HTTP (health, metrics) even without a dashboard: on this
        # machine only, on a free port. The dashboard itself needs bokeh; without it
        # Dask would only warn that it is missing.
        dashboard_address="127.0.0.1:0",
        scheduler_kwargs={"dashboard": _has_bokeh()},
        silence_logs=logging.ERROR,
    )


def _dashboard(client: Any) -> str:
    """The dashboard's address when it answers from here. A scheduler serves HTTP whether
    or not it has a dashboard (that needs bokeh), so only asking tells."""
    import urllib.request  # only a run on Dask pays for the HTTP client

    try:
        if "dashboard" not in client.scheduler_info().get("services", {}):
            return ""
        link = str(client.dashboard_link)
        with urllib.request.urlopen(link, timeout=_DASHBOARD_SECONDS) as answer:
            return link if answer.status == 200 else ""
    except Exception:  # informative only: no answer, no link
        return ""
