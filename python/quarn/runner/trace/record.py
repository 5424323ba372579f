"""What a job uses while it runs, recorded in the process that runs it.

Four probes, each on only while something is recorded:

- `sys.monitoring` (PY_START), as local events of the project's code objects alone, set
  when their module is executed (the audit event `exec`): library code is never
  instrumented, and project code is switched off once a job has seen it start, so the cost
  is per piece of project code, never per call.
- an audit hook on `open`: the files read (not those the job writes, nor the interpreter's,
  the installed packages', quarn's own or the output directory's state files).
- `os.environ`'s class, swapped for one that notes each variable read by name (so the
  variable is noted however the job reached the mapping, `from os import environ` too).
- the import functions: the project modules imported, also when they already were.

Two phases. `imports()` wraps the imports of the warm template (and of `--isolation none`):
what the import of each project module did is kept apart, per module. `job(spec)` wraps one
job: its record is what it did itself, plus what the imports of its module, and of every
project module it imported, did; so a forked job records what a spawned one does.
"""

from __future__ import annotations

import builtins
import contextlib
import importlib
import importlib.util
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping
from types import CodeType, FrameType, ModuleType
from typing import Any

import quarn
from quarn.runner.contract import (
    STATE_DIR,
    CodeDep,
    InputSource,
    JobDeps,
    JobSpec,
)
from quarn.runner.inputs import Inputs
from quarn.runner.project import library_file, library_folder, library_prefixes
from quarn.runner.store.digest import stat_key
from quarn.runner.trace import cache, settle
from quarn.runner.trace.cache import file_digest, text_digest

_IMPORTS = "imports"
_JOB = "job"
_TOOL_IDS = (3, 4, 5, 2, 1, 0)  # the unassigned ones first
_OWN = os.path.dirname(os.path.realpath(quarn.__file__ or __file__)) + os.sep
_NEVER_DATA = (os.sep + "proc" + os.sep, os.sep + "sys" + os.sep, os.sep + "dev" + os.sep)
_CODE_SUFFIXES = (".py", ".pyc", ".pyi", ".pyd", ".so", ".pth")
_LIBRARY = library_prefixes()


class Seen:
    """What one job, or the import of one project module, was seen to use."""

    __slots__ = ("code", "env", "files", "imports", "inputs", "settled")

    def __init__(self) -> None:
        self.code: set[CodeType] = set()
        self.settled: dict[str, CodeDep] | None = None  # `code` as units, once settled
        self.files: dict[str, list[int] | None] = {}  # path -> stat when first opened
        self.env: dict[str, str | None] = {}  # name -> digest of the value first read
        self.imports: set[str] = set()  # project modules imported
        self.inputs: dict[str, str] = {}  # upstream folder -> digest of the bytes read


class _Recording:
    __slots__ = ("phase", "root", "written", "env_written", "skipped", "input_dirs", "keys")

    def __init__(self, phase: str) -> None:
        self.phase = phase
        self.root = Seen()
        self.written: set[str] = set()  # files opened for writing: outputs, not inputs
        self.env_written: set[str] = set()  # variables the job set before reading them
        self.skipped: tuple[str, ...] = ()  # folders whose files are no dependency
        self.input_dirs: set[str] = set()  # upstream folders: their values count as inputs
        self.keys: set[tuple[object, ...]] = set()  # imports already noted in this job

    def target(self, frame: FrameType | None) -> Seen | None:
        """Where an event at `frame` counts: the job, or the module whose import runs.
        Nothing counts while a library module is being imported: that is the library's
        own business, and the same in every job."""
        importing, name = _importing(frame)
        if self.phase == _JOB:
            return None if importing and name is None else self.root
        return None if name is None else segments.setdefault(name, Seen())


