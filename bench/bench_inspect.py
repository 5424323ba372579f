"""Times inspect_modules on a generated project against a pure-Python discovery, and its own share.

A project of 50 modules with 40 assets each (2,000 assets, some with inputs, some
partitioned) is written to a temporary directory and imported once as a warm-up. Then, in
one process and interleaved, `quarn.inspect_modules` and `reference_inspect` (the same host
calls, the document built with the standard `json` module) each run ROUNDS times; both
must return the same text.

The share of the native call's time spent outside the host calls is measured by
replacing each host function that discovery looks up by name (and Path.resolve) with a
timing wrapper, and subtracting from the call's time the time spent inside the wrappers
and the time the host takes to make the result str from the UTF-8 text (timed alone as a
bytes.decode of the same text). str.strip, str() and attribute reads are not wrapped and
the wrappers cost a little themselves, so the remainder is an upper bound on the native
call's own work. bench/callgrind_inspect.py counts the same share in instructions.
"""

from __future__ import annotations

import builtins
import importlib
import inspect
import json
import os
import pathlib
import statistics
import sys
import tempfile
import textwrap
import time
from collections.abc import Callable

MODULES = 50
ASSETS_PER_MODULE = 40
ROUNDS = 7
OWN_SHARE_GOAL = 0.05

ANNOTATIONS = [" -> dict", " -> list[int]", "", " -> None"]


def asset_body(module: int, index: int) -> str:
    name = f"asset_{module:02d}_{index:02d}"
    params = "data, extra" if index % 4 == 1 else ("ticker, day" if index % 4 == 2 else "")
    return (
        f"def {name}({params}){ANNOTATIONS[index % len(ANNOTATIONS)]}:\n"
        f'    """Asset {index} of module {module}: the \u00e9tape\twith a tab."""\n'
        f"    values = [i * {index} for i in range(10)]\n"
        f"    total = sum(values)\n"
        f'    return {{"module": {module}, "index": {index}, "total": total}}\n'
    )


def decorator_arguments(path: str, module: int, index: int) -> str:
    if index % 4 == 1:
        return f'inputs={{"data": asset_{module:02d}_{index - 1:02d}, "extra": "{path}:upstream"}}'
    if index % 4 == 2:
        return (
            'partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"]), '
            '"day": partitions(["2024-01-01", "2024-01-02"])}'
        )
    if index % 4 == 3:
        return f'name="display {module}.{index}", serializer="json"'
    return ""


def module_source(path: str, module: int) -> str:
    parts = [f'"""Generated pipeline module {module}."""\n\n']
    parts.append("from quarn import asset, partitions\n\n")
    parts.append("RATE = 1.5\n\n\ndef helper(x):\n    return x * RATE\n\n\n")
    for index in range(ASSETS_PER_MODULE):
        parts.append(f"@asset({decorator_arguments(path, module, index)})\n")
        parts.append(asset_body(module, index) + "\n\n")
    return "".join(parts)


def write_project(root: str) -> list[str]:
    names = []
    for module in range(MODULES):
        name = f"bench_pipeline_{module:02d}"
        path = os.path.realpath(os.path.join(root, f"{name}.py"))
        with open(path, "w", encoding="utf-8") as file:
            file.write(module_source(path, module))
        names.append(name)
    return names


def normalised(obj) -> str:
    return textwrap.dedent(inspect.getsource(obj)).strip() + "\n"


def reference_inspect(names: list[str]) -> str:
    """The same host calls as inspect_modules, with the document built by `json`."""
    info = sys.version_info
    version = f"{info.major}.{info.minor}.{info.micro}"
    entries = []
    for name in names:
        try:
            module = importlib.import_module(name)
        except BaseException as error:  # noqa: BLE001 - the skip rule covers every failure
            os.write(2, f"quarn: skipping module '{name}': {type(error).__qualname__}\n".encode())
            continue
        source = normalised(module)
        for _, value in inspect.getmembers(module):
            kind = getattr(value, "__quarn_kind__", None)
            if not isinstance(kind, str) or kind != "asset":
                continue
            metadata = json.loads(json.dumps(value.__quarn_metadata__))
            target = getattr(value, "__quarn_original__", value)
            function_source = normalised(target)
            function_name = target.__name__
            try:
                file_path = str(pathlib.Path(inspect.getsourcefile(target)).resolve())
            except TypeError:
                file_path = ""
            annotation = inspect.signature(target).return_annotation
            if annotation is inspect.Signature.empty:
                return_type = None
            elif builtins.isinstance(annotation, type):
                return_type = annotation.__name__
            else:
                return_type = str(annotation)
            entries.append(
                {
                    "kind": "asset",
                    "module_path": module.__name__,
                    "file_path": file_path,
                    "function_name": function_name,
                    "function_source": function_source,
                    "module_source": source,
                    "decorator_metadata": metadata,
                    "return_type": return_type,
                    "python_version": version,
                }
            )
    return json.dumps(
        {"assets": entries}, sort_keys=True, separators=(",", ":"), ensure_ascii=False
    )


