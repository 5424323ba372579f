"""What a job was seen to use decides, end to end: after each change the static version
cannot see, an incremental run gives what a fresh run of the same source gives, and runs
exactly what used the change; a change that alters nothing runs nothing."""

from __future__ import annotations

import os
import textwrap
from dataclasses import dataclass, field

import pytest
from run_support import Pipeline, edit, succeeded, write_files


@dataclass(frozen=True)
class Case:
    files: dict[str, str]  # path under the project -> text (modules live in mods/)
    edits: list[tuple[str, str, str]]  # (path, old, new); old "" means: touch the file
    ran: list[str]  # the assets the incremental run runs
    compared: list[str]  # the assets whose values must equal a fresh run's
    env: dict[str, str] = field(default_factory=dict)  # the environment of the second runs
    first_env: dict[str, str] = field(default_factory=dict)


HELPERS = {"mods/pkg/__init__.py": "", "mods/pkg/helpers.py": "def scale(x):\n    return x * 3\n"}
REGISTRY = {
    "mods/registry.py": "HANDLERS = {}\n\ndef register(name):\n"
    "    def wrap(f):\n        HANDLERS[name] = f\n        return f\n    return wrap\n",
    "mods/plugins.py": "from registry import register\n\n"
    '@register("double")\ndef double(x):\n    return 2 * x\n',
}
SHAPES = {
    "mods/shapes.py": "class Box:\n    def __init__(self, n):\n        self.n = n\n\n"
    "    def area(self):\n        return self.n * self.n\n"
}
SERIALIZER = {
    "mods/wrapping.py": "import json\nfrom quarn import register_serializer\n\n"
    "def dump(value, path):\n    with open(path, 'w') as f:\n        json.dump({'v': value}, f)\n\n"
    "def load(path):\n    with open(path) as f:\n        return json.load(f)['v']\n\n"
    "register_serializer('wrapped', suffix='wjson', dump=dump, load=load)\n"
}


def pipe(body: str) -> dict[str, str]:
    return {"mods/pipe.py": "import os\nfrom quarn import asset\n" + textwrap.dedent(body)}


READS = {
    "data.csv": "a\n1\n",
    **pipe("""
    @asset()
    def source():
        with open("data.csv") as handle:
            return handle.read()
"""),
}
IMPORTS = {
    **HELPERS,
    **pipe("""
    import importlib

    @asset()
    def scaled():
        return importlib.import_module("pkg.helpers").scale(2)
"""),
}
STORES = {
    **SERIALIZER,
    **pipe("""
    import wrapping  # noqa: F401 (registers)

    @asset(serializer="wrapped")
    def made():
        return 5

    @asset(inputs={"v": made})
    def used(v):
        return v + 1
"""),
}

