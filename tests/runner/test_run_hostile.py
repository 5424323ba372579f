"""An output directory turned against its owner: records that lead outside it, links in
quarn's places, folders that are not quarn's, planted code, jobs that tamper with the
runner in its own process, and names made to break what shows them."""

from __future__ import annotations

import hashlib
import json
import marshal
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest
from run_support import Pipeline, edit, outcomes, statuses

import quarn

KEYED = """
@asset(partitions={"y": partitions([1, 2])})
def sales(y):
    return y * 10
"""


def keyed(root: Path) -> tuple[Pipeline, Path]:
    pipe = Pipeline(root)
    path = pipe.write("keyed", KEYED)
    assert pipe.run("keyed").returncode == 0
    return pipe, path


@pytest.mark.parametrize("absolute", [False, True])
def test_a_record_that_leads_outside_the_directory_is_neither_read_nor_deleted(tmp_path, absolute):
    pipe, _ = keyed(tmp_path)
    victim = tmp_path / "victim"
    manifest = pipe.manifest()
    (real_id, entry), *_ = (i for i in manifest["jobs"].items() if i[1]["partition"] == {"y": 2})
    shutil.copytree(pipe.out / real_id, victim)  # what a hand-edited record points at
    forged = str(victim) if absolute else "sales/../../victim"
    manifest["jobs"][forged] = {**entry, "asset": "ghost", "partition": {"y": 3}}
    (pipe.out / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(LookupError, match="never ran"):
        quarn.load("ghost", out=pipe.out, partition={"y": 3})
    done = pipe.run("keyed", extra=("--prune",))
    assert done.returncode == 0 and "pruned" not in done.stderr
    assert f"ignoring the damaged record of job {forged!r}" in done.stderr
    assert json.loads((victim / "value.json").read_text()) == 20


def contents(path: Path) -> object:
    if path.is_dir():
        return {p.name: p.read_text() for p in path.iterdir()}
    return path.read_text()


@pytest.mark.parametrize(
    ("place", "command"),
    [
        (".quarn/runs", ("clean",)),
        (".quarn/history", ("clean", "--keep-runs", "1")),
        (".quarn/history", ("run",)),  # nor is a run's record written through it
        ("report.html", ("report",)),
    ],
)
def test_a_link_in_quarns_own_place_stops_the_command(tmp_path, place, command):
    pipe, _ = keyed(tmp_path)
    target, link = tmp_path / "target", pipe.out / place
    if place.endswith(".html"):
        target.write_text("theirs")
    else:
        target.mkdir()
        for name in ("a.json", "b.json"):
            (target / name).write_text("theirs")
        shutil.rmtree(link, ignore_errors=True)
    link.symlink_to(target)
    before = contents(target)
    if command == ("run",):
        done = pipe.run("keyed", extra=("--force",))
    else:
        done = pipe.quarn(command[0], str(pipe.out), *command[1:])
    assert done.returncode == 2, done.stderr
    assert f"{link} is a symbolic link" in done.stderr
    assert contents(target) == before


@pytest.mark.parametrize(
    ("out", "reason"),
    [
        ("", "--out names no folder"),
        ("/", "--out / is the root folder"),
        ("HOME", "is the home folder"),
        (".", "holds the project's sources"),
        ("mods", "holds the project's sources"),
        ("data", "is a folder that quarn did not make (it holds raw.csv)"),
    ],
)
def test_run_writes_only_into_a_folder_of_its_own(tmp_path, out, reason):
    pipe = Pipeline(tmp_path)
    pipe.write("keyed", KEYED)
    home, data = tmp_path / "home", tmp_path / "data"
    home.mkdir()
    data.mkdir()
    (data / "raw.csv").write_text("1\n")
    extra = ("--out", str(home) if out == "HOME" else out)
    if out == "/":  # should the refusal ever fail, nothing is written into the machine's root
        extra += ("--check-only",)
    done = pipe.run("keyed", extra=extra, env={"HOME": str(home)})
    assert done.returncode == 2 and reason in done.stderr, done.stderr
    assert not list(tmp_path.rglob(".quarn")) and os.listdir(data) == ["raw.csv"]


@pytest.mark.parametrize("folder", ["", "/", "data"])
def test_clean_refuses_a_folder_that_is_not_an_output_directory(tmp_path, folder):
    pipe = Pipeline(tmp_path)
    raw = tmp_path / "data" / "2024" / "raw.csv"
    raw.parent.mkdir(parents=True)
    raw.write_text("1\n")
    (tmp_path / "data" / "manifest.json").write_text('{"format": 2, "jobs": {}}')
    done = pipe.quarn("clean", folder, "--dry-run")
    assert done.returncode == 2 and "Traceback" not in done.stderr, done.stderr
    assert raw.exists()


def test_clean_removes_only_what_the_runs_recorded(tmp_path):
    pipe, path = keyed(tmp_path)
    edit(path, "[1, 2]", "[1]")
    theirs = [pipe.out / "notes.txt", pipe.out / "data/2024/raw.csv", pipe.out / "sales/mine/x"]
    for file in theirs:
        file.parent.mkdir(parents=True, exist_ok=True)
        file.write_text("theirs")
    done = pipe.quarn("clean", str(pipe.out), "keyed", "--path", str(pipe.mods))
    assert done.stdout.splitlines()[-1] == "removed 1 path, 1 manifest record", done.stderr
    assert all(f.exists() for f in theirs)
    assert len(list((pipe.out / "sales").iterdir())) == 2  # y=1 and theirs


@pytest.mark.parametrize("where", ["output directory", "cache others may write"])
def test_planted_compiled_code_is_never_run(tmp_path, where):
    pipe = Pipeline(tmp_path)
    real = pipe.write("planted", "@asset()\ndef a():\n    return 'real'\n")
    source = real.read_bytes()
    key = hashlib.sha256(os.fsencode(str(real)) + b"\0" + source).hexdigest()
    fake = compile(source.replace(b"'real'", b"'planted'"), str(real), "exec")
    cache = tmp_path / "cache"
    folder = pipe.out / ".quarn/code" if where == "output directory" else cache / "quarn/code"
    folder.mkdir(parents=True)
    (folder / f"{key}.{sys.implementation.cache_tag}.code").write_bytes(marshal.dumps(fake))
    folder.chmod(0o777)
    done = pipe.run("planted", extra=("--isolation", "spawn"), env={"XDG_CACHE_HOME": str(cache)})
    assert (done.returncode, pipe.value("a")) == (0, "real"), done.stderr


@pytest.mark.parametrize(
    "patch",
    [
        "json.dumps = lambda *a, **k: 'garbage'",
        "json.JSONEncoder.encode = lambda self, o: 'garbage'",
        "json.encoder.encode_basestring_ascii = lambda s: '\"x\"'",  # read back: not written
    ],
)
def test_a_job_in_the_runners_process_cannot_garble_its_manifest(tmp_path, patch):
    pipe = Pipeline(tmp_path)
    path = pipe.write("patches", f"""
        import json, json.encoder

        @asset()
        def patcher():
            {patch}
            return 1

        @asset(inputs={{"x": patcher}})
        def after(x):
            return x + 1
    """)  # fmt: skip
    pipe.run("patches", extra=("--isolation", "none"))  # the job breaks its own records too
    assert set(pipe.manifest()["jobs"]) <= {"patcher/_", "after/_"}
    edit(path, patch, "pass")
    again = pipe.run("patches", extra=("--isolation", "none"))
    assert again.returncode == 0 and "warning" not in again.stderr, again.stderr


def test_a_process_forked_by_a_job_never_goes_on_as_the_runner(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("forks", """
        @asset()
        def forks():
            pid = os.fork()
            if pid == 0:
                return "child"
            os.waitpid(pid, 0)
            return "parent"

        @asset(inputs={"x": forks})
        def after(x):
            return x + "!"
    """)  # fmt: skip
    done = pipe.run("forks", extra=("--isolation", "none"))
    assert done.returncode == 0 and done.stdout.count("ASSET") == 1, done.stdout
    assert set(statuses(done.stdout).values()) == {"succeeded"}
    assert (pipe.value("forks"), pipe.value("after")) == ("parent", "parent!")


def test_a_timeout_interrupts_a_job_of_the_runners_own_process(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("stubborn", """
        @asset()
        def stubborn():
            try:
                time.sleep(600)
            except BaseException:  # swallowed once, the interruption comes again
                pass
            time.sleep(600)

        @asset()
        def fine():
            return 1
    """)  # fmt: skip
    done = pipe.run("stubborn", extra=("--isolation", "none", "--timeout", "1"))
    assert done.returncode == 1
    expected = {"stubborn": ("failed", "timed out after 1 s"), "fine": ("succeeded", "")}
    assert outcomes(done.stdout) == expected


# A name with a quote, a backslash, a newline, a bracket and an escape sequence that clears
# the screen; a key with a newline and the same sequence.
NAME = 'q"uote\\back\nnew]row\x1b[2J'
HOSTILE = """
NAME = 'q"uote\\\\back\\nnew]row\\x1b[2J'

@asset(name=NAME, partitions={"k": partitions(["a\\nb\\x1b[2J"])})
def hostile(k):
    return 1

@asset(inputs={"x": hostile})
def later(x):
    return 2
"""
SHOWN = 'q"uote\\back\\nnew]row\\x1b[2J'  # as every command shows it


@pytest.fixture(scope="module")
def hostile(tmp_path_factory) -> Pipeline:
    pipe = Pipeline(tmp_path_factory.mktemp("hostile"))
    pipe.write("hostile", HOSTILE)
    assert pipe.run("hostile").returncode == 0
    return pipe


@pytest.mark.parametrize(
    ("command", "lines"),
    [
        (("show", "hostile", "--out", "out"), 3),
        (("show", "hostile", "--out", "out", "--asset", NAME), 2),
        (("history", "out", NAME), 3),  # with the line of its states now
    ],
)
def test_names_and_keys_reach_the_terminal_escaped(hostile, command, lines):
    done = hostile.quarn(*command, "--path", "mods") if command[0] == "show" else (
        hostile.quarn(*command)
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert not re.search(r"[\x00-\x09\x0b-\x1f\x7f]", done.stdout)
    assert len(done.stdout.splitlines()) == lines, done.stdout
    assert SHOWN in done.stdout or "k=a\\nb\\x1b[2J" in done.stdout


@pytest.mark.parametrize("fmt", ["dot", "mermaid"])
def test_graph_text_quotes_hostile_names_by_its_language(hostile, fmt):
    done = hostile.quarn("graph", "hostile", "--path", "mods", "--format", fmt)
    assert done.returncode == 0, done.stderr
    if fmt == "mermaid":
        labels = re.findall(r'^  a\d+\["([^"\n]*)"\]$', done.stdout, re.MULTILINE)
        assert [label.split("<br/>")[0] for label in labels] == [
            SHOWN.replace('"', "#quot;"),
            "later",
        ]
        return
    if shutil.which("dot") is None:
        pytest.skip("Graphviz's dot is not installed")
    svg = subprocess.run(["dot", "-Tsvg"], input=done.stdout, capture_output=True, text=True)
    assert svg.returncode == 0, svg.stderr
    texts = [t.text for t in ElementTree.fromstring(svg.stdout).iter() if t.tag.endswith("text")]
    assert SHOWN in texts and "later" in texts
