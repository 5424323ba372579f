"""The peers' own virtual environment: created on first use with `python -m venv` and pip,
never a dependency of quarn, and reused when present. Its pandas, pyarrow and numpy are
pinned to the versions of the environment that runs the benchmark, so that every tool does
the same work with the same libraries."""

from __future__ import annotations

import importlib.metadata
import json
import subprocess
import sys
from pathlib import Path

# The tools, by the name of their module and of their package.
TOOLS = {
    "hamilton": "apache-hamilton",
    "joblib": "joblib",
    "luigi": "luigi",
    "snakemake": "snakemake",
}
LIBRARIES = ("pandas", "pyarrow", "numpy")
_MARKER = ".bench-requirements"


def requirements() -> list[str]:
    pins = []
    for library in LIBRARIES:
        try:
            pins.append(f"{library}=={importlib.metadata.version(library)}")
        except importlib.metadata.PackageNotFoundError:
            pins.append(library)
    return pins + sorted(TOOLS.values())


def prepare(folder: Path) -> tuple[Path | None, dict[str, str], list[str]]:
    """(the environment's interpreter, {tool: version} of the tools it has, notes on what
    could not be had). Installs what the marker does not list as installed."""
    notes: list[str] = []
    python = folder / "bin" / "python"
    wanted = requirements()
    if not python.exists():
        base = getattr(sys, "_base_executable", sys.executable)
        print(f"creating the peers' environment in {folder} (venv and pip)...", flush=True)
        made = _quiet([base, "-m", "venv", str(folder)])
        if made:
            return None, {}, [f"cannot create the peers' environment: {made}"]
    marker = folder / _MARKER
    if not marker.exists() or marker.read_text() != "\n".join(wanted):
        print(f"installing the peers ({', '.join(wanted)}) with pip...", flush=True)
        failed = _quiet([str(python), "-m", "pip", "install", "-q", *wanted])
        if failed:  # one at a time, so that one tool that cannot be had leaves the others
            for requirement in wanted:
                problem = _quiet([str(python), "-m", "pip", "install", "-q", requirement])
                if problem:
                    notes.append(f"cannot install {requirement} here: {problem}")
        else:
            marker.write_text("\n".join(wanted))
    versions = _versions(python)
    for tool in TOOLS:
        if tool not in versions:
            notes.append(f"{tool} is not available in {folder}: left out")
    return python, versions, notes


def _versions(python: Path) -> dict[str, str]:
    probe = (
        "import importlib.metadata as m, importlib.util as u, json\n"
        f"tools = {TOOLS!r}\n"
        "print(json.dumps({t: m.version(p) for t, p in tools.items() if u.find_spec(t)}))"
    )
    done = subprocess.run([str(python), "-c", probe], capture_output=True, text=True)
    return json.loads(done.stdout) if done.returncode == 0 else {}


def _quiet(command: list[str]) -> str:
    """Runs `command`; "" when it succeeded, else the last line it printed."""
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode == 0:
        return ""
    lines = (done.stderr or done.stdout).strip().splitlines()
    return lines[-1] if lines else f"exit status {done.returncode}"
