"""Graph checks on real modules: the exact diagnostic lines of `quarn.run` and `inspect --check`."""

from __future__ import annotations

import importlib
import re
import subprocess
import sys

import pytest
from run_support import Pipeline

from quarn.runner.canonical import short_hash
from quarn.runner.graph.import_error import import_failure

# One module with one problem per asset group (cycles: test_run_plan, test_mapping); each is
# reported at its function's `def` line.
BROKEN = """
@asset(inputs={"d": "/no/such.py:raw"})
def lost(d):
    return d

@asset(partitions={"day": partitions([1])})
def need(day, m, optional=3, *rest, **more):
    return day

@asset(name="dup")
def first():
    return 1

@asset(inputs={"value": first, "extra": first})
async def down(value):
    return value

@asset(
    name="dup",
)
def second():
    return 2

@asset(partitions={"day": partitions([])})
def nothing(day):
    return day

@asset(name="a/b")
def hashed():  # an unsafe name: its folder is a_b-<hash>, which another asset is named
    return 1

@asset(name="TAKEN")
def literal():
    return 2

# The first key has no previous one, and nothing to receive in its place.
@asset(partitions={"day": partitions([1, 2])},
       inputs={"before": __import__("quarn").previous("chained", "day")})
def chained(day, before):
    return day
"""

TAKEN = "a_b-" + short_hash("a/b", 8)
# (function, asset, message); diagnostics come in line order
PROBLEMS = [
    ("down", "down", "input 'extra' is not a parameter of 'down'"),
    (
        "literal",
        TAKEN,
        f"its output folder '{TAKEN}' is also that of asset 'a/b' "
        "({path}:{hashed}); give one of them another name with name=",
    ),
    (
        "lost",
        "lost",
        "input 'd' refers to '/no/such.py:raw', which is not a discovered asset "
        "(an input names an asset as '/path/file.py:function', 'package.module:function' or by "
        "its name)",
    ),
    (
        "need",
        "need",
        "required parameter 'm' is neither an input nor a partition dimension, and no value "
        "is set for it: pass --set m=VALUE, or set it in [tool.quarn.params]",
    ),
    (
        "chained",
        "chained",
        "input 'before' takes the key 1 step back in dimension 'day' of 'chained', and key 1 "
        "has none: give 'before' a default (before=None) to receive nothing there",
    ),
    ("nothing", "nothing", "partition dimension 'day' is empty"),
    ("second", "dup", "another asset is also named 'dup' ({path}:{first})"),
]


def inspect_check(pipe: Pipeline, module: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "quarn.inspect", "--check", "--path", str(pipe.mods), module],
        capture_output=True, text=True, cwd=pipe.root, timeout=60,
    )  # fmt: skip


def test_each_problem_is_one_exact_line_and_nothing_runs(tmp_path):
    pipe = Pipeline(tmp_path)
    path = pipe.write("graph", BROKEN.replace("TAKEN", TAKEN)).resolve()
    lines = path.read_text().splitlines()

    def line(function: str) -> int:
        return next(n for n, t in enumerate(lines, 1) if re.match(f"(async )?def {function}\\(", t))

    expected = [
        f"{path}:{line(f)}: error: asset '{asset}': "
        + message.format(path=path, first=line("first"), hashed=line("hashed"))
        for f, asset, message in sorted(PROBLEMS, key=lambda problem: line(problem[0]))
    ]
    done = pipe.run("graph")
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        *expected,
        "python -m quarn.run: error: 7 problems in the asset graph; nothing was run",
    ]
    assert not pipe.out.exists()
    check = inspect_check(pipe, "graph")
    assert (check.returncode, check.stdout.splitlines()) == (1, expected)


