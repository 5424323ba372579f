"""Code versions read from source: what an edit changes, and what it must not."""

from __future__ import annotations

import hashlib
import json
import sys

import pytest
from run_support import edit, job_spec, run_job, write_files

from quarn.runner.graph.model import Asset
from quarn.runner.plan.code_version import Project, top_level_distributions
from quarn.runner.plan.prepare import code_roots, code_versions
from quarn.runner.project import project_roots

FILES = {
    "pipe.py": """
        import json
        from quarn import asset
        from pkg import helpers
        from pkg.helpers import Shape
        from pkg.more import *

        LIMIT = 10
        LIMIT += 1
        SHADOWED = 5

        def _local_helper(x):
            return [x] * LIMIT

        def plain(f):
            return f

        @asset(inputs={"x": "up"})
        @plain
        def a(x):
            \"\"\"The asset.\"\"\"
            # a comment
            return helpers.scale(x) + Shape().area() + len(_local_helper(x)) + starred()

        @asset()
        def b():
            SHADOWED = 1
            from pkg.lazy import late
            return [SHADOWED, json.dumps(late())] + [LIMIT for LIMIT in range(2)]
    """,
    "pkg/__init__.py": "",
    "pkg/helpers.py": """
        FACTOR = 3
        UNUSED = 4

        def scale(x):
            \"\"\"Scales.\"\"\"
            return x * FACTOR

        def unrelated():
            return UNUSED

        class Shape:
            SIDE = 2
            def area(self):
                return self.SIDE ** 2
    """,
    "pkg/more.py": "def starred():\n    return 1\n\ndef other():\n    return 2\n",
    "pkg/lazy.py": "def late():\n    return 'late'\n",
}

# file, old text, new text -> whether a's and b's versions change
EDITS = {
    "docstring": ("pkg/helpers.py", '"""Scales."""', '"""Scales by FACTOR."""', False, False),
    "formatting": ("pipe.py", "return [x] * LIMIT", "return [x]*LIMIT  # same", False, False),
    "declaration": ("pipe.py", '{"x": "up"}', '{"x": "other"}', False, False),
    "another decorator": ("pipe.py", "return f", "return lambda x: f(x) * 2", True, False),
    "unrelated function": ("pkg/helpers.py", "return UNUSED", "return UNUSED + 1", False, False),
    "unread constant": ("pkg/helpers.py", "UNUSED = 4", "UNUSED = 5", False, False),
    "class body": ("pkg/helpers.py", "SIDE = 2", "SIDE = 3", True, False),
    "augmented constant": ("pipe.py", "LIMIT += 1", "LIMIT += 2", True, False),
    "local helper": ("pipe.py", "[x] * LIMIT", "[x, x] * LIMIT", True, False),
    "star import": ("pkg/more.py", "return 1", "return 3", True, False),
    "star-imported other": ("pkg/more.py", "return 2", "return 4", False, False),
    "shadowed by a local": ("pipe.py", "SHADOWED = 5", "SHADOWED = 6", False, False),
    "import in the function": ("pkg/lazy.py", "'late'", "'later'", False, True),
}


def versions(root) -> dict[str, object]:
    project = Project(project_roots([str(root)], cwd=str(root)))
    return {f: project.code_version(str(root / "pipe.py"), f, "pipe") for f in "ab"}


@pytest.mark.parametrize(("file", "old", "new", "a_changes", "b_changes"), EDITS.values(),
                         ids=EDITS)  # fmt: skip
def test_an_edit_changes_the_versions_of_the_code_that_reads_it(
    tmp_path, file, old, new, a_changes, b_changes
):
    write_files(tmp_path, FILES)
    before = versions(tmp_path)
    path = tmp_path / file
    edit(path, old, new)
    after = versions(tmp_path)
    assert (before["a"].digest != after["a"].digest) is a_changes
    assert (before["b"].digest != after["b"].digest) is b_changes
    # a file whose edit changes a version is among the files the job worker checks
    for name, changes in (("a", a_changes), ("b", b_changes)):
        assert not changes or str(path) in after[name].sources


def test_the_place_of_the_project_and_other_packages(tmp_path):
    write_files(tmp_path / "one", FILES)
    write_files(tmp_path / "two", FILES)
    one, two = versions(tmp_path / "one"), versions(tmp_path / "two")
    assert one["a"].digest == two["a"].digest
    assert sorted(one["a"].sources) == [
        str(tmp_path / "one" / f) for f in ("pipe.py", "pkg/helpers.py", "pkg/more.py")
    ]
    project = Project([str(tmp_path)])
    python = f"python {sys.version_info.major}.{sys.version_info.minor}"
    assert project._external_version("json.decoder") == f"json: {python}"
    assert project._external_version("pytest").startswith(f"pytest: pytest=={pytest.__version__}")


def test_the_distributions_of_modules_are_the_standard_librarys_answer():
    import importlib.metadata

    assert top_level_distributions() == importlib.metadata.packages_distributions()


@pytest.mark.parametrize("changed", [False, True])
def test_the_job_worker_runs_only_the_planned_source(tmp_path, changed):
    module = tmp_path / "planned.py"
    module.write_text("def a():\n    return 1\n")
    digest = hashlib.sha256(module.read_bytes()).hexdigest()
    if changed:
        module.write_text("def a():\n    return 2\n")
    job_spec(tmp_path, "planned", "a", sources={str(module): digest})
    done = run_job(tmp_path, {"XDG_CACHE_HOME": str(tmp_path / "cache")})
    record = json.loads((tmp_path / "stage" / "result.json").read_text())
    if changed:
        assert done.returncode == 1
        assert record["error"] == (
            f"SourceChanged: the source of {module} changed since the run was planned; run again"
        )
    else:
        assert done.returncode == 0 and record["ok"] is True
        assert not (tmp_path / "__pycache__").exists()  # compiled into the user's cache only
        assert len(list((tmp_path / "cache" / "quarn" / "code").iterdir())) == 1


def test_modules_beside_an_asset_imported_from_another_folder_are_the_projects(tmp_path):
    write_files(tmp_path / "src", {
        "mypkg/__init__.py": "",
        "mypkg/util.py": "K = 1\n",
        "mypkg/assets.py": "from mypkg.util import K\ndef val():\n    return K\n",
    })  # fmt: skip
    path = tmp_path / "src" / "mypkg" / "assets.py"
    val = Asset(0, f"{path}:val", "mypkg.assets", "val", str(path), "", "", {})
    sources = code_versions([val], code_roots([val], []))[val].sources
    assert str(tmp_path / "src" / "mypkg" / "util.py") in sources
