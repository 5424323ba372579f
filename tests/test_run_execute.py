"""Whole runs of generated pipelines: values, partitions, failures, re-runs, interruption."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import time
from pathlib import Path

import pytest
from run_support import Pipeline, statuses, summary_rows


@pytest.fixture
def pipe(tmp_path: Path) -> Pipeline:
    return Pipeline(tmp_path)


def test_values_flow_downstream_in_dependency_order(pipe):
    pipe.write(
        "flow",
        """
        @asset()
        def a() -> dict:
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
        """,
    )
    done = pipe.run("flow")
    assert done.returncode == 0, done.stderr
    assert pipe.value("b") == {"n": 20, "nan": True, "inf": True, "text": "café"}
    assert pipe.value("sum") == 22
    assert pipe.value("measured") == 300_000
    assert set(statuses(done.stdout).values()) == {"succeeded"}
    # one plain line per finished job when stderr is not a terminal; upstreams come first
    finished = [line.split()[1] for line in done.stderr.splitlines() if line.startswith("succ")]
    assert sorted(finished) == ["a", "b", "big", "measured", "sum"]
    assert finished.index("a") < finished.index("b") < finished.index("sum")
    assert finished.index("big") < finished.index("measured")
    assert not (pipe.out / ".quarn-inputs").exists()


def test_a_ready_job_does_not_wait_for_an_unrelated_slow_one(pipe):
    pipe.write(
        "lanes",
        """
        @asset()
        def slow():
            time.sleep(3)
            return time.time()

        @asset()
        def first():
            return time.time()

        @asset(inputs={"t": first})
        def second(t):
            return time.time()
        """,
    )
    done = pipe.run("lanes")
    assert done.returncode == 0, done.stderr
    assert pipe.value("first") < pipe.value("second") < pipe.value("slow")


def test_partitions_fan_out_and_fan_in(pipe):
    pipe.write(
        "parts",
        """
        tickers = partitions(["AAPL", "MSFT"])

        @asset(partitions={"ticker": tickers})
        def quote(ticker):
            return {"ticker": ticker, "base": len(ticker)}

        @asset(partitions={"ticker": tickers, "day": partitions([1, 2, 3])},
               inputs={"q": quote})
        def daily(ticker, day, q):
            return {"ticker": ticker, "day": day, "from": q["ticker"], "close": q["base"] + day}

        @asset(partitions={"ticker": tickers}, inputs={"days": daily})
        def per_ticker(ticker, days):
            return {"ticker": ticker, "days": days}

        @asset(inputs={"all": daily})
        def everything(all):
            return all
        """,
    )
    done = pipe.run("parts")
    assert done.returncode == 0, done.stderr
    daily = pipe.values("daily")
    assert sorted((v["ticker"], v["day"]) for v in daily) == [
        (t, d) for t in ("AAPL", "MSFT") for d in (1, 2, 3)
    ]
    assert all(
        v["from"] == v["ticker"] and v["close"] == len(v["ticker"]) + v["day"] for v in daily
    )
    by_ticker = {v["ticker"]: v["days"] for v in pipe.values("per_ticker")}
    for ticker in ("AAPL", "MSFT"):
        expected = {
            json.dumps(d): {"ticker": ticker, "day": d, "from": ticker, "close": len(ticker) + d}
            for d in (1, 2, 3)
        }
        assert by_ticker[ticker] == expected
    (everything,) = pipe.values("everything")
    expected_keys = {
        json.dumps({"day": d, "ticker": t}, separators=(",", ":"))
        for t in ("AAPL", "MSFT")
        for d in (1, 2, 3)
    }
    assert set(everything) == expected_keys
    for member, value in everything.items():
        assert json.loads(member) == {"day": value["day"], "ticker": value["ticker"]}
    assert len(summary_rows(done.stdout)) == 2 + 6 + 2 + 1


def test_selection_and_partition_restriction(pipe):
    pipe.write(
        "sel",
        """
        @asset(partitions={"n": partitions([1, 2, 3])})
        def up(n):
            note(f"up{n}")
            return n

        @asset(partitions={"n": partitions([1, 2, 3])}, inputs={"v": up})
        def down(n, v):
            note(f"down{n}")
            return v * 10

        @asset()
        def unrelated():
            note("unrelated")
            return 0
        """,
        note=True,
    )
    done = pipe.run("sel", extra=("--select", "down", "--partition", "n=2", "--partition", "n=3"))
    assert done.returncode == 0, done.stderr
    assert pipe.ran() == ["down2", "down3", "up2", "up3"]
    bad = pipe.run("sel", extra=("--select", "nothing"))
    assert bad.returncode == 2 and "--select 'nothing' matches no asset" in bad.stderr
    bad = pipe.run("sel", extra=("--partition", "n=7"))
    assert bad.returncode == 2 and "has no key 7 in dimension 'n'" in bad.stderr


def test_a_failed_job_skips_its_descendants_and_the_rest_goes_on(pipe):
    pipe.write(
        "fail",
        """
        @asset()
        def root():
            return 1

        @asset(inputs={"v": root})
        def broken(v):
            raise ValueError("bad input\\nsecond line")

        @asset(inputs={"v": broken})
        def child(v):
            return v

        @asset(inputs={"v": child, "w": root})
        def grandchild(v, w):
            return v

        @asset(inputs={"v": root})
        def sibling(v):
            return v + 1
        """,
    )
    done = pipe.run("fail")
    assert done.returncode == 1
    rows = {r[0]: r for r in summary_rows(done.stdout)}
    assert {name: row[2] for name, row in rows.items()} == {
        "root": "succeeded",
        "broken": "failed",
        "child": "skipped",
        "grandchild": "skipped",
        "sibling": "succeeded",
    }
    assert rows["broken"][4] == "ValueError: bad input\\nsecond line"
    assert rows["child"][4] == "upstream broken failed"
    assert pipe.value("sibling") == 2
    assert set(pipe.manifest()["jobs"]) == {"root/_", "sibling/_"}
    assert not (pipe.out / "child").exists()


def test_a_worker_killed_by_a_signal_is_reported_as_such(pipe):
    pipe.write(
        "killed",
        """
        @asset()
        def doomed():
            os.kill(os.getpid(), signal.SIGKILL)

        @asset(inputs={"v": doomed})
        def after(v):
            return v
        """,
    )
    done = pipe.run("killed")
    assert done.returncode == 1
    rows = {r[0]: r for r in summary_rows(done.stdout)}
    assert rows["doomed"][2] == "failed"
    assert rows["doomed"][4] == "killed by signal 9 (SIGKILL), possibly out of memory"
    assert rows["after"][2] == "skipped"
    assert "jobs" in pipe.manifest() and pipe.manifest()["jobs"] == {}


CHAIN = """
@asset()
def a():
    note("a")
    return 1

