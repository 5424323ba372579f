"""Recorded dependencies without a process: which units an edit changes, which recorded
dependency a change names, how records are shared, and what observing them reads."""

from __future__ import annotations

import hashlib
import os
import textwrap

import pytest

from quarn.runner.trace import cache
from quarn.runner.trace.cache import text_digest
from quarn.runner.trace.deps import (
    FileNow,
    Observed,
    SourceNow,
    compare,
    join,
    share,
)
from quarn.runner.trace.observe import DepsObserver
from quarn.runner.trace.units import MODULE, units

SOURCE = textwrap.dedent(
    '''
    """A module."""
    import os
    from registry import register

    FACTOR = 10  # a comment
    key = lambda row: row["id"]

    @register("double")
    def double(x):
        """Doubles."""
        return 2 * x

    @asset(partitions={"day": partitions(["mon", "tue"])})
    def daily(day):
        return day

    class Model(Base):
        LIMIT = 3

        @property
        def size(self):
            return self.LIMIT

        class Inner:
            def deep(self):
                return "deep"

    if os.environ.get("FAST"):
        def speed():
            return "fast"
        register("speed")(speed)

    register("late")(double)
    '''
)


def changed_units(old: str, new: str) -> list[str]:
    before, after = units(SOURCE.encode()), units(SOURCE.replace(old, new).encode())
    assert before is not None and after is not None and old in SOURCE
    keys = set(before.digests) | set(after.digests)
    return sorted(k for k in keys if before.digests.get(k) != after.digests.get(k))


@pytest.mark.parametrize(
    ("old", "new", "expected"),
    [
        # What the static version already ignores, the record ignores too.
        ("# a comment", "# another", []),
        # A binding counts where it is read, never as the module body (else any constant
        # edit would make every job of the module stale).
        ("FACTOR = 10", "FACTOR = 11", ["FACTOR"]),
        ('row["id"]', 'row["key"]', ["key"]),
        # Each function and method alone; a class body with its attributes and the
        # decorators of its methods; a nested class apart.
        ("return 2 * x", "return 3 * x", ["double"]),
        ("return self.LIMIT", "return self.LIMIT + 1", ["Model.size"]),
        ("LIMIT = 3", "LIMIT = 4", ["Model"]),
        ("@property", "@staticmethod", ["Model", "Model.size"]),
        ('return "deep"', 'return "deeper"', ["Model.Inner.deep"]),
        # What the module body does when imported, beyond binding names.
        ('register("late")', 'register("later")', [MODULE]),
        ('@register("double")', '@register("twice")', [MODULE, "double"]),
        ('register("speed")(speed)', 'register("quick")(speed)', [MODULE]),
        # A function defined under a module-level `if` is still its own unit.
        ('return "fast"', 'return "faster"', ["speed"]),
        # The declaration counts apart from the code: a key added changes no unit.
        ('["mon", "tue"]', '["mon", "tue", "wed"]', []),
    ],
)
def test_an_edit_changes_exactly_the_units_it_touches(old, new, expected):
    assert changed_units(old, new) == expected


@pytest.mark.parametrize(
    ("qualname", "line", "expected"),
    [
        ("<module>", 1, MODULE),
        ("double", 9, "double"),
        ("Model.size", 20, "Model.size"),
        ("double.<locals>.inner.<locals>.<lambda>", 11, "double"),  # nested code: its def
        ("Model.<lambda>", 18, "Model"),  # a lambda in a class body: the class body
        ("<lambda>", 7, "key"),  # at module level: the binding it is in
        ("<genexpr>", 34, MODULE),  # in a module-level statement that binds nothing
    ],
)
def test_code_objects_map_to_their_unit(qualname, line, expected):
    table = units(SOURCE.encode())
    assert table is not None and table.unit_of(qualname, line) == expected


def test_unit_tables_survive_their_cache_but_not_a_planted_link(tmp_path):
    table = units(SOURCE.encode())
    assert table is not None
    assert units(b"def broken(:\n") is None
    data = SOURCE.encode()
    path = tmp_path / "m.py"
    path.write_bytes(data)
    sha = hashlib.sha256(data).hexdigest()
    cache._units.pop(sha, None)
    folder = tmp_path / "cache"
    folder.mkdir()
    assert cache.source_units(sha, str(path), str(folder)) == table
    cache._units.pop(sha)
    path.write_bytes(b"# the bytes asked about are gone\n")
    assert cache.source_units(sha, str(path), str(folder)) == table  # read back
    cache._units.pop(sha)
    assert cache.source_units(sha, str(path), None) is None  # not in memory nor kept
    # A table reached through a link is not this user's entry: never trusted.
    forged = tmp_path / "forged.json"
    forged.write_text('{"digests": {"<module>": "x"}, "lines": []}')
    (folder / f"{sha}.json").unlink()
    (folder / f"{sha}.json").symlink_to(forged)
    assert cache.source_units(sha, str(path), str(folder)) is None