_active: _Recording | None = None
_spare: _Recording | None = None  # a job's recording, made ahead in a template
segments: dict[str, Seen] = {}  # project module -> what its import did (template, runner)
# Every project source an import phase read (its real path), with its stat when first
# opened, before it was read: what discovery's result rests on (`used_by_imports`).
sources: dict[str, list[int] | None] = {}
_tool: int | None = None  # held for the process's life once taken: events stay local
_watched: set[CodeType] = set()  # project code objects whose PY_START is watched
_notes: list[str] = []
_jobs_started = 0
_hooked = False
_installed_by: _Recording | None = None  # the recording that swapped the probes in
_code_files: dict[str, str | None] = {}  # co_filename -> real path when it is project code
_data_files: dict[str, bool] = {}  # absolute path -> whether it can be a dependency


# Classifying ------------------------------------------------------------------------------


def project_file(filename: str) -> str | None:
    """The real path of a source file someone may edit (neither the interpreter's, an
    installed package's nor quarn's), or None."""
    try:
        return _code_files[filename]
    except KeyError:
        pass
    real = None
    # Not "<frozen os>" nor text given to exec; a library's files mostly are where the
    # interpreter put them, which tells without resolving links.
    if os.path.isabs(filename) and not library_folder(filename):
        candidate = os.path.realpath(filename)
        if not candidate.startswith(_OWN) and not library_file(candidate):
            real = candidate
    _code_files[filename] = real
    return real


def _data_file(path: str) -> bool:
    try:
        return _data_files[path]
    except KeyError:
        pass
    data = not (
        path.startswith(_NEVER_DATA)
        or path.endswith(_CODE_SUFFIXES)
        or "__pycache__" in path
        or library_folder(path)
        or os.path.realpath(path).startswith(_OWN)
        or library_file(path)
    )
    _data_files[path] = data
    return data


def _importing(frame: FrameType | None) -> tuple[bool, str | None]:
    """Whether a module's top-level code runs at `frame` (the innermost such module): a
    project module gives its name, any other module None."""
    while frame is not None:
        code = frame.f_code
        if code.co_name == "<module>" and os.path.isabs(code.co_filename):
            name = frame.f_globals.get("__name__")
            if name != "__main__":  # the program itself is no import
                if project_file(code.co_filename) is None or not isinstance(name, str):
                    return True, None
                return True, name
        frame = frame.f_back
    return False, None


# The probes -------------------------------------------------------------------------------


def _started(code: CodeType, _offset: int) -> Any:
    """PY_START of project code: noted, and in a job switched off for the rest of it."""
    try:
        recording = _active
        if recording is None:
            # After a job in this process (`--isolation none`, `quarn.materialize`), the
            # project's code runs on unwatched until the next job switches it on again; a
            # template, which ran none, keeps every event for the jobs it forks.
            return sys.monitoring.DISABLE if _jobs_started else None
        if recording.phase == _JOB:
            recording.root.code.add(code)
            return sys.monitoring.DISABLE  # a job that calls it a million times pays once
        # Importing: every job forked later must see this code start again.
        seen = recording.target(sys._getframe(1))
        if seen is not None:
            seen.code.add(code)
    except Exception:  # noqa: BLE001 - recording must never break the code it watches
        pass
    return None


def _audit(event: str, args: tuple[Any, ...]) -> None:
    if _active is None or (event != "open" and event != "exec"):
        return
    try:
        if event == "open":
            _opened(_active, args)
        elif isinstance(args[0], CodeType):
            _watch(args[0])
    except Exception:  # noqa: BLE001 - an audit hook that raises would fail the operation
        pass


def _watch(code: CodeType) -> None:
    """Watches PY_START of a module's code and of every code object inside it (functions,
    methods, class bodies, lambdas), when it is the project's."""
    if _tool is None or project_file(code.co_filename) is None:
        return
    monitoring = sys.monitoring
    stack = [code]
    while stack:
        each = stack.pop()
        if each in _watched:
            continue
        _watched.add(each)
        monitoring.set_local_events(_tool, each, monitoring.events.PY_START)
        stack += [c for c in each.co_consts if isinstance(c, CodeType)]


