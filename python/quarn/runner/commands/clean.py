"""`quarn clean`: job folders nothing vouches for any more, old run records, temporaries."""

from __future__ import annotations

import argparse
import os
import shutil
import sys

from quarn.runner.commands import shared
from quarn.runner.contract import MANIFEST_FILE, RUNS_DIR, STATE_DIR
from quarn.runner.plan.jobs import build_jobs
from quarn.runner.store.history import history_dir, load_runs
from quarn.runner.store.layout import LayoutError
from quarn.runner.store.lock import LockHeld, acquire, current_command
from quarn.runner.store.manifest import Manifest
from quarn.runner.text import plural

_TEMPORARIES = (".manifest-", ".tmp-")


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "Remove from DIR what no run needs: job folders the manifest does not vouch for and "
        "the latest run did not plan (with MODULEs: also every job no longer in their plan, "
        "with its manifest record), run records beyond the newest --keep-runs, and "
        "temporary files of interrupted runs.",
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
    return shared.run_command(prog, lambda: _clean(args))


def _clean(args: argparse.Namespace) -> int:
    out = args.out
    if not os.path.isfile(os.path.join(out, MANIFEST_FILE)):
        raise shared.CommandError(f"{out} holds no {MANIFEST_FILE}: not an output directory")
    try:  # a run's folders look orphaned until it ends: never clean beside one
        lock = acquire(out, current_command())
    except LockHeld as exc:
        raise shared.CommandError(f"{exc}; nothing removed", 2) from None
    except (OSError, LayoutError) as exc:
        raise shared.CommandError(f"cannot lock {out}: {exc}") from None
    try:
        return _clean_locked(args)
    finally:
        lock.release()


def _clean_locked(args: argparse.Namespace) -> int:
    out = args.out
    manifest, warning = Manifest.load(out)
    if warning:
        raise shared.CommandError(f"{warning}; nothing removed")
    keep = set(manifest.jobs)
    runs, _ = load_runs(out)
    if runs:
        keep |= {j["id"] for j in runs[-1]["jobs"]}
    dropped: list[str] = []
    if args.modules:
        graph, _ = shared.load(args.modules, args.path)
        planned = {j.id for j in build_jobs(graph.order, {})}
        dropped = sorted(k for k in manifest.jobs if k not in planned)
        keep = planned
    victims = [
        *orphans(out, keep),
        *old_runs(out, max(args.keep_runs, 0)),
        *dead_runs(out),
        *temporaries(out),
    ]
    verb = "would remove" if args.dry_run else "removed"
    if not args.dry_run:
        if dropped:
            manifest.forget(dropped)
            manifest.save()
        for path in victims:
            _remove(path)
    for path in victims:
        sys.stdout.write(f"{verb} {path}\n")
    records = f", {len(dropped)} manifest record{plural(len(dropped))}" if dropped else ""
    sys.stdout.write(f"{verb} {len(victims)} path{plural(len(victims))}{records}\n")
    return 0


def orphans(out: str, keep: set[str]) -> list[str]:
    """Job folders (DIR/<asset>/<partition>) whose job id is not kept, and asset folders
    left with none."""
    found: list[str] = []
    for asset in _dirs(out):
        folder = os.path.join(out, asset)
        parts = _dirs(folder)
        gone = [p for p in parts if f"{asset}/{p}" not in keep]
        if gone and len(gone) == len(parts) and not _files(folder):
            found.append(folder)
        else:
            found += [os.path.join(folder, p) for p in gone]
    return found


def old_runs(out: str, keep: int) -> list[str]:
    folder = history_dir(out)
    try:
        names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    except FileNotFoundError:
        return []
    return [os.path.join(folder, n) for n in names[: max(len(names) - keep, 0)]]


def dead_runs(out: str) -> list[str]:
    """Private folders of runs that died: with the lock held, no run is alive."""
    folder = os.path.join(out, STATE_DIR, RUNS_DIR)
    try:
        return [os.path.join(folder, n) for n in sorted(os.listdir(folder))]
    except FileNotFoundError:
        return []


def temporaries(out: str) -> list[str]:
    return [os.path.join(out, n) for n in sorted(os.listdir(out)) if n.startswith(_TEMPORARIES)]


def _dirs(folder: str) -> list[str]:
    return sorted(
        n
        for n in os.listdir(folder)
        if not n.startswith(".")
        and os.path.isdir(os.path.join(folder, n))
        and not os.path.islink(os.path.join(folder, n))  # what a link points at is not ours
    )


def _files(folder: str) -> list[str]:
    return [n for n in os.listdir(folder) if not os.path.isdir(os.path.join(folder, n))]


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    else:
        os.unlink(path)
