"""When quarn.load calls a stored value current, for manifests with and without the status
of each job's last run and the digests of the values it consumed."""

from __future__ import annotations

import pytest

from quarn.runner.store.lookup import stale_reason

OK = {"ok": True, "value_path": "out/a/_/value.json"}
FAILED = {"ok": False, "error": "ValueError: bad", "error_type": "ValueError"}
UP = {"up/_": {"asset": "up", "status": "succeeded", "digest": "d1"}}


@pytest.mark.parametrize(
    "entry, record, expected",
    [
        ({"asset": "a", "version": "v"}, OK, ""),  # successes only: recorded means current
        ({"status": "succeeded", "inputs": {"up/_": "d1"}}, OK, ""),
        ({"status": "succeeded", "inputs": {"up/_": "d0"}}, OK, "upstream up changed"),
        ({"status": "succeeded", "inputs": {"gone/_": "d1"}}, OK, "upstream gone/_ changed"),
        ({"status": "failed"}, FAILED, "its last run failed: ValueError: bad"),
        ({"status": "skipped"}, OK, "skipped in the last run"),
        ({"status": "running"}, OK, "did not record how it ended"),
        ({"status": "succeeded"}, None, "no success record"),
        (None, OK, "did not finish it"),
    ],
)
def test_current_only_when_recorded_as_succeeded_with_the_inputs_it_consumed(
    entry, record, expected
):
    reason = stale_reason(entry, record, UP)
    assert (reason == "") if expected == "" else (expected in reason), reason
