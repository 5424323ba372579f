"""`quarn clean`: job folders nothing vouches for any more, old run records, temporaries."""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
from collections.abc import Callable

from quarn.runner.commands import shared
from quarn.runner.contract import CODE_CACHE_DIR, HISTORY_DIR, RUNS_DIR, STATE_DIR
from quarn.runner.plan.jobs import build_jobs
from quarn.runner.store.history import load_runs
from quarn.runner.store.lock import LockHeld, acquire, current_command
from quarn.runner.store.manifest import Manifest
from quarn.runner.store.marker import OutputDirError, check_marked
from quarn.runner.store.paths import (
    LayoutError,
    is_job_id,
    is_plain_name,
    list_inside,
    lstat_inside,
    remove_inside,
)
from quarn.runner.text import one_line, plural

_TEMPORARIES = (".manifest-", ".tmp-")
_LEFT_BY_OLDER_RUNS = (os.path.join(STATE_DIR, CODE_CACHE_DIR),)  # compiled code, once kept here


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "Remove from DIR, an output directory that a run made, what no run needs: folders "
        "of recorded jobs that the manifest does not vouch for and the latest run did not "
        "plan (with MODULEs: also every recorded job no longer in their plan, with its "
        "manifest record), run records beyond the newest --keep-runs, and what interrupted "
        "runs left. Files and folders that no run recorded are never removed.",
    )
    parser.add_argument("out", metavar="DIR", help="output directory")
    parser.add_argument(
        "modules", nargs="*", metavar="MODULE", help=f"{shared.MODULE_HELP}: the plan to keep"
    )
    shared.add_path(parser)
    parser.add_argument(
        "--keep-runs",
        type=int,
        default=20,
        metavar="N",
        help="run records to keep, newest first (default: %(default)s)",
    )
    parser.add_argument(
        "--dry-run", action="store_true", help="say what would be removed; remove nothing"
    )
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn clean") -> int:
    args = build_parser(prog).parse_args(argv)
    return shared.run_command(prog, lambda: _clean(args, prog))


def _clean(args: argparse.Namespace, prog: str) -> int:
    out = args.out
    try:
        check_marked(out)
    except OutputDirError as exc:
        raise shared.CommandError(str(exc), 2) from None
    try:  # a run's folders look orphaned until it ends: never clean beside one
        lock = acquire(out, current_command())
    except LockHeld as exc:
        raise shared.CommandError(f"{exc}; nothing removed", 2) from None
    except OSError as exc:
        raise shared.CommandError(f"cannot lock {out}: {exc}") from None
    try:
        return _clean_locked(args, prog)
    finally:
        lock.release()


def _clean_locked(args: argparse.Namespace, prog: str) -> int:
    out = args.out
    manifest, warning = Manifest.load(out)
    if warning:
        raise shared.CommandError(f"{warning}; nothing removed")
    runs, warnings = load_runs(out)
    warn = shared.warner(prog)
    for text in [*manifest.damaged, *warnings]:
        warn(text)
    recorded = set(manifest.jobs).union(*({j["id"] for j in run["jobs"]} for run in runs))
    keep = set(manifest.jobs)
    if runs:
        keep |= {j["id"] for j in runs[-1]["jobs"]}
    dropped: list[str] = []
    if args.modules:
        graph, _ = shared.load_for(args)
        planned = {j.id for j in build_jobs(graph.order, {})}
        dropped = sorted(k for k in manifest.jobs if k not in planned)
        keep = planned
    victims = [
        *orphans(out, recorded - keep, warn),
        *old_runs(out, max(args.keep_runs, 0)),
        *listed(out, os.path.join(STATE_DIR, RUNS_DIR)),  # with the lock held, none is alive
        *[p for p in _LEFT_BY_OLDER_RUNS if os.path.lexists(os.path.join(out, p))],
        *sorted(n for n in os.listdir(out) if n.startswith(_TEMPORARIES)),
    ]
    verb = "would remove" if args.dry_run else "removed"
    if not args.dry_run:
        if dropped:
            manifest.forget(dropped)
            manifest.save()
        for relative in victims:
            remove_inside(out, relative)
            _remove_if_empty(out, os.path.dirname(relative))
    for relative in victims:
        sys.stdout.write(f"{verb} {one_line(os.path.join(out, relative))}\n")
    records = f", {len(dropped)} manifest record{plural(len(dropped))}" if dropped else ""
    sys.stdout.write(f"{verb} {len(victims)} path{plural(len(victims))}{records}\n")
    return 0


def orphans(out: str, gone: set[str], warn: Callable[[str], None]) -> list[str]:
    """The folders of recorded jobs that are not kept (paths relative to DIR): only folders
    a run recorded are ever removed, never what someone else put beside them, nor what a
    link on the way points at."""
    found: list[str] = []
    for job_id in sorted(j for j in gone if is_job_id(j)):
        try:
            if stat.S_ISDIR(lstat_inside(out, job_id)):
                found.append(job_id)
        except LayoutError as exc:
            warn(f"{exc}; left as it is")
    return found


def old_runs(out: str, keep: int) -> list[str]:
    names = [n for n in listed(out, os.path.join(STATE_DIR, HISTORY_DIR)) if n.endswith(".json")]
    return names[: max(len(names) - keep, 0)]


def listed(out: str, relative: str) -> list[str]:
    """What the folder DIR/relative holds, as paths relative to DIR."""
    return [os.path.join(relative, n) for n in list_inside(out, relative)]


def _remove_if_empty(out: str, relative: str) -> None:
    """An asset folder left with no job folder goes too; one holding anything stays."""
    if is_plain_name(relative):
        with contextlib.suppress(OSError):
            os.rmdir(os.path.join(out, relative))