def timed(function: Callable[[list[str]], str], names: list[str]) -> tuple[float, str]:
    start = time.perf_counter()
    document = function(names)
    return time.perf_counter() - start, document


class HostTimer:
    """Wraps the host functions discovery looks up by name; sums the time spent in them."""

    TARGETS = [
        (importlib, "import_module"),
        (inspect, "getsource"),
        (inspect, "getmembers"),
        (inspect, "getsourcefile"),
        (inspect, "signature"),
        (textwrap, "dedent"),
        (pathlib, "Path"),
        (pathlib.Path, "resolve"),
        (json, "dumps"),
        (builtins, "isinstance"),
    ]

    def __init__(self) -> None:
        self.spent = 0.0
        self.saved: list[tuple[object, str, object]] = []

    def wrap(self, real: Callable) -> Callable:
        clock = time.perf_counter

        def timed_call(*args, **kwargs):
            start = clock()
            try:
                return real(*args, **kwargs)
            finally:
                self.spent += clock() - start

        return timed_call

    def __enter__(self) -> HostTimer:
        for owner, name in self.TARGETS:
            real = getattr(owner, name)
            self.saved.append((owner, name, real))
            setattr(owner, name, self.wrap(real))
        return self

    def __exit__(self, *exc) -> None:
        for owner, name, real in reversed(self.saved):
            setattr(owner, name, real)


def own_share(function: Callable[[list[str]], str], names: list[str]) -> tuple[float, float]:
    """Best-of-rounds (total, time outside the host) for one discovery."""
    best = (float("inf"), float("inf"))
    for _ in range(ROUNDS):
        with HostTimer() as timer:
            elapsed, document = timed(function, names)
        encoded = document.encode("utf-8")
        start = time.perf_counter()
        encoded.decode("utf-8")
        making_the_str = time.perf_counter() - start
        best = min(best, (elapsed, elapsed - timer.spent - making_the_str))
    return best


def main() -> int:
    from quarn import inspect_modules

    with tempfile.TemporaryDirectory(prefix="quarn-bench-") as root:
        names = write_project(root)
        sys.path.insert(0, root)
        for name in names:
            importlib.import_module(name)
        # Warm-up: fills the source line cache for both sides.
        native_doc = inspect_modules(names)
        python_doc = reference_inspect(names)
        if native_doc != python_doc:
            print("documents differ", file=sys.stderr)
            return 1
        count = len(json.loads(native_doc)["assets"])

        native, python = [], []
        for round_ in range(ROUNDS):
            pair = [(native, inspect_modules), (python, reference_inspect)]
            for bucket, function in pair if round_ % 2 == 0 else reversed(pair):
                bucket.append(timed(function, names)[0])

        wrapped_total, native_own = own_share(inspect_modules, names)

    print(f"{MODULES} modules x {ASSETS_PER_MODULE} assets = {count} assets")
    print(f"document: {len(native_doc.encode()) / 1e6:.1f} MB, identical on both sides")
    for label, times in (("inspect_modules", native), ("pure Python", python)):
        print(
            f"{label:>16}: min {min(times) * 1e3:7.1f} ms   median "
            f"{statistics.median(times) * 1e3:7.1f} ms   ({ROUNDS} interleaved rounds)"
        )
    ratio = min(native) / min(python)
    print(f"native / Python (min): {ratio:.3f}  goal <= 1.0  {'ok' if ratio <= 1.0 else 'MISSED'}")
    share = native_own / wrapped_total
    print(
        f"outside the host, with timing wrappers: native {native_own * 1e3:.1f} ms "
        f"of {wrapped_total * 1e3:.1f} ms = {share:.1%} (upper bound on own work; "
        f"goal < {OWN_SHARE_GOAL:.0%}: {'ok' if share < OWN_SHARE_GOAL else 'MISSED'})"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
