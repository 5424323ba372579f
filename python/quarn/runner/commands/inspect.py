"""`quarn inspect`: the inspection document of some modules, as discovery writes it."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

from quarn.runner.commands import shared
from quarn.runner.contract import discovery_command
from quarn.runner.graph.modules import ModuleError, resolve


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = shared.parser(
        prog,
        "Import MODULEs in a separate process and print the inspection document describing "
        "every asset they hold: one line of compact JSON, or indented with --indent.",
        "A module that fails to import is reported on standard error and left out.",
    )
    shared.add_modules(parser)
    parser.add_argument(
        "--indent", type=int, metavar="N", help="indent the JSON by N spaces, for reading"
    )
    return parser


def main(argv: list[str] | None = None, prog: str = "quarn inspect") -> int:
    args = shared.parse(build_parser(prog), argv)
    return shared.run_command(prog, lambda: _inspect(args))


def _inspect(args: argparse.Namespace) -> int:
    try:
        found = resolve(args.modules, args.path, args.base)
    except ModuleError as exc:
        raise shared.CommandError(str(exc)) from None
    paths = [os.path.abspath(p) for p in [*args.path, *found.paths]]
    command = discovery_command(found.modules, paths)
    if args.indent is None:
        return subprocess.call(command, stdin=subprocess.DEVNULL)
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    lines = done.stdout.decode("utf-8", "surrogateescape").splitlines()
    if done.returncode != 0 or not lines:
        return done.returncode or 1
    for line in lines[:-1]:  # what the modules printed while being imported
        sys.stderr.write(line + "\n")
    document = json.loads(lines[-1])
    sys.stdout.write(json.dumps(document, indent=args.indent, ensure_ascii=False) + "\n")
    return 0
