"""Discovery of assets declared with the real decorator, and of the bundled example."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

from discovery_model import VERSION, compact, write_exact

from quarn import inspect_modules

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

DECLARED = (
    "from quarn import asset, partitions\n"
    "\n"
    "\n"
    "@asset()\n"
    "def raw() -> list:\n"
    "    return [1, 2, 3]\n"
    "\n"
    "\n"
    '@asset(name="Cleaned \u00e9", serializer="json", inputs={"b": raw, "a": "elsewhere:thing"})\n'
    "def cleaned(a, b):\n"
    "    return b\n"
    "\n"
    "\n"
    '@asset(partitions={"ticker": partitions(["AAPL", "MSFT"]), "n": partitions([1, None])})\n'
    "def prices(ticker: str, n) -> dict:\n"
    '    return {"ticker": ticker}\n'
)


def test_decorated_module_document_is_byte_exact(modules):
    path = write_exact(modules, "qr_declared", DECLARED)
    file_path = str(path.resolve())
    common = {
        "file_path": file_path,
        "kind": "asset",
        "module_path": "qr_declared",
        "module_source": DECLARED.strip() + "\n",
        "python_version": VERSION,
    }
    unset = {"inputs": None, "kind": "asset", "name": None, "partitions": None, "serializer": None}
    cleaned = common | {
        "decorator_metadata": unset
        | {
            "inputs": {"a": "elsewhere:thing", "b": f"{file_path}:raw"},
            "name": "Cleaned \u00e9",
            "serializer": "json",
        },
        "function_name": "cleaned",
        "function_source": DECLARED.split("\n\n\n")[2] + "\n",
        "return_type": None,
    }
    prices = common | {
        "decorator_metadata": unset
        | {
            "partitions": {
                "n": {"kind": "inline", "values_json": "[1,null]"},
                "ticker": {"kind": "inline", "values_json": '["AAPL","MSFT"]'},
            }
        },
        "function_name": "prices",
        "function_source": DECLARED.split("\n\n\n")[3],
        "return_type": "dict",
    }
    raw = common | {
        "decorator_metadata": unset,
        "function_name": "raw",
        "function_source": DECLARED.split("\n\n\n")[1] + "\n",
        "return_type": "list",
    }
    document = inspect_modules(["qr_declared"])
    assert document == compact({"assets": [cleaned, prices, raw]})
    assert r'"values_json":"[\"AAPL\",\"MSFT\"]"' in document


def test_input_references_match_the_upstream_entry(modules):
    modules.write(
        "qs_upstream",
        """
        from quarn import asset

        @asset()
        def source():
            return 1
        """,
    )
    modules.write(
        "qs_downstream",
        """
        from quarn import asset
        from qs_upstream import source

        @asset(inputs={"value": source})
        def doubled(value):
            return 2 * value
        """,
    )
    entries = json.loads(inspect_modules(["qs_upstream", "qs_downstream"]))["assets"]
    by_module = {(e["module_path"], e["function_name"]): e for e in entries}
    upstream = by_module["qs_upstream", "source"]
    downstream = by_module["qs_downstream", "doubled"]
    reference = downstream["decorator_metadata"]["inputs"]["value"]
    assert reference == upstream["file_path"] + ":" + upstream["function_name"]
    # The imported wrapper is described again under the importing module.
    assert by_module["qs_downstream", "source"]["file_path"] == upstream["file_path"]


def test_bundled_example_through_the_command():
    result = subprocess.run(
        [sys.executable, "-m", "quarn.inspect", "pipeline"],
        cwd=EXAMPLES,
        capture_output=True,
        timeout=60,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    entries = json.loads(result.stdout)["assets"]
    names = ["daily_prices", "prices", "processed", "raw", "ticker_summary"]
    assert [e["function_name"] for e in entries] == names
    by_name = dict(zip(names, entries, strict=True))
    raw_reference = str((EXAMPLES / "pipeline.py").resolve()) + ":raw"
    assert by_name["processed"]["decorator_metadata"]["inputs"] == {"data": raw_reference}
    prices = by_name["prices"]["decorator_metadata"]
    assert json.loads(prices["partitions"]["ticker"]["values_json"]) == [
        "AAPL",
        "MSFT",
        "GOOG",
    ]
