"""The document byte for byte, references between assets, and the bundled example."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

from discovery_model import VERSION, compact, write_exact

from quarn import inspect_modules

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

# One module, byte for byte: blanks around it, a function nested in a block (dedented, its
# trailing blanks stripped), a tab, non-ASCII text, metadata keys out of order, characters
# that need escapes, assets declared with the decorator and imitations set by hand.
RAW = "@asset()\ndef raw() -> list:\n    return [1, 2, 3]\n"
CLEANED = (
    '@asset(name="Cleaned \u00e9", serializer="json", inputs={"b": raw, "a": "elsewhere:thing"})\n'
    "def cleaned(a, b):\n    return b\n"
)
PRICES = (
    '@asset(partitions={"ticker": partitions(["AAPL", "MSFT"]), "n": partitions([1, None])})\n'
    'def prices(ticker: str, n) -> dict:\n    return {"ticker": ticker}\n'
)
ALPHA = "def alpha() -> list:\n    return ['a\tb', '\u00e9']\n"
ALPHA_META = {"kind": "asset", "name": "r\u00e9", "inputs": {"b": "", "a": "", "B": "", "_": ""}}
ZETA_META = {"note": 'quote " back \\ ctl \x1f', "n": [1, None, True]}
SOURCE = (
    "\n\nfrom quarn import asset, partitions\n\n# Prices in \u20ac.\n"
    "if True:\n    def zeta():\n        return 'z'   \n\n\n"
    + "\n\n".join([ALPHA, RAW, CLEANED, PRICES])
    + "\nalpha.__quarn_kind__ = zeta.__quarn_kind__ = 'asset'\n"
    + f"alpha.__quarn_metadata__ = {ALPHA_META!r}\nzeta.__quarn_metadata__ = {ZETA_META!r}\n"
    + "   \n\t\n"
)


def inline(values_json: str) -> dict:
    return {"kind": "inline", "values_json": values_json}


def test_small_module_document_is_byte_exact(modules):
    file_path = str(write_exact(modules, "qr_tiny", SOURCE).resolve())
    unset = {"inputs": None, "kind": "asset", "name": None, "partitions": None, "serializer": None}
    inputs = {"a": "elsewhere:thing", "b": f"{file_path}:raw"}
    cleaned = unset | {"inputs": inputs, "name": "Cleaned \u00e9", "serializer": "json"}
    partitions = {"n": inline("[1,null]"), "ticker": inline('["AAPL","MSFT"]')}
    functions = {  # in member order: function source, decorator metadata, return type
        "alpha": (ALPHA, ALPHA_META, "list"),
        "cleaned": (CLEANED, cleaned, None),
        "prices": (PRICES, unset | {"partitions": partitions}, "dict"),
        "raw": (RAW, unset, "list"),
        "zeta": ("def zeta():\n    return 'z'\n", ZETA_META, None),
    }
    common = {
        "file_path": file_path,
        "kind": "asset",
        "module_path": "qr_tiny",
        "module_source": SOURCE.strip() + "\n",
        "python_version": VERSION,
    }
    expected = [
        common
        | {"decorator_metadata": metadata, "function_name": name}
        | {"function_source": source, "return_type": return_type}
        for name, (source, metadata, return_type) in functions.items()
    ]
    document = inspect_modules(["qr_tiny"])
    assert document == compact({"assets": expected})
    assert "\n" not in document and "\\t" in document and "\u00e9" in document
    assert r'"values_json":"[\"AAPL\",\"MSFT\"]"' in document


def test_input_reference_names_the_upstream_entry(modules, tmp_path):
    """Across modules, the upstream one imported through a symbolic link."""
    real = tmp_path / "real.py"
    real.write_text("from quarn import asset\n@asset()\ndef source():\n    return 1\n", "utf-8")
    (modules.root / "qs_upstream.py").symlink_to(real)
    modules.names.append("qs_upstream")
    modules.write(
        "qs_downstream",
        "from quarn import asset\nfrom qs_upstream import source\n"
        "@asset(inputs={'value': source})\ndef doubled(value):\n    return 2 * value\n",
    )
    upstream, doubled, _ = json.loads(inspect_modules(["qs_upstream", "qs_downstream"]))["assets"]
    assert upstream["file_path"] == str(real.resolve())
    reference = f"{upstream['file_path']}:{upstream['function_name']}"
    assert doubled["decorator_metadata"]["inputs"] == {"value": reference}


def test_bundled_example_through_the_command():
    command = [sys.executable, "-m", "quarn.inspect", "pipeline"]
    result = subprocess.run(command, cwd=EXAMPLES, capture_output=True, timeout=60, check=False)
    assert result.returncode == 0, result.stderr
    entries = json.loads(result.stdout)["assets"]
    path = str((EXAMPLES / "pipeline.py").resolve())
    assert {e["file_path"] for e in entries} == {path}
    assert [(e["function_name"], e["decorator_metadata"]["inputs"]) for e in entries] == [
        ("daily_prices", {"quote": f"{path}:prices"}),
        ("prices", None),
        ("processed", {"data": f"{path}:raw"}),
        ("raw", None),
        ("ticker_summary", {"days": f"{path}:daily_prices"}),
    ]
    ticker = entries[1]["decorator_metadata"]["partitions"]["ticker"]
    assert json.loads(ticker["values_json"]) == ["AAPL", "MSFT", "GOOG"]
