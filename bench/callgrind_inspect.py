"""Counts, under callgrind, the instructions inspect_modules spends outside the host interpreter.

Not part of `make bench` (it takes minutes). Needs valgrind and a module with symbols:

    .venv/bin/pip install . -C install.strip=false
    .venv/bin/python bench/callgrind_inspect.py [MODULES]

Collection is on only inside `inspect_modules_entry`, after a warm-up call. Own work is
every instruction executed in the extension itself plus what its calls into the C and
C++ runtimes (memcpy, malloc) cost; everything else is the host's. Extension code that
the host calls back (the AssetWrapper properties) counts as own work too, so the figure
is an upper bound for discovery's own share.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ENTRY = "quarn::discover::inspect_modules_entry*"
RUNTIMES = ("libc.so", "libstdc++.so", "libm.so", "libgcc_s.so")

CHILD = """
import importlib, sys
sys.path.insert(0, {here!r})
import bench_inspect
bench_inspect.MODULES = {modules}
from quarn import inspect_modules
names = bench_inspect.write_project({root!r})
sys.path.insert(0, {root!r})
for name in names:
    importlib.import_module(name)
inspect_modules(names)  # warm-up, not collected: the entry is toggled on for the second
inspect_modules(names)
"""


def run_callgrind(modules: int, out: str, root: str) -> None:
    script = CHILD.format(here=HERE, modules=modules, root=root)
    subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            "--collect-atstart=no",
            f"--toggle-collect={ENTRY}",
            sys.executable,
            "-c",
            script,
        ],
        check=True,
        stderr=subprocess.DEVNULL,
    )


_NAME = re.compile(r"^\((\d+)\)(?: (.*))?$")


class Names:
    """callgrind's name compression: "(id) name" defines, "(id)" refers."""

    def __init__(self) -> None:
        self.known: dict[str, str] = {}

    def __call__(self, text: str) -> str:
        match = _NAME.match(text)
        if not match:
            return text
        if match.group(2) is not None:
            self.known[match.group(1)] = match.group(2)
        return self.known[match.group(1)]


def own_and_host(path: str) -> tuple[int, int, int]:
    """(total, host, own) instructions of the collected part."""
    objects, functions = Names(), Names()
    obj = callee_obj = ""
    in_extension = False
    total = own = 0
    pending_call = False
    with open(path, encoding="utf-8", errors="replace") as file:
        for line in file:
            line = line.rstrip("\n")
            if line.startswith("ob="):
                obj = objects(line[3:])
            elif line.startswith("fn="):
                functions(line[3:])
                in_extension = "_quarn" in obj
            elif line.startswith("cob="):
                callee_obj = objects(line[4:])
            elif line.startswith("cfn="):
                functions(line[4:])
            elif line.startswith("calls="):
                pending_call = True
            elif line.startswith(("totals:", "summary:")):
                total = int(line.split()[-1])
            elif line[:1].isdigit() or line[:1] in ("+", "-", "*"):
                fields = line.split()
                cost = int(fields[-1]) if len(fields) > 1 else 0
                if pending_call:
                    # A call's line carries its inclusive cost; callgrind names the callee's
                    # object only when it differs from the caller's.
                    target = callee_obj or obj
                    if in_extension and os.path.basename(target).startswith(RUNTIMES):
                        own += cost
                    pending_call = False
                    callee_obj = ""
                elif in_extension:
                    own += cost
    return total, total - own, own


def main() -> int:
    modules = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    with tempfile.TemporaryDirectory(prefix="quarn-callgrind-") as root:
        out = os.path.join(root, "callgrind.out")
        run_callgrind(modules, out, root)
        total, host, own = own_and_host(out)
    print(f"{modules} modules: {total:,} instructions in inspect_modules")
    print(f"  host calls: {host:,} ({host / total:.1%})")
    print(f"  own work:   {own:,} ({own / total:.1%})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
