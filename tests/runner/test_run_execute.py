"""Whole runs of generated pipelines: values, partitions, failures, the same files in every
isolation, re-runs, interruption."""

from __future__ import annotations

import contextlib
import json
import os
import re
import signal
import subprocess

import pytest
from run_support import Pipeline, output_files, statuses, summary_rows, wait_for

# Values, fan-out and fan-in, output on both streams, and two failures, all in one run.
MAIN = """
@asset()
def a() -> dict:
    print("to stdout")
    print("to stderr", file=sys.stderr)
    return {"n": 2, "odd": float("nan"), "big": float("inf"), "text": "caf\\u00e9"}

@asset(inputs={"x": a})
def b(x):
    return {"n": x["n"] * 10, "nan": x["odd"] != x["odd"], "inf": x["big"] > 1e308,
            "text": x["text"]}

@asset(inputs={"y": b, "x": a}, name="sum")
def c(x, y):
    return x["n"] + y["n"]

@asset()
def big():  # too large for the command line: goes through a file
    return ["x" * 1000] * 300

@asset(inputs={"v": big})
def measured(v):
    return sum(map(len, v))

tickers = partitions(["AAPL", "MSFT"])

@asset(partitions={"ticker": tickers})
def quote(ticker):
    return ticker.lower()

@asset(partitions={"ticker": tickers, "day": partitions([1, 2, 3])}, inputs={"q": quote})
def daily(ticker, day, q):
    return [q, ticker, day]

@asset(partitions={"ticker": tickers}, inputs={"days": daily})
def per_ticker(ticker, days):
    return days

@asset(inputs={"all": daily})
def everything(all):
    return all

@asset(inputs={"v": a})
def broken(v):
    raise ValueError("bad input\\nsecond line")

@asset(inputs={"v": broken})
def child(v):
    return v

@asset(inputs={"v": child, "w": a})
def grandchild(v, w):
    return v
"""

HUGE = """
@asset(partitions={"a": partitions(list(range(400))), "b": partitions(list(range(300)))})
def grid(a, b):
    return a * b
"""

FAILURES = {
    "broken": ("failed", "ValueError: bad input\\nsecond line"),
    "child": ("skipped", "upstream broken failed"),
    "grandchild": ("skipped", "upstream broken failed"),
}


@pytest.fixture(scope="module")
def main(tmp_path_factory) -> Pipeline:
    pipe = Pipeline(tmp_path_factory.mktemp("main"))
    pipe.write("main", MAIN)
    pipe.write("huge", HUGE)
    return pipe


@pytest.fixture(scope="module")
def main_run(main) -> subprocess.CompletedProcess:
    return main.run("main")


def test_values_flow_downstream_in_dependency_order(main, main_run):
    assert main.value("b") == {"n": 20, "nan": True, "inf": True, "text": "café"}
    assert main.value("sum") == 22
    assert main.value("measured") == 300_000
    # Not on a terminal, the summary's rows come as the jobs end (upstreams first), each job
    # named once: standard error only says where the run goes.
    rows = summary_rows(main_run.stdout)
    done = [row[0] for row in rows if row[2] == "succeeded"]
    assert done.index("a") < done.index("b") < done.index("sum")
    assert done.index("big") < done.index("measured")
    assert len({(row[0], row[1]) for row in rows}) == len(rows) == 19
    assert main_run.stderr == f"quarn: running 19 jobs in {main.out}\n"
    assert list((main.out / ".quarn" / "runs").iterdir()) == []  # the run's folder is gone


def test_partitions_fan_out_and_fan_in(main, main_run):
    daily = {(t, d): [t.lower(), t, d] for t in ("AAPL", "MSFT") for d in (1, 2, 3)}
    assert sorted(main.values("daily")) == sorted(daily.values())
    per_ticker = sorted(main.values("per_ticker"), key=lambda days: days["1"][1])
    assert per_ticker == [{json.dumps(d): daily[t, d] for d in (1, 2, 3)} for t in ("AAPL", "MSFT")]
    assert [list(days) for days in per_ticker] == [["1", "2", "3"]] * 2  # upstream key order
    compact = {"separators": (",", ":")}
    assert main.values("everything") == [
        {json.dumps({"day": d, "ticker": t}, **compact): v for (t, d), v in daily.items()}
    ]


def test_a_failed_job_skips_its_descendants_and_the_rest_goes_on(main, main_run):
    assert main_run.returncode == 1
    rows = summary_rows(main_run.stdout)
    assert {r[0]: (r[2], r[4]) for r in rows if r[2] != "succeeded"} == FAILURES
    assert len(rows) == 19
    recorded = main.manifest()["jobs"]
    assert {j.split("/")[0]: e["status"] for j, e in recorded.items() if "digest" not in e} == {
        name: status for name, (status, _) in FAILURES.items()
    }
    assert not (main.out / "child").exists()


@pytest.mark.parametrize("isolation", ["spawn", "none"])
def test_every_isolation_writes_the_files_fork_writes(main, main_run, isolation):
    out = main.root / isolation
    done = main.run("main", extra=("--isolation", isolation), out=out)
    assert done.returncode == 1, done.stderr
    forked = output_files(main.out, main.out)
    assert output_files(out, out) == forked
    assert {b"to stdout", b"to stderr"} <= set(forked["a/_/worker.log"].splitlines())
    assert b"ValueError: bad input" in forked["broken/_/failed/worker.log"]