# fmt: off
CASES = {
    "helper through importlib.import_module": Case(
        IMPORTS, [("mods/pkg/helpers.py", "x * 3", "x * 4")], ["scaled"], ["scaled"]),
    "helper through globals()": Case(pipe("""
        def helper(x):
            return x + 1

        @asset()
        def found():
            return globals()["helper"](1)
    """), [("mods/pipe.py", "x + 1", "x + 2")], ["found"], ["found"]),
    "registry filled by a module imported for its side effect": Case({**REGISTRY, **pipe("""
        import plugins  # noqa: F401 (registers)
        from registry import HANDLERS

        @asset()
        def via():
            return HANDLERS["double"](4)
    """)}, [("mods/plugins.py", "2 * x", "3 * x")], ["via"], ["via"]),
    # the upstream runs again and writes the same bytes: only the downstream ran the method
    "method of an instance that arrives pickled": Case({**SHAPES, **pipe("""
        from shapes import Box

        @asset(serializer="pickle")
        def box():
            return Box(3)

        @asset(inputs={"b": box})
        def area(b):
            return b.area()
    """)}, [("mods/shapes.py", "self.n * self.n", "self.n * self.n + 1")], ["area", "box"],
        ["area"]),
    "helper module found through PYTHONPATH": Case(
        {"elsewhere/farhelp.py": "def far(x):\n    return x + 100\n", **pipe("""
            import farhelp

            @asset()
            def far():
                return farhelp.far(1)
        """)}, [("elsewhere/farhelp.py", "x + 100", "x + 200")], ["far"], ["far"],
        env={"PYTHONPATH": "elsewhere"}, first_env={"PYTHONPATH": "elsewhere"}),
    "module constant read from the environment": Case(pipe("""
        SCALE = int(os.environ.get("QSCALE", "1"))

        @asset()
        def scaled():
            return 7 * SCALE
    """), [], ["scaled"], ["scaled"], env={"QSCALE": "3"}, first_env={"QSCALE": "2"}),
    "data file the asset reads": Case(READS, [("data.csv", "1", "2")], ["source"], ["source"]),
    "data file read by pandas": Case({"data.csv": "a\n1\n", **pipe("""
        import pandas

        @asset()
        def frame():
            return int(pandas.read_csv("data.csv")["a"].sum())
    """)}, [("data.csv", "1", "2")], ["frame"], ["frame"]),
    "data file the module reads when imported": Case({"lookup.txt": "abc", **pipe("""
        with open("lookup.txt") as handle:
            LOOKUP = handle.read()

        @asset()
        def looked():
            return LOOKUP
    """)}, [("lookup.txt", "abc", "abd")], ["looked"], ["looked"]),
    "load of a serializer the project registered": Case(
        STORES, [("mods/wrapping.py", "['v']\n\nregister", "['v'] * 10\n\nregister")],
        ["used"], ["used"]),
    "dump of a serializer the project registered": Case(
        STORES, [("mods/wrapping.py", "{'v': value}", "{'v': value * 2}")], ["made", "used"],
        ["used"]),
    # `meddler` rewrites the value of `a` once, after `a` stored it and before `b` read it
    "upstream value rewritten before its downstream read it": Case(pipe("""
        @asset()
        def a():
            return 1

        @asset(inputs={"x": a})
        def meddler(x):
            if not os.path.exists("meddled"):
                open("meddled", "w").close()
                with open(os.path.join("out", "a", "_", "value.json"), "w") as handle:
                    handle.write("41")
            return x

        @asset(inputs={"x": a, "m": meddler})
        def b(x, m):
            return x + 1
    """), [], ["a", "b"], ["b"]),
    # What changes nothing runs nothing.
    "data file touched, not changed": Case(READS, [("data.csv", "", "")], [], ["source"]),
    "comment in a helper that ran": Case(
        IMPORTS, [("mods/pkg/helpers.py", "return x * 3", "return x * 3  # the same")], [],
        ["scaled"]),
}
# fmt: on


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_an_incremental_run_gives_what_a_fresh_run_gives(tmp_path, case):
    project = Pipeline(tmp_path)
    write_files(tmp_path, case.files)
    assert succeeded(project.run("pipe", env=case.first_env))
    for path, old, new in case.edits:
        if old:
            edit(tmp_path / path, old, new)
        else:
            stat = (tmp_path / path).stat()
            os.utime(tmp_path / path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))
    assert succeeded(project.run("pipe", env=case.env)) == case.ran
    fresh = tmp_path / "fresh"
    assert succeeded(project.run("pipe", env=case.env, out=fresh))
    for asset in case.compared:
        assert project.value(asset) == project.value(asset, out=fresh), asset
    again = project.run("pipe", env=case.env)
    assert succeeded(again) == [] and "up to date" in again.stdout  # and it stays current


def test_every_isolation_keeps_the_same_record(tmp_path):
    """fork imports the modules once in the template, none in the runner, spawn in each
    job: the manifest records the same of every job."""
    project = Pipeline(tmp_path)
    write_files(tmp_path, {**HELPERS, **SHAPES, **REGISTRY, "data.csv": "a\n1\n"})
    project.write("pipe", """
        import importlib
        import plugins  # noqa: F401
        from registry import HANDLERS
        from shapes import Box

        SCALE = int(os.environ.get("QSCALE", "1"))

        @asset(serializer="pickle")
        def box():
            return Box(3)

        @asset(inputs={"b": box})
        def area(b):
            return b.area() * SCALE + importlib.import_module("pkg.helpers").scale(1)

        @asset(partitions={"n": partitions([1, 2])})
        def source(n):
            with open("data.csv") as handle:
                return HANDLERS["double"](n) + len(handle.read())
    """)  # fmt: skip
    recorded = {}
    for isolation in ("fork", "spawn", "none"):
        out = tmp_path / isolation
        assert succeeded(project.run("pipe", extra=("--isolation", isolation), out=out))
        manifest = project.manifest(out)
        deps = {j: e.get("deps") for j, e in manifest["jobs"].items()}
        inputs = {j: e.get("inputs") for j, e in manifest["jobs"].items()}
        recorded[isolation] = (deps, inputs, manifest.get("deps"))
    assert recorded["fork"] == recorded["spawn"] == recorded["none"]
    deps, _, parts = recorded["fork"]
    assert len({d["code"] for d in deps.values()}) == 3  # box, area, and both keys of source
    assert len(parts) == 3 + 1 + 1  # three code parts, the file, the variable