def _opened(recording: _Recording, args: tuple[Any, ...]) -> None:
    path, _mode, flags = args
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    elif not isinstance(path, str):
        return  # an open descriptor: whoever opened it did so by name
    flags = flags if isinstance(flags, int) else 0
    if flags & os.O_ACCMODE != os.O_RDONLY or flags & (os.O_CREAT | os.O_TRUNC | os.O_APPEND):
        recording.written.add(path)  # made absolute once, at the end
        return
    path = os.path.abspath(path)
    if recording.phase == _IMPORTS and path.endswith(_SOURCES):
        _source_read(path)
        return
    if (
        path.startswith(recording.skipped)
        or os.path.dirname(path) in recording.input_dirs
        or not _data_file(path)
    ):
        return
    seen = recording.target(sys._getframe(2))  # _audit, then who opened it
    if seen is not None and path not in seen.files:
        seen.files[path] = stat_key(path)


_SOURCES = (".py", ".pyc")


def _source_read(path: str) -> None:
    """A module's source (or its bytecode cache: then the source it was checked against,
    which the loader has just compared with it) opened by an import."""
    if path.endswith(".pyc"):
        try:
            path = importlib.util.source_from_cache(path)
        except ValueError:
            return  # a module without a source: `used_by_imports` finds it unsure
    real = project_file(path)
    if real is not None and real not in sources:
        sources[real] = stat_key(real)


class _RecordingEnviron(os._Environ[str]):
    """`os.environ` while a job is recorded: reading a variable by name notes it."""

    def __getitem__(self, key: str) -> str:
        try:
            value = super().__getitem__(key)
        except KeyError:
            _read_env(key, None)
            raise
        _read_env(key, value)
        return value

    def __setitem__(self, key: str, value: str) -> None:
        if _active is not None:
            _active.env_written.add(key)
        super().__setitem__(key, value)

    def __delitem__(self, key: str) -> None:
        if _active is not None:
            _active.env_written.add(key)
        super().__delitem__(key)


def _bulk_codes() -> frozenset[CodeType]:
    """The standard library's ways of reading the whole environment (a copy, the items):
    those read every variable, and a job depends on none of them by name that way."""
    from collections.abc import ItemsView, ValuesView

    functions: list[Any] = [
        os._Environ.copy,
        os._Environ.__or__,
        os._Environ.__ror__,
        ItemsView.__iter__,
        ItemsView.__contains__,
        ValuesView.__iter__,
        ValuesView.__contains__,
        Mapping.__eq__,
    ]
    return frozenset(f.__code__ for f in functions)


_BULK = _bulk_codes()
_MAPPING_FILES = frozenset({os.getenv.__code__.co_filename, Mapping.get.__code__.co_filename})


def _read_env(key: object, value: str | None) -> None:
    recording = _active
    if recording is None or not isinstance(key, str) or key in recording.env_written:
        return
    try:
        frame: FrameType | None = sys._getframe(2)
        while frame is not None and frame.f_code.co_filename in _MAPPING_FILES:
            if frame.f_code in _BULK:
                return
            frame = frame.f_back
        if frame is None or frame.f_code.co_filename.startswith(_OWN):
            return  # quarn's own reads (its settings, not the job's)
        seen = recording.target(frame)
        if seen is not None and key not in seen.env:
            seen.env[key] = None if value is None else text_digest(value)
    except Exception:  # noqa: BLE001
        pass


_original_import = builtins.__import__
_original_import_module = importlib.import_module


def _import(
    name: str,
    globals: Mapping[str, object] | None = None,
    locals: Mapping[str, object] | None = None,
    fromlist: Any = (),
    level: int = 0,
) -> ModuleType:
    module = _original_import(name, globals, locals, fromlist, level)
    recording = _active
    if recording is not None:
        try:
            _imported(recording, name, globals, tuple(fromlist or ()), level)
        except Exception:  # noqa: BLE001
            pass
    return module


