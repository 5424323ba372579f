"""The runner's job worker writes, for a JSON asset, the very bytes the core's worker writes."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
from run_support import job_spec, run_job

MODULE = """
    class Outer:
        class Inner(Exception):
            pass

    def ordered():
        return {"b": 1, "a": [1, 2.5, None, True], "\\u00e9t\\u00e9": "caf\\u00e9 \\U0001F600"}

    def not_finite():
        return [float("nan"), float("inf"), -float("inf")]

    def quoted():
        raise ValueError('say "hi"\\nna\\u00efve \\u20ac \\\\ \\t\\x1b[2K end')

    def nested():
        raise Outer.Inner("deep")

    def echo(v, day):
        return {"v": v, "day": day}
"""

UPSTREAM = '{"z": NaN, "s": "\\u00e9\\n", "n": [1e308, -0.0]}'


# A value JSON cannot hold is where the two differ on purpose: the runner's worker says what
# to declare instead (tested with the serializers).
@pytest.mark.parametrize("function", ["ordered", "not_finite", "quoted", "nested", "echo"])
def test_files_equal_the_core_workers(tmp_path, function):
    (tmp_path / "jobmod.py").write_text(textwrap.dedent(MODULE), encoding="utf-8")
    for name in ("json", "inspect", "pathlib"):  # the project's files cannot stand in for them
        (tmp_path / f"{name}.py").write_text("raise ImportError('a project file')\n")
    upstream = tmp_path / "up"
    upstream.mkdir()
    (upstream / "value.json").write_text(UPSTREAM, encoding="utf-8")
    keys = {"day": "2026-01-05"} if function == "echo" else {}
    inputs = {"v": {"dir": str(upstream), "serializer": None}} if function == "echo" else {}
    job_spec(tmp_path, "jobmod", function, keys=keys, inputs=inputs)
    kwargs = ["--inputs-json", '{"v": ' + UPSTREAM + ', "day": "2026-01-05"}'] * (keys != {})

    core = subprocess.run(
        [sys.executable, "-m", "quarn.worker", "jobmod", function, "out/job", "--path",
         str(tmp_path), *kwargs], cwd=tmp_path, capture_output=True, timeout=60,
    )  # fmt: skip
    ours = run_job(tmp_path)
    assert ours.returncode == core.returncode
    written = sorted(p.name for p in (tmp_path / "stage").iterdir())
    assert written == sorted(p.name for p in (tmp_path / "out" / "job").iterdir())
    for name in written:
        assert (tmp_path / "stage" / name).read_bytes() == (
            tmp_path / "out" / "job" / name
        ).read_bytes()
    if core.returncode:  # and the traceback goes to standard error, for the job's log
        assert ours.stderr.startswith("Traceback (most recent call last):")
