"""Command stub `python -m quarn.inspect`: prints the inspection document of the named modules.

    python -m quarn.inspect [--path DIR]... [--check] [--document-file PATH] MODULE [MODULE ...]

The document goes to standard output as one line followed by a line feed. A module that
fails to import is reported on standard error and left out; the exit status is still 0.
Ctrl-C ends the command with status 130 and no document.
"""

import argparse
import sys
from collections.abc import Sequence

from quarn._paths import prepare_imports
from quarn._quarn import inspect_modules

PROG = "python -m quarn.inspect"


def build_parser() -> argparse.ArgumentParser:
    """The command line: module names, and directories to put on the import path."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Import the named modules and print, as one line of JSON on standard "
        "output, the inspection document describing every quarn asset they hold.",
    )
    parser.add_argument(
        "modules",
        nargs="+",
        metavar="MODULE",
        help="dotted name of a module to inspect; modules that fail to import are "
        "reported on standard error and skipped",
    )
    parser.add_argument(
        "--path",
        action="append",
        default=[],
        metavar="DIR",
        help="directory to put in front of the import path (repeatable; the first given "
        "is searched first). The current directory is always importable.",
    )
    parser.add_argument(
        "--check",
        action="store_true",
        help="check the asset graph instead: print each problem as "
        "'file:line: error: asset ...' and exit with status 1 when there is any",
    )
    parser.add_argument(
        "--document-file",
        metavar="PATH",
        help="write the document, each module that could not be imported (where and why) "
        "and the serializers the modules registered, as one JSON object, to PATH instead "
        "of standard output; what the modules print while being imported then cannot be "
        "mistaken for it",
    )
    return parser


def emit(document: str) -> None:
    """Writes the document and one line feed to standard output, as UTF-8 whatever the locale."""
    stream = sys.stdout
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        stream.write(document + "\n")
        stream.flush()
        return
    stream.flush()
    buffer.write(document.encode("utf-8") + b"\n")
    buffer.flush()


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns the exit status,
    130 when interrupted by Ctrl-C (no document is printed then)."""
    args = build_parser().parse_args(argv)
    try:
        if not args.check and args.document_file is None:
            prepare_imports(args.path, __file__)
            emit(inspect_modules(args.modules))
            return 0
        # For the runner: discovery as every run and command does it.
        if args.check:
            from quarn.runner.commands.check import check_modules

            return check_modules(args.modules, args.path)
        from quarn.runner.executors.discover_here import discover_here, encode

        found = discover_here(args.modules, args.path, jobs_here=False)
        with open(args.document_file, "wb") as handle:
            handle.write(encode(found) + b"\n")
    except KeyboardInterrupt:
        sys.stderr.write(f"\n{PROG}: interrupted\n")
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