def test_a_sound_module_passes_and_one_that_hangs_stops_the_run(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("good", "@asset()\ndef a():\n    return 1\n\nalias = a  # bound twice: one asset\n"
               "print(os.getpid(), end='')\n")  # fmt: skip
    check = subprocess.Popen(
        [sys.executable, "-m", "quarn.inspect", "--check", "--path", str(pipe.mods), "good"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=pipe.root,
    )  # fmt: skip
    stdout, stderr = check.communicate(timeout=60)
    # imported once, by the check itself; what the module prints is no diagnostic
    assert (check.returncode, stdout, stderr.strip()) == (0, "ok: 1 asset\n", str(check.pid))
    pipe.write("hangs", "time.sleep(60)\n")
    hung = pipe.run("hangs", extra=("--discovery-timeout", "1"))
    assert (hung.returncode, hung.stderr) == (
        1,
        "python -m quarn.run: error: discovery timed out after 1 s\n",
    )
    assert not pipe.out.exists()


@pytest.mark.parametrize(
    "command",
    [
        ("run", "--isolation", "fork", "--out", "out"),
        ("run", "--isolation", "spawn", "--out", "out"),
        ("run", "--isolation", "none", "--out", "out"),
        ("check",),
        ("show", "--out", "out"),
    ],
)
def test_a_module_that_cannot_be_imported_is_one_block_and_stops_the_command(tmp_path, command):
    pipe = Pipeline(tmp_path)
    pipe.write("good", "@asset()\ndef a():\n    return 1\n")
    pipe.write("helper", "import json\njson.loads('{')\n")  # raised in a library
    pipe.write("bad", "import helper\n")
    done = pipe.quarn(*command, "good", "bad", "--path", str(pipe.mods))
    # line 4 of each module, after the two lines of imports every generated module starts with
    assert (done.returncode, done.stderr) == (
        1,
        f"{pipe.mods / 'helper.py'}:4: error: cannot import module 'bad': "
        "json.decoder.JSONDecodeError: Expecting property name enclosed in double quotes: "
        f"line 1 column 2 (char 1)\n  from {pipe.mods / 'bad.py'}:3\n",
    )
    assert not pipe.out.exists()


# Modules (imported as the first), the error, its place and the imports that led there; the
# import runs from code without a file, as discovery's own frames count for nothing.
FAILED_IMPORTS = [
    ({"qi_m": "x = 1\ny = nope\n"}, "NameError: name 'nope' is not defined", "qi_m:2", ()),
    ({"qi_m": "import qi_n\n", "qi_n": "import json\njson.loads('[')\n"},
     "json.decoder.JSONDecodeError: Expecting value: line 1 column 2 (char 1)", "qi_n:2",
     ("qi_m:1",)),
    ({"qi_m": "\nimport qi_n\n", "qi_n": "def f(:\n    pass\n"}, "SyntaxError: invalid syntax",
     "qi_n:1", ("qi_m:2",)),
    ({"qi_m": "import qi_n\n", "qi_n": "import qi_o\n", "qi_o": "raise SystemExit(3)\n"},
     "SystemExit: 3", "qi_o:1", ("qi_n:1", "qi_m:1")),
]  # fmt: skip
CATCH = compile("try:\n    import_module('qi_m')\nexcept BaseException as e:\n    caught = e\n",
                "<discovery>", "exec")  # fmt: skip


@pytest.mark.parametrize(("sources", "error", "place", "via"), FAILED_IMPORTS)
def test_an_import_failure_is_placed_in_the_project_code(tmp_path, monkeypatch, sources, error,
                                                          place, via):  # fmt: skip
    for name, source in sources.items():
        (tmp_path / f"{name}.py").write_text(source)
        monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.syspath_prepend(str(tmp_path))
    scope = {"import_module": importlib.import_module}
    exec(CATCH, scope)
    found = import_failure("qi_m", scope["caught"])
    where = [f"{tmp_path}/{name}.py:{line}" for name, line in (p.split(":") for p in (place, *via))]
    assert (found.error, found.place, found.via) == (error, where[0], tuple(where[1:]))
