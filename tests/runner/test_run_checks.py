"""Graph checks on real modules: the exact diagnostic lines of `quarn.run` and `inspect --check`."""

from __future__ import annotations

import re
import subprocess
import sys

from run_support import Pipeline

from quarn.runner.canonical import short_hash

# One module with one problem per asset group; each is reported at its function's `def` line.
BROKEN = """
@asset(inputs={"d": "/no/such.py:raw"})
def lost(d):
    return d

@asset(inputs={"v": __file__ + ":b"})
def a(v):
    return v

@asset(inputs={"v": a})
def b(v):
    return v

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

# A window includes the job's own key: from its own asset, a key would need itself.
@asset(partitions={"day": partitions([1, 2])},
       inputs={"week": __import__("quarn").window("rolling", "day", 2)})
def rolling(day, week=None):
    return day

# The first key has no previous one, and nothing to receive in its place.
@asset(partitions={"day": partitions([1, 2])},
       inputs={"before": __import__("quarn").previous("chained", "day")})
def chained(day, before):
    return day
"""

TAKEN = "a_b-" + short_hash("a/b", 8)
# (function, asset, message); diagnostics come in line order
PROBLEMS = [
    ("a", "a", "dependency cycle: a -> b -> a"),
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
        "rolling",
        "rolling",
        "dependency cycle: rolling -> rolling (through a key mapping, a key would need itself)",
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
        "python -m quarn.run: error: 9 problems in the asset graph; nothing was run",
    ]
    assert not pipe.out.exists()
    check = inspect_check(pipe, "graph")
    assert (check.returncode, check.stdout.splitlines()) == (1, expected)


def test_a_sound_module_passes_and_one_that_cannot_be_imported_or_hangs_stops_the_run(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("good", "@asset()\ndef a():\n    return 1\n\nalias = a  # bound twice: one asset\n"
               "print(os.getpid(), end='')\n")  # fmt: skip
    pipe.write("bad", "raise RuntimeError('nope')\n")
    check = subprocess.Popen(
        [sys.executable, "-m", "quarn.inspect", "--check", "--path", str(pipe.mods), "good"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=pipe.root,
    )  # fmt: skip
    stdout, stderr = check.communicate(timeout=60)
    # imported once, by the check itself; what the module prints is no diagnostic
    assert (check.returncode, stdout, stderr.strip()) == (0, "ok: 1 asset\n", str(check.pid))
    done = pipe.run("good", "bad")
    assert done.returncode == 1
    assert "quarn: skipping module 'bad': RuntimeError: nope" in done.stderr
    # the place, line 3 after the two lines of imports every generated module starts with
    assert (
        f"{pipe.mods / 'bad.py'}:3: error: cannot import 'bad': RuntimeError: nope" in done.stderr
    )
    assert "python -m quarn.run: error: could not import 'bad'" in done.stderr
    pipe.write("hangs", "time.sleep(60)\n")
    hung = pipe.run("hangs", extra=("--discovery-timeout", "1"))
    assert (hung.returncode, hung.stderr) == (
        1,
        "python -m quarn.run: error: discovery timed out after 1 s\n",
    )
    assert not pipe.out.exists()
