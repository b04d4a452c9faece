"""A short run of the hostile-request generator inside the suite (the long run is scripts/fuzz)."""
import sys

import pytest

from fuzz import forecast_requests  # tests/fuzz, beside this module

pytestmark = pytest.mark.sweep


def test_hostile_requests_end_in_tables_or_error_records(monkeypatch):
    monkeypatch.setattr(sys, "stderr", forecast_requests.NullWriter())
    tally = forecast_requests.worker((7, 3000))
    assert sum(tally.values()) == 3000
    assert all(tally.values()), tally  # every kind of outcome was exercised
