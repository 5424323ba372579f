"""Command stub `python -m quarn.worker`: materializes one asset into an output directory.

    python -m quarn.worker MODULE FUNCTION OUTPUT_DIR [--inputs-json TEXT | --inputs-file PATH]
                           [--path DIR]...

Exit status: 0 when the run succeeded, 1 when it failed (`result.json` then holds the
failure record, or an error prevented writing one), 2 for a usage error.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from quarn import materialize_asset
from quarn._paths import prepare_imports


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m quarn.worker",
        description=(
            "Materialize one asset: import MODULE, call FUNCTION (the undecorated function "
            "of an @asset), and write value.json and result.json into OUTPUT_DIR. "
            "Exits with 0 on success and 1 when the run failed."
        ),
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the module to import")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in MODULE")
    parser.add_argument(
        "output_dir", metavar="OUTPUT_DIR", help="directory for the two files; created if missing"
    )
    inputs = parser.add_mutually_exclusive_group()
    inputs.add_argument(
        "--inputs-json",
        metavar="TEXT",
        help="JSON object whose members are passed to the function as keyword arguments",
    )
    inputs.add_argument(
        "--inputs-file", metavar="PATH", help="read that JSON object from a UTF-8 file"
    )
    parser.add_argument(
        "--path",
        metavar="DIR",
        action="append",
        default=[],
        help="directory to put in front of the import path; may be repeated",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> None:
    """Runs one materialization. A failed run leaves through the SystemExit(1) that
    materialize_asset raises after writing the failure record."""
    parser = build_parser()
    args = parser.parse_args(argv)
    inputs: str | None = args.inputs_json
    if args.inputs_file is not None:
        try:
            with open(args.inputs_file, encoding="utf-8", newline="") as file:
                inputs = file.read()
        except (OSError, UnicodeDecodeError) as error:
            parser.error(f"cannot read --inputs-file {args.inputs_file!r}: {error}")
    prepare_imports(args.path, __file__)
    materialize_asset(args.module, args.function, args.output_dir, inputs)


if __name__ == "__main__":
    main()