def _import_module(name: str, package: str | None = None) -> ModuleType:
    module = _original_import_module(name, package)
    recording = _active
    if recording is not None:
        try:
            _imported(recording, module.__name__, None, (), 0)
        except Exception:  # noqa: BLE001
            pass
    return module


def _imported(
    recording: _Recording,
    name: str,
    globals: Mapping[str, object] | None,
    fromlist: tuple[str, ...],
    level: int,
) -> None:
    package = _package(globals) if level else ""
    if recording.phase == _JOB:
        key = (name, package, level, fromlist)
        if key in recording.keys:
            return
        recording.keys.add(key)
    top = (package if level else name).partition(".")[0]
    file = getattr(sys.modules.get(top), "__file__", None)
    if isinstance(file, str) and file.startswith(_LIBRARY):
        return  # a library's module or package: none of its modules is the project's
    if level:
        base = package.rsplit(".", level - 1)[0] if level > 1 else package
        name = f"{base}.{name}" if name else base
    parts = name.split(".")
    names = [".".join(parts[: i + 1]) for i in range(len(parts))]
    names += [f"{name}.{item}" for item in fromlist if item != "*"]
    found = []
    for module_name in names:
        file = getattr(sys.modules.get(module_name), "__file__", None)
        if isinstance(file, str) and project_file(file) is not None:
            found.append(module_name)
    if not found:
        return
    if recording.phase == _JOB:
        recording.root.imports.update(found)
    else:  # the innermost project module being imported imports them
        seen = recording.target(sys._getframe(2))  # the wrapper, then the importer
        if seen is not None:
            seen.imports.update(found)


def _package(globals: Mapping[str, object] | None) -> str:
    if not globals:
        return ""
    package = globals.get("__package__")
    if isinstance(package, str):
        return package
    name = globals.get("__name__")
    if not isinstance(name, str):
        return ""
    return name if "__path__" in globals else name.rpartition(".")[0]


# Switching the probes on and off ----------------------------------------------------------


def _start(recording: _Recording) -> None:
    global _active, _hooked, _installed_by
    if not _hooked:
        sys.addaudithook(_audit)  # for the process's life: it costs a comparison when idle
        _hooked = True
    if _tool is None:
        _acquire_tool()
    if recording.phase == _JOB and _jobs_started and _tool is not None:
        sys.monitoring.restart_events()  # what an earlier job here switched off, on again
    if builtins.__import__ is not _import:
        _install_probes()
        _installed_by = recording
    _active = recording


def _stop(recording: _Recording) -> None:
    """Ends `recording`, and takes out the probes it put in (`--isolation none` runs the
    runner's own code next); a template's stay in place for its jobs (`ready_to_fork`)."""
    global _active, _installed_by
    if _active is not recording:
        return
    _active = None  # the watched code's events stay, but note nothing: no job runs
    if _installed_by is recording:
        builtins.__import__ = _original_import
        importlib.import_module = _original_import_module
        if type(os.environ) is _RecordingEnviron:
            object.__setattr__(os.environ, "__class__", os._Environ)
        _installed_by = None


def _install_probes() -> None:
    if type(os.environ) is os._Environ:
        os.environ.__class__ = _RecordingEnviron
    builtins.__import__ = _import
    importlib.import_module = _import_module


def _acquire_tool() -> None:
    """A monitoring tool id of our own, for the process's life; without one, a note."""
    global _tool
    if _tool is not None:
        return
    monitoring = getattr(sys, "monitoring", None)
    if monitoring is None:
        _note("the code that ran is not recorded: this Python has no sys.monitoring")
        return
    for tool in _TOOL_IDS:
        if monitoring.get_tool(tool) is None:
            monitoring.use_tool_id(tool, "quarn-trace")
            monitoring.register_callback(tool, monitoring.events.PY_START, _started)
            _tool = tool
            return
    _note(
        "the code that ran is not recorded: every sys.monitoring tool id is in use "
        "(by a debugger, profiler or coverage tool)"
    )


def _note(text: str) -> None:
    if text not in _notes:
        _notes.append(text)


