"""Runs that reuse what earlier runs found: discovery and code versions remembered, and the
answer of a run that found nothing to do given again. Each case runs a project until its
answer is remembered, changes one thing, and checks that the next run saw the change (it
imported the project again and ran what it must) or, with nothing changed, imported
nothing and still recorded the run."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from run_support import HEADER, statuses

from quarn.runner.inputs import Inputs, changed, stat_key, text_digest
from quarn.runner.store.user_cache import trim, used

# The keys come from a file and a variable read at import, and from a module when there is
# one; `source` reads a data file as it runs; every import of the project is logged.
MAIN = (
    HEADER
    + """
with open(os.environ["IMPORT_LOG"], "a") as log:
    log.write("imported\\n")
try:
    from more_keys import KEYS as MORE
except ImportError:
    MORE = []
HERE = os.path.dirname(__file__)
KEYS = open(os.path.join(HERE, "keys.txt")).read().split() + os.environ.get("QKEYS", "").split()
KEYS += MORE


@asset(partitions={"k": partitions(KEYS)})
def source(k):
    return k + open("factor.txt").read().strip()


@asset(inputs={"source": source})
def total(source):
    return sorted(source.values())
"""
)


class Project:
    """Package `pkg` under `root/src`, output in `root/out`, runs through `python -m
    quarn.run pkg` with `python` (a virtual environment's, for installed packages)."""

    def __init__(self, root: Path, python: str = sys.executable) -> None:
        self.root, self.python = root, python
        self.pkg = root / "src" / "pkg"
        self.pkg.mkdir(parents=True)
        (self.pkg / "__init__.py").write_text("")
        (self.pkg / "main.py").write_text(MAIN)
        (self.pkg / "keys.txt").write_text("a b")
        (root / "factor.txt").write_text("1")
        self.log = root / "imports.log"
        self.env = {**os.environ, "IMPORT_LOG": str(self.log)}
        self.extra: tuple[str, ...] = ()

    def run(self, *extra: str, isolation: str = "fork") -> subprocess.CompletedProcess:
        done = subprocess.run(
            [self.python, "-m", "quarn.run", "pkg", "--path", "src", "--out", "out",
             "--jobs", "2", "--isolation", isolation, *self.extra, *extra],
            cwd=self.root, env=self.env, capture_output=True, text=True,
            stdin=subprocess.DEVNULL, timeout=120,
        )  # fmt: skip
        assert done.returncode == 0, done.stdout + done.stderr
        return done

    def imports(self) -> int:
        return len(self.log.read_text().splitlines()) if self.log.exists() else 0

    def history(self) -> list[dict]:
        folder = self.root / "out" / ".quarn" / "history"
        return [json.loads(p.read_text()) for p in sorted(folder.glob("*.json"))]


def writes(where: str, text: str):
    """The change that writes `text` into the file `where` of the project."""
    return lambda p: (p.root / where).write_text(text)


def _damage_cache(p: Project) -> None:
    for entry in Path(os.environ["XDG_CACHE_HOME"], "quarn").glob("*/*.json"):
        entry.write_bytes(b'{"format": 1, "inputs": [')


def _plant_cache(p: Project) -> None:
    for entry in Path(os.environ["XDG_CACHE_HOME"], "quarn").glob("*/*.json"):
        os.chown(entry, 12345, 12345)  # an entry this user did not write


def _value_of_a(p: Project) -> Path:
    return next((p.root / "out" / "source").glob("a-*")) / "value.json"


def _rewrite_value(p: Project) -> None:
    _value_of_a(p).write_text('"tampered"')


ALL = {("source", "k=a"), ("source", "k=b"), ("total", "-")}
AS_ROOT = pytest.mark.skipif(os.geteuid() != 0, reason="planting another user's entry needs root")

# (case, isolation, change, extra env, imports of the project, jobs that must run). The
# project is imported by discovery (the template for fork, the runner for none, a process
# of its own for spawn) unless it is remembered, and by each spawned job; what the module
# reads at import counts for each of its jobs, and a new key adds its job.
MORE = {*ALL, ("source", "k=c")}
NEW_KEY = {("source", "k=c"), ("total", "-")}
KEYS_C, FACTOR_2 = writes("src/pkg/keys.txt", "a b c"), writes("factor.txt", "2")
EDITED = writes("src/pkg/main.py", MAIN.replace("return k + open", "return k * 2 + open"))
NEW_MODULE = writes("src/pkg/extra.py", HEADER + "@asset()\ndef extra():\n    return 1\n")
MORE_KEYS = writes("src/more_keys.py", "KEYS = ['c']")
PROJECT_FILE = writes("pyproject.toml", "[tool.quarn]\nserializer = 'pickle'")
CASES = [
    ("nothing changed", "fork", None, {}, 0, set()),
    ("nothing changed", "spawn", None, {}, 0, set()),
    ("nothing changed", "none", None, {}, 0, set()),
    ("asset edited", "fork", EDITED, {}, 1, ALL),
    ("new module in the package", "spawn", NEW_MODULE, {}, 1, {("extra", "-")}),
    ("file read at import", "fork", KEYS_C, {}, 1, MORE),
    ("file read at import", "spawn", KEYS_C, {}, 1 + 4, MORE),
    ("file read at import", "none", KEYS_C, {}, 1, MORE),
    ("variable read at import", "fork", None, {"QKEYS": "c"}, 1, MORE),
    ("module appears on the import path", "fork", MORE_KEYS, {}, 1, NEW_KEY),
    ("project file appears", "spawn", PROJECT_FILE, {}, 1 + 3, ALL),  # its root, a serializer
    ("file read by a job", "fork", FACTOR_2, {}, 1, ALL),  # the template, once a job runs
    ("file read by a job", "none", FACTOR_2, {}, 1, ALL),
    ("file read by a job", "spawn", FACTOR_2, {}, 3, ALL),  # the jobs alone
    ("value rewritten in the output", "spawn", _rewrite_value, {}, 1, {("source", "k=a")}),
    ("--force", "fork", lambda p: setattr(p, "extra", ("--force",)), {}, 1, ALL),
    ("cache damaged", "fork", _damage_cache, {}, 1, set()),
    pytest.param("cache planted", "fork", _plant_cache, {}, 1, set(), marks=AS_ROOT),
]


@pytest.mark.parametrize(("case", "isolation", "change", "env", "imports", "ran"), CASES)
def test_a_run_sees_what_changed_and_imports_nothing_when_nothing_did(
    tmp_path, case, isolation, change, env, imports, ran
):
    project = Project(tmp_path)
    project.run(isolation=isolation)
    project.run(isolation=isolation)  # plans, and remembers (creating out/ moved the root)
    before, runs = project.imports(), len(project.history())
    if change is not None:
        change(project)
    project.env.update(env)
    done = project.run(isolation=isolation)
    assert project.imports() - before == imports, done.stderr
    assert {job for job, status in statuses(done.stdout).items() if status == "succeeded"} == ran
    if not ran:
        assert "nothing to do: 3 jobs up to date" in done.stdout
    history = project.history()
    assert len(history) == runs + 1  # every run is in the history, answered or not
    assert history[-1]["jobs"] == history[-2]["jobs"] or ran
    if case == "value rewritten in the output":
        assert json.loads(_value_of_a(project).read_text()) == "a1"
    if case.startswith("file read by a job"):
        assert json.loads((tmp_path / "out/total/_/value.json").read_text()) == ["a2", "b2"]


@pytest.mark.parametrize(
    "extra", [("--check-only",), ("--check-only", "--json"), ("--stats",), ("-q", "--why")]
)
def test_an_answer_given_again_is_the_one_planned(tmp_path: Path, extra: tuple[str, ...]) -> None:
    project = Project(tmp_path)
    project.run()
    planned = project.run(*extra)
    before = project.imports()
    again = project.run(*extra)
    assert project.imports() == before  # answered from memory
    assert again.stdout == planned.stdout
    if "--stats" in extra:
        assert again.stderr == "quarn: stats: no job ran\n"


def test_an_installed_package_upgraded_is_discovered_again(tmp_path: Path) -> None:
    """The project's partitions come from an installed package: upgrading it (its files and
    its metadata replaced in site-packages, as an installer does) must show."""
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    site = next(venv.glob("lib/python*/site-packages"))
    ours = next(p for p in sys.path if p.endswith("site-packages") and Path(p, "quarn").is_dir())
    (site / "ours.pth").write_text(ours + "\n")  # quarn, as the test environment installed it

    def install(version: str, keys: str) -> None:
        for old in site.glob("keyring_pkg*"):
            shutil.rmtree(old)
        (site / "keyring_pkg").mkdir()
        (site / "keyring_pkg" / "__init__.py").write_text(f"KEYS = {keys.split()!r}\n")
        info = site / f"keyring_pkg-{version}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(
            f"Metadata-Version: 2.1\nName: keyring_pkg\nVersion: {version}\n"
        )

    install("1.0", "a b")
    project = Project(tmp_path / "project", python=str(venv / "bin" / "python"))
    (project.pkg / "main.py").write_text(
        MAIN.replace(
            "KEYS = open", "from keyring_pkg import KEYS as INSTALLED\nKEYS = INSTALLED + open"
        )
    )
    project.run()
    project.run()
    install("2.0", "a b c")
    done = project.run()
    assert ("source", "k=c") in statuses(done.stdout)