@asset(inputs={{"v": a}})
def b(v):
    note("b")
    return v + {step}

@asset(inputs={{"v": b}})
def c(v):
    note("c")
    return v * 2

@asset(inputs={{"v": a}})
def side(v):
    note("side")
    return -v
"""


def test_incremental_runs_redo_only_what_changed(pipe):
    path = pipe.write("inc", CHAIN.format(step=1), note=True)
    assert pipe.run("inc").returncode == 0
    assert pipe.ran() == ["a", "b", "c", "side"]
    again = pipe.run("inc")
    assert again.returncode == 0 and pipe.ran() == []
    assert "nothing to do: 4 jobs up to date" in again.stdout

    path.write_text(path.read_text().replace("return v + 1", "return v + 5"))
    assert pipe.run("inc").returncode == 0
    assert pipe.ran() == ["b", "c"]
    assert pipe.value("c") == 12

    (pipe.out / "side" / "_" / "value.json").unlink()
    assert pipe.run("inc").returncode == 0
    assert pipe.ran() == ["side"]

    manifest = pipe.manifest()
    manifest["jobs"]["a/_"]["version"] = "0" * 64
    (pipe.out / "manifest.json").write_text(json.dumps(manifest))
    assert pipe.run("inc").returncode == 0
    assert pipe.ran() == ["a", "b", "c", "side"]

    assert pipe.run("inc", extra=("--force",)).returncode == 0
    assert pipe.ran() == ["a", "b", "c", "side"]


def test_interrupted_run_stops_workers_and_keeps_the_manifest_whole(pipe):
    flag = pipe.root / "slow.flag"
    flag.write_text("")
    pidfile = pipe.root / "slow.pid"
    pipe.write(
        "slow",
        f"""
        @asset()
        def quick():
            return 1

        @asset(inputs={{"v": quick}})
        def slow(v):
            if os.path.exists({str(flag)!r}):
                with open({str(pidfile)!r}, "w") as f:
                    f.write(str(os.getpid()))
                time.sleep(60)
            return v + 1

        @asset(inputs={{"v": slow}})
        def after(v):
            return v
        """,
    )
    process = subprocess.Popen(
        pipe.command("slow"), cwd=pipe.root, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        stdin=subprocess.DEVNULL, text=True,
    )  # fmt: skip
    deadline = time.monotonic() + 60
    while not pidfile.exists() or not pidfile.read_text():
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    worker = int(pidfile.read_text())
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    assert process.returncode == 130, stderr
    assert statuses(stdout) == {
        ("quick", "-"): "succeeded",
        ("slow", "-"): "interrupted",
        ("after", "-"): "not run",
    }
    with pytest.raises(ProcessLookupError):
        os.kill(worker, 0)  # stopped and reaped
    assert set(pipe.manifest()["jobs"]) == {"quick/_"}
    assert [p.name for p in pipe.out.iterdir() if p.name.startswith(".")] == []

    flag.unlink()
    done = pipe.run("slow")
    assert done.returncode == 0, done.stderr
    assert statuses(done.stdout) == {("slow", "-"): "succeeded", ("after", "-"): "succeeded"}
    assert pipe.value("after") == 2


def test_a_huge_plan_needs_yes(pipe):
    pipe.write(
        "huge",
        """
        @asset(partitions={"a": partitions(list(range(400))), "b": partitions(list(range(300)))})
        def grid(a, b):
            return a * b
        """,
    )
    done = pipe.run("huge")
    assert done.returncode == 2
    assert "the plan holds 120,000 jobs, more than 100,000; pass --yes" in done.stderr
    assert not pipe.out.exists()


def test_progress_line_on_a_terminal(pipe):
    pty = pytest.importorskip("pty")
    pipe.write("tiny", "@asset()\ndef one():\n    return 1\n")
    leader, follower = pty.openpty()
    try:
        done = subprocess.run(
            pipe.command("tiny"), cwd=pipe.root, stdout=subprocess.PIPE, stderr=follower,
            stdin=subprocess.DEVNULL, text=True, timeout=60,
        )  # fmt: skip
        os.close(follower)
        follower = -1
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
        if follower >= 0:
            os.close(follower)
    assert done.returncode == 0
    text = shown.decode()
    assert "\rquarn: 1 done, 0 running, 0 failed, 0 skipped of 1" in text.replace("\x1b[K", "")
    assert "succeeded one" not in text  # the plain per-job lines are for logs only
