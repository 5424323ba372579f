"""Per-materialization overhead of materialize_asset, in-process and as a worker process."""

from __future__ import annotations

import importlib
import inspect
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quarn import materialize_asset

IN_PROCESS_RUNS = 2000
BATCHES = 40
PROCESS_RUNS = 20


def materialize_in_python(module_name, function_name, output_dir, input_kwargs_json=None):
    """The same host calls in the same order, writing the same two files."""
    directory = pathlib.Path(output_dir)
    directory.mkdir(parents=True, exist_ok=True)
    result_path = directory / "result.json"
    try:
        module = importlib.import_module(module_name)
        asset = getattr(module, function_name)
        try:
            function = asset.__quarn_original__
        except BaseException:
            function = asset
        if input_kwargs_json is None:
            value = function()
        else:
            kwargs = json.loads(input_kwargs_json)
            if not isinstance(kwargs, dict):
                raise TypeError("not a dict")
            value = function(**kwargs)
        value_path = directory / "value.json"
        value_path.write_text(json.dumps(value), "utf-8")
        record = {
            "artifact_format": "json",
            "function_name": function_name,
            "module_path": module_name,
            "ok": True,
            "result_type": type(value).__name__,
            "signature": str(inspect.signature(function)),
            "value_path": str(value_path),
        }
        text = json.dumps(record, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
        result_path.write_text(text, "utf-8")
    except BaseException as error:
        record = {
            "error": f"{type(error).__qualname__}: {error}",
            "error_type": type(error).__name__,
        }
        record["ok"] = False
        text = json.dumps(record, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
        result_path.write_text(text, "utf-8")
        sys.exit(1)


def per_run_times(functions, out: str) -> list[float]:
    """Least CPU time per run of any batch, in microseconds, one figure per function.

    The runs go in interleaved batches (the order swapped every batch) and CPU time of
    this process is counted, so that load from other processes on a shared machine
    affects every function alike instead of whichever happened to run during it."""
    samples: list[list[float]] = [[] for _ in functions]
    for batch in range(BATCHES):
        order = list(enumerate(functions))
        if batch % 2:
            order.reverse()
        for index, function in order:
            start = time.process_time_ns()
            for _ in range(IN_PROCESS_RUNS // BATCHES):
                function("bench_assets", "trivial", out)
            elapsed = time.process_time_ns() - start
            samples[index].append(elapsed / (IN_PROCESS_RUNS // BATCHES) / 1e3)
    return [min(s) for s in samples]


def median_process(command: list[str], cwd: str) -> float:
    """Median wall time of PROCESS_RUNS runs, in milliseconds."""
    times = []
    for _ in range(PROCESS_RUNS):
        start = time.perf_counter()
        subprocess.run(command, cwd=cwd, check=True)
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def scratch_root() -> str | None:
    """A memory-backed directory where there is one, so that the figures show the
    per-run overhead rather than the disk (rewriting a file can cost milliseconds)."""
    shm = Path("/dev/shm")
    return str(shm) if shm.is_dir() else None


def main() -> None:
    with tempfile.TemporaryDirectory(dir=scratch_root()) as root:
        Path(root, "bench_assets.py").write_text("def trivial():\n    return {'value': 42}\n")
        sys.path.insert(0, root)
        out = str(Path(root, "out"))

        # Both write the same bytes: checked once before timing.
        materialize_asset("bench_assets", "trivial", out)
        native_files = [Path(out, f).read_bytes() for f in ("value.json", "result.json")]
        materialize_in_python("bench_assets", "trivial", out)
        python_files = [Path(out, f).read_bytes() for f in ("value.json", "result.json")]
        assert native_files == python_files, (native_files, python_files)

        native, python = per_run_times([materialize_asset, materialize_in_python], out)
        print(
            f"in-process, {IN_PROCESS_RUNS} runs each into one directory, "
            f"least CPU time of {BATCHES} interleaved batches:"
        )
        print(f"  materialize_asset      {native:8.1f} us per run")
        print(f"  pure-Python equivalent {python:8.1f} us per run")
        print(f"  ratio native / python  {native / python:8.2f}  (goal: <= 1.00)")

        worker = [sys.executable, "-m", "quarn.worker", "bench_assets", "trivial", "proc-out"]
        bare = [sys.executable, "-c", "pass"]
        worker_ms = median_process(worker, root)
        bare_ms = median_process(bare, root)
        print(f"process, median of {PROCESS_RUNS} runs:")
        print(f"  python -m quarn.worker {worker_ms:8.1f} ms")
        print(f"  python -c pass         {bare_ms:8.1f} ms")
        print(f"  ratio worker / bare    {worker_ms / bare_ms:8.2f}")


if __name__ == "__main__":
    main()