@pytest.mark.parametrize(
    ("change", "found"),
    [
        (lambda f, d: f.write_text("x" * 5), "changed"),  # another size
        (lambda f, d: os.utime(f, ns=(1, 1)), "changed"),  # the same bytes, another time
        (lambda f, d: f.unlink(), "is gone"),
        (lambda f, d: (d / "new.py").write_text(""), "changed"),  # the folder gains an entry
        (lambda f, d: (d / "absent.py").write_text(""), "changed"),  # absent, now there
        (lambda f, d: os.environ.__setitem__("QNOOP", "2"), "environment QNOOP changed"),
        (lambda f, d: os.environ.pop("QNOOP"), "environment QNOOP changed"),
        (lambda f, d: None, ""),
    ],
)
def test_what_counts_as_changed(tmp_path: Path, monkeypatch, change, found: str) -> None:
    folder = tmp_path / "pkg"
    folder.mkdir()
    file = folder / "mod.py"
    file.write_text("x")
    monkeypatch.setenv("QNOOP", "1")
    recorded = Inputs()
    for path in (file, folder, folder / "absent.py"):
        recorded.path(str(path), stat_key(str(path)))
    recorded.variable("QNOOP", text_digest("1"))
    kept = Inputs.from_json(json.loads(json.dumps(recorded.to_json())))
    assert kept is not None
    change(file, folder)
    assert found in changed(kept) and bool(changed(kept)) == bool(found)


def test_a_path_seen_with_two_stats_is_unsure(tmp_path: Path) -> None:
    file = tmp_path / "mod.py"
    file.write_text("x")
    seen = Inputs({str(file): stat_key(str(file))})
    file.write_text("xy")
    assert "changed while it was used" in seen.add(Inputs({str(file): stat_key(str(file))})).unsure
    assert changed(seen)


def test_the_entries_used_last_are_kept(tmp_path: Path) -> None:
    for n in range(5):
        (tmp_path / f"{n}.json").write_text("{}")
        os.utime(tmp_path / f"{n}.json", ns=(n * 10**9, n * 10**9))
    used(str(tmp_path / "0.json"))  # the oldest written, the last used
    trim(str(tmp_path), 3)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["0.json", "3.json", "4.json"]