# The phases -------------------------------------------------------------------------------


@contextlib.contextmanager
def imports(for_jobs: bool = True) -> Iterator[None]:
    """Records, per project module, what its import does, for every later job of this
    process and of the processes it forks (`for_jobs`); then hashes what was read and
    parses the code that ran, once for all of them. What an earlier import phase of this
    process saw (`quarn.materialize` called again, the modules imported anew) is
    forgotten. Without `for_jobs` (a discovery of its own), only `used_by_imports` is
    wanted."""
    segments.clear()
    sources.clear()
    _closures.clear()
    recording = _Recording(_IMPORTS)
    _start(recording)
    try:
        yield
    finally:
        _stop(recording)
        if for_jobs:
            settle.prepare(segments.values(), _watched)
            _closures.clear()
            for name in segments:
                _reached(name)


def used_by_imports(modules: Iterable[str]) -> Inputs:
    """What the last import phase rests on: the project sources it read and the files and
    variables the project's modules read while imported. Unsure when a project module it
    used (one of `modules`, or one the imports reached) was not read from its source
    meanwhile: imported before, an extension, or code without a source."""
    used = Inputs()
    for path, stat in sources.items():
        used.path(path, stat)
    reached = dict.fromkeys(modules)
    for seen in segments.values():
        for path, stat in seen.files.items():
            used.path(path, stat)
        for name, digest in seen.env.items():
            used.variable(name, digest)
        reached.update(dict.fromkeys(sorted(seen.imports)))
    for name in reached:
        file = getattr(sys.modules.get(name), "__file__", None)
        real = project_file(file) if isinstance(file, str) else None
        if real is not None and real not in sources and not used.unsure:
            used.unsure = f"{real} was not read from its source by this import"
    return used


def ready_to_fork() -> None:
    """For a process that only forks jobs (the warm template): its probes stay in place,
    idle, and a job's recording is made and rehearsed ahead, so that each forked job
    writes to (so copies) as few of this process's pages as it can."""
    global _spare
    _install_probes()  # no recording owns them: no job takes them out
    _rehearse()
    _spare = _Recording(_JOB)  # each forked job takes its own copy


def _absolute(path: str, cwd: str) -> str:
    return path if path.startswith(os.sep) else os.path.normpath(os.path.join(cwd, path))


class job:  # noqa: N801 - used as `with job(spec) as recording`, like a function
    """Records the job of `spec` for the `with` block; `finish()` inside it stops and
    returns the job's record. However the block ends, the probes are off after it
    (`--isolation none` runs the next job, and the runner, in this very process)."""

    def __init__(self, spec: JobSpec) -> None:
        global _spare
        # In a forked job each function and object met for the first time costs copied
        # pages: hence a recording made ahead by the template, and paths joined as text.
        recording, _spare = (_spare or _Recording(_JOB)), None
        self._recording = recording
        self._module = spec["module"]
        self.cwd = cwd = os.getcwd()
        stage = spec["stage_dir"]
        # The output directory's state folder (the run's stages, its records): never data.
        state = stage.partition(f"{os.sep}{STATE_DIR}{os.sep}")[0] + f"{os.sep}{STATE_DIR}"
        skipped = [stage, spec["job_dir"], *([state] if STATE_DIR in stage else [])]
        skipped += [os.path.dirname(f) for f in cache.folders() if f]  # quarn's own cache
        recording.skipped = tuple(_absolute(p, cwd) + os.sep for p in skipped)
        inputs = spec["inputs"]
        for source in inputs.values():
            members = source["fan_in"].values() if "fan_in" in source else [source]  # type: ignore[typeddict-item]
            recording.input_dirs.update(_absolute(m["dir"], cwd) for m in members)
        recording.keys.add((self._module, "", 0, ()))  # its import counts in `finish`
        self._deps: JobDeps | None = None

    def __enter__(self) -> job:
        global _jobs_started
        _start(self._recording)
        _jobs_started += 1
        return self

    def __exit__(self, *_: object) -> None:
        _stop(self._recording)

    def finish(self) -> JobDeps:
        """Stops recording and returns what the job used, each with what identifies its
        content now (code and file digests)."""
        if self._deps is None:
            _stop(self._recording)
            root = self._recording.root
            imports = _reached(self._module)
            for name in root.imports.difference(*(s.imports for s in imports)):
                imports += [s for s in _reached(name) if s not in imports]
            written = self._recording.written
            self._deps = settle.deps(root, imports, written, self.cwd, cache.folders(), _notes)
        return self._deps


