"""`quarn`: the one command line, with a subcommand per task (`quarn run`, `quarn graph`...).

Each subcommand is a module here with a `SUMMARY` line and `main(argv, prog)`; the table
below is the whole dispatch, and `quarn SUBCOMMAND --help` is the subcommand's own parser.
"""

from __future__ import annotations

import difflib
import importlib
import sys

# name -> (module, summary); the summaries are repeated here so `quarn --help` imports none.
COMMANDS = {
    "run": ("run", "materialize the assets of some modules, only what changed"),
    "check": ("check", "check the asset graph; print each problem, or `ok: N assets`"),
    "show": ("show", "list the assets of some modules, or one asset's jobs with their state"),
    "graph": ("graph", "draw the asset graph (svg, png, Graphviz dot or Mermaid)"),
    "report": ("report", "write the latest run of an output directory as one HTML page"),
    "history": ("history", "list the runs of an output directory, or one asset's jobs in them"),
    "clean": ("clean", "remove orphaned job folders and old run records"),
    "inspect": ("inspect", "print the inspection document of some modules (JSON)"),
}

USAGE = "usage: quarn [--version] [--help] COMMAND [ARGS...]\n"


def help_text() -> str:
    width = max(len(name) for name in COMMANDS)
    lines = [
        USAGE,
        "Declare data assets as Python functions; quarn checks their graph and materializes",
        "each asset (each partition) in its own worker process, only what changed.",
        "",
        "commands:",
        *(f"  {name.ljust(width)}  {summary}" for name, (_, summary) in COMMANDS.items()),
        "",
        "Run `quarn COMMAND --help` for a command's options. A MODULE may be a module name,",
        "a package (all its submodules), a file (pipelines/sales.py) or a folder.",
    ]
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    words = list(sys.argv[1:] if argv is None else argv)
    if not words:
        sys.stderr.write(help_text())
        return 2
    first, rest = words[0], words[1:]
    if first in ("-h", "--help", "help"):
        if first == "help" and rest and rest[0] in COMMANDS:
            return _dispatch(rest[0], ["--help"])
        sys.stdout.write(help_text())
        return 0
    if first == "--version":
        sys.stdout.write(f"quarn {_version()}\n")
        return 0
    if first not in COMMANDS:
        close = difflib.get_close_matches(first, list(COMMANDS), n=1)
        hint = f"; did you mean '{close[0]}'?" if close else ""
        sys.stderr.write(USAGE + f"quarn: error: unknown command '{first}'{hint}\n")
        return 2
    return _dispatch(first, rest)


def _dispatch(name: str, argv: list[str]) -> int:
    module = importlib.import_module(f"quarn.runner.commands.{COMMANDS[name][0]}")
    status: int = module.main(argv, prog=f"quarn {name}")
    return status


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version  # slow to import: only here

    try:
        return version("quarn")
    except PackageNotFoundError:
        return "(not installed)"
