"""The runner's layers are checked by `make lint`: a lower layer that imports a higher one
breaks the check."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[2]
LINT = Path(sys.executable).parent / "lint-imports"


@pytest.mark.skipif(not LINT.exists(), reason="import-linter is not installed")
@pytest.mark.parametrize(
    ("module", "added", "broken"),
    [
        ("store/manifest.py", "from quarn.runner.plan import jobs", "store.manifest -> "),
        ("graph/model.py", "from quarn.runner.report import status", "graph.model -> "),
        ("state/words.py", "import quarn.runner.executors.scheduler", "state.words -> "),
    ],
)
def test_a_lower_layer_importing_a_higher_one_breaks_the_lint(tmp_path, module, added, broken):
    package = tmp_path / "quarn"
    shutil.copytree(ROOT / "python" / "quarn", package, ignore=shutil.ignore_patterns("*.so"))
    with open(package / "runner" / module, "a", encoding="utf-8") as handle:
        handle.write(f"\n{added}\n")
    done = subprocess.run(
        [str(LINT), "--no-cache", str(ROOT / "pyproject.toml")],
        cwd=tmp_path, env={"PYTHONPATH": str(tmp_path), "PATH": "/usr/bin:/bin"},
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    assert done.returncode != 0 and f"quarn.runner.{broken}" in done.stdout, done.stdout