def _rehearse() -> None:
    """Records a few empty jobs in the template: a forked job then finds the recorder's
    code specialized by the interpreter, and writes to (so copies) fewer of its pages."""
    global _spare, _jobs_started
    ran = next(iter(_watched), None)
    here = os.getcwd()
    spec: Any = {
        "module": "", "function": "", "stage_dir": here, "job_dir": here,
        "inputs": {"": {"dir": here, "serializer": None}},
    }  # fmt: skip
    for _ in range(4):
        _spare, _jobs_started = None, 0  # no restart of events: they would be re-applied
        with job(spec) as recording:
            if ran is not None:
                recording._recording.root.code.add(ran)
            recording.finish()
    _jobs_started = 0
    _closures.pop("", None)


_closures: dict[str, list[Seen]] = {}


def _reached(module: str) -> list[Seen]:
    """What the import of `module`, and of every project module it imported in turn, was
    seen to use in this process; kept, so that a template works it out once for its jobs."""
    found = _closures.get(module)
    if found is None:
        found = []
        stack, visited = [module], set()
        while stack:
            name = stack.pop()
            if name not in visited:
                visited.add(name)
                seen = segments.get(name)
                if seen is not None:
                    found.append(seen)
                    stack += seen.imports
        _closures[module] = found
    return found


# What the job's code calls ----------------------------------------------------------------


def read_input[T](path: str, source: InputSource, read: Callable[[], T]) -> T:
    """Reads an upstream value with `read` and notes the digest of the bytes read: the one
    the runner knows when the file's stat is the one it knows, before and after the read;
    else the file's own digest (or "" when it changed while being read)."""
    recording = _active
    if recording is None:
        return read()
    before = stat_key(path)
    value = read()
    after = stat_key(path)
    if before is None or before != after:
        digest = ""
    elif before == source.get("stat") and source.get("digest"):
        digest = source.get("digest", "")
    else:
        digest = file_digest(path, after, None) or ""
    upstream = source.get("job") or os.path.abspath(source["dir"])
    earlier = recording.root.inputs.setdefault(upstream, digest)
    if earlier != digest:  # read twice, and not the same bytes
        recording.root.inputs[upstream] = ""
    return value


def depends_on(path: str | os.PathLike[str]) -> None:
    """Declares that the running job (or, at a module's top level, every job of that
    module) depends on the file at `path`, as if it had opened it: for reads the audit hook
    cannot see (C code that opens files itself). The file's stat and SHA-256 are recorded,
    and a change makes the job stale. Outside a job it does nothing; a folder is refused
    (declare the files in it)."""
    file = os.path.abspath(os.fspath(path))
    if os.path.isdir(file):
        raise IsADirectoryError(f"quarn.depends_on takes a file, not the folder {file}")
    recording = _active
    if recording is None:
        return
    seen = recording.target(sys._getframe(1))
    if seen is not None and file not in seen.files:
        seen.files[file] = stat_key(file)


def depends_on_env(name: str) -> str | None:
    """Declares that the running job depends on the environment variable `name` and returns
    its value (None when unset), as `os.environ.get(name)` inside a job would."""
    value = os.environ.get(name)
    recording = _active
    if recording is not None and name not in recording.env_written:
        seen = recording.target(sys._getframe(1))
        if seen is not None:
            seen.env.setdefault(name, None if value is None else text_digest(value))
    return value