STAT = [10, 1, 1, 7]
SHA = "a" * 64
RECORD = {
    "code": {
        "pkg/helpers.py": {"sha256": "s1", "units": {"scale": "d1", MODULE: "m1"}},
        "pipe.py": {"sha256": "s2", "units": {"source": "d2"}},
    },
    "files": {
        "data.csv": {"stat": STAT, "sha256": SHA},
        "override.csv": {"stat": None, "sha256": None},
        "busy.csv": {"stat": STAT, "sha256": ""},
    },
    "env": {"QSCALE": text_digest("2"), "QDEBUG": None},
    "inputs": {},
}
SAME = Observed(
    code={"pkg/helpers.py": SourceNow("s1"), "pipe.py": SourceNow("s2")},
    files={"data.csv": FileNow(STAT), "override.csv": FileNow(None), "busy.csv": FileNow(STAT)},
    env={"QSCALE": text_digest("2"), "QDEBUG": None},
)


def now(**changes: dict) -> Observed:
    """What is observed: the same as recorded, but for `changes` (kind -> entries)."""
    parts = {"code": dict(SAME.code), "files": dict(SAME.files), "env": dict(SAME.env)}
    for kind, entries in changes.items():
        parts[kind].update(entries)
    return Observed(**parts)


TOUCHED = [10, 2, 2, 7]


# fmt: off
@pytest.mark.parametrize(
    ("observed", "reasons", "restat"),
    [
        (SAME, [], {}),
        # A touched file with the same bytes: nothing, and its new stat to keep.
        (now(files={"data.csv": FileNow(TOUCHED, SHA)}), [], {"data.csv": TOUCHED}),
        (now(files={"data.csv": FileNow(TOUCHED, "b" * 64)}), ["data.csv changed"], {}),
        (now(files={"data.csv": FileNow(None)}), ["data.csv is gone"], {}),
        (now(files={"override.csv": FileNow(STAT, SHA)}), ["override.csv appeared"], {}),
        (now(env={"QSCALE": text_digest("3")}), ["environment QSCALE changed"], {}),
        (now(env={"QDEBUG": text_digest("")}), ["environment QDEBUG changed"], {}),  # now set
        # Another source whose units that ran are the same (a comment, another function).
        (now(code={"pkg/helpers.py": SourceNow("s3", {"scale": "d1", MODULE: "m1"})}), [], {}),
        (now(code={"pkg/helpers.py": SourceNow("s3", {"scale": "d9", MODULE: "m1"})}),
         ["pkg/helpers.py: scale changed (ran in this job)"], {}),
        (now(code={"pkg/helpers.py": SourceNow("s3", {MODULE: "m9"})}),  # scale is gone
         ["pkg/helpers.py: scale changed (ran in this job)",
          "pkg/helpers.py: its module body changed (ran when imported)"], {}),
        (now(code={"pipe.py": SourceNow(None)}), ["pipe.py is gone (its code ran in this job)"],
         {}),
        (now(code={"pipe.py": SourceNow("s9")}), ["pipe.py changed (its code ran in this job)"],
         {}),
    ],
)
# fmt: on
def test_a_change_names_the_dependency_that_changed(observed, reasons, restat):
    found = compare(RECORD, observed)
    # A file that changed while the job read it is never vouched for.
    texts = [c.text for c in found.changed]
    assert sorted(texts) == sorted([*reasons, "busy.csv changed while the job read it"])
    assert found.restat == restat


def test_a_record_missing_from_what_is_observed_counts_as_changed():
    found = compare(RECORD, Observed())
    assert {c.subject for c in found.changed} == {
        "pkg/helpers.py", "pipe.py", "data.csv", "override.csv", "busy.csv", "QSCALE", "QDEBUG"
    }  # fmt: skip


def test_jobs_that_ran_the_same_code_share_one_part_of_the_table():
    other = {**RECORD, "files": {"other.csv": {"stat": STAT, "sha256": SHA}}}
    refs_a, parts_a = share(RECORD)
    refs_b, parts_b = share(other)
    assert refs_a["code"] == refs_b["code"] and refs_a["env"] == refs_b["env"]
    assert refs_a["files"] != refs_b["files"]
    table = {**parts_a, **parts_b}
    assert len(table) == 4
    assert join(refs_b, table) == {**other, "inputs": {}}
    assert join(refs_a, {k: v for k, v in table.items() if k != refs_a["files"]}) is None
    assert share({"code": {}, "files": {}, "env": {}, "inputs": {}}) == ({}, {})


def test_observing_hashes_a_file_only_when_its_stat_moved(tmp_path, monkeypatch):
    data = tmp_path / "data.csv"
    data.write_text("a\n1\n")
    stat = list(cache.stat_key(str(data)) or [])
    sha = cache.sha256_file(str(data))
    record = {
        "code": {},
        "files": {"data.csv": {"stat": stat, "sha256": sha}},
        "env": {"QSCALE": None},
        "inputs": {},
    }
    hashed: list[str] = []
    real = cache.sha256_file
    monkeypatch.setattr(cache, "sha256_file", lambda p: hashed.append(p) or real(p))
    observer = DepsObserver(str(tmp_path), environ={"QSCALE": "2"})
    found = observer.changes(record)
    assert [c.text for c in found.changed] == ["environment QSCALE changed"]
    assert hashed == []  # up to date: nothing read
    os.utime(data, ns=(1, 1))  # touched, same bytes
    found = DepsObserver(str(tmp_path), environ={}).changes(record)
    assert (found.changed, list(found.restat)) == ([], ["data.csv"])
    assert hashed == [str(data)]
    data.write_text("a\n2\n")
    found = DepsObserver(str(tmp_path), environ={}).changes(record)
    assert [c.text for c in found.changed] == ["data.csv changed"]