def test_selection_and_restriction_shown_on_a_terminal(main, tmp_path):
    pty = pytest.importorskip("pty")
    out = tmp_path / "out"
    command = main.command("main", out=out, extra=("--select", "per_ticker"))
    leader, follower = pty.openpty()
    with os.fdopen(follower, "wb") as stderr:
        done = subprocess.run(
            [*command, "--partition", "ticker=MSFT", "--partition", "day=2"],
            cwd=main.root, stdout=subprocess.PIPE, stderr=stderr,
            stdin=subprocess.DEVNULL, text=True, timeout=60,
        )  # fmt: skip
    shown = b""
    with os.fdopen(leader, "rb", buffering=0) as terminal, contextlib.suppress(OSError):
        while chunk := terminal.read(4096):  # OSError once everything written was read
            shown += chunk
    assert done.returncode == 0
    assert statuses(done.stdout) == {
        ("quote", "ticker=MSFT"): "succeeded",
        ("daily", "day=2, ticker=MSFT"): "succeeded",
        ("per_ticker", "ticker=MSFT"): "waiting",
    }
    assert "up to date: daily[day=1, ticker=MSFT], daily[day=3, ticker=MSFT]" in done.stdout
    assert not (out / "per_ticker").exists()
    text = shown.decode().replace("\x1b[K", "")
    assert "\rquarn: 2 done, 0 running, 0 failed, 0 skipped of 2" in text
    assert "succeeded " not in text  # the plain per-job lines are for logs only


@pytest.mark.parametrize(
    ("module", "extra", "message"),
    [
        ("main", ("--select", "nothing"), "--select 'nothing' matches no asset"),
        ("huge", (), "the plan holds 120,000 jobs, more than 100,000; pass --yes to run them"),
    ],
)
def test_usage_errors_run_nothing(main, tmp_path, module, extra, message):
    done = main.run(module, extra=extra, out=tmp_path / "out")
    assert done.returncode == 2 and message in done.stderr
    assert not (tmp_path / "out").exists()


# Two independent lanes. `slow` writes its pid and hangs while ROOT/slow.flag exists.
LANES = """
@asset()
def slow():
    if os.path.exists(os.path.join('ROOT', "slow.flag")):
        with open(os.path.join('ROOT', "slow.pid"), "w") as f:
            f.write(str(os.getpid()))
        time.sleep(60)
    return 1

@asset(inputs={"v": slow})
def after(v):
    return v

@asset()
def first():
    return 1

@asset(inputs={"v": first})
def second(v):
    return v + 1

@asset(inputs={"v": second})
def third(v):
    return v * 2
"""


def test_interrupted_run_stops_workers_and_keeps_the_manifest_whole(tmp_path):
    pipe = Pipeline(tmp_path)
    pipe.write("lanes", LANES.replace("'ROOT'", repr(str(pipe.root))))
    assert pipe.run("lanes").returncode == 0  # every job has a record the forced run drops
    (tmp_path / "slow.flag").write_text("")  # from now on `slow` hangs
    pidfile = tmp_path / "slow.pid"
    process = pipe.start("lanes", extra=("--force",))
    # the other lane goes on while `slow` runs; its jobs were marked running at the start
    wait_for(
        lambda: pidfile.exists() and pidfile.read_text()
        and pipe.manifest()["jobs"]["third/_"]["status"] == "succeeded",
        "slow to hang and the other lane to end", process,
    )  # fmt: skip
    worker = int(pidfile.read_text())
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    assert process.returncode == 130, stderr
    assert statuses(stdout) == {
        ("slow", "-"): "interrupted",
        ("after", "-"): "not run",
        **{(name, "-"): "succeeded" for name in ("first", "second", "third")},
    }
    with pytest.raises(ProcessLookupError):
        os.kill(worker, 0)  # stopped and reaped
    recorded = {job: entry["status"] for job, entry in pipe.manifest()["jobs"].items()}
    assert recorded == {"first/_": "succeeded", "second/_": "succeeded", "third/_": "succeeded",
                        "slow/_": "running", "after/_": "running"}  # fmt: skip
    assert [p.name for p in pipe.out.iterdir() if p.name.startswith(".")] == [".quarn"]
    (record,) = pipe.history()[1:]
    assert record["exit_status"] == 130
    assert {j["asset"]: j["status"] for j in record["jobs"]}["slow"] == "interrupted"
    assert list((pipe.out / ".quarn" / "runs").iterdir()) == []
    where = ("--path", str(pipe.mods), "--out", str(pipe.out), "--asset", "slow")
    (row,) = pipe.quarn("show", "lanes", *where).stdout.splitlines()[1:]
    state, started = re.split(r" {2,}", row)[1:3]  # the stopped run, said as such
    assert state.startswith("interrupted (last good value from ") and started != "-"

    (tmp_path / "slow.flag").unlink()
    done = pipe.run("lanes")
    assert done.returncode == 0, done.stderr
    assert statuses(done.stdout) == {("slow", "-"): "succeeded", ("after", "-"): "succeeded"}
    assert pipe.value("after") == 1
