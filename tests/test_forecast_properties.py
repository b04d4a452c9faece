"""Property tests: whatever text the language model sends, ForecastTool._run
answers with a forecast table or an error record, never with an exception."""

import contextlib
import datetime as dt
import io
import json
import warnings

import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zarvosdk.forecast_tool as ft

TOOL = ft.ForecastTool()
SETTINGS = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=12),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12,
)

# Requests shaped like the real ones, with keys and items the tool looks for.
date_items = st.dates(dt.date(2015, 1, 1), dt.date(2025, 12, 31)).map(lambda d: d.strftime("%Y-%m-%d"))
value_items = st.one_of(
    st.integers(-10**6, 10**6),
    st.floats(-1e6, 1e6, allow_nan=False),
    st.tuples(date_items, st.integers(-1000, 1000)).map(list),
    st.from_regex(r"Decimal\('[\d.]+'\)", fullmatch=True),
    json_values,
)
shaped_requests = st.fixed_dictionaries(
    {
        "data_input": st.fixed_dictionaries(
            {"date": st.lists(date_items | st.text(max_size=10), max_size=6), "values": st.lists(value_items, max_size=6)}
        ),
        # Huge periods are left out: with one repeated date every step is zero
        # days and the forecast would just grow for as long as the period says.
        "period": st.integers(-3, 20) | json_values.filter(lambda v: type(v) is not int),
    }
)


def run_quietly(text):
    with contextlib.redirect_stderr(io.StringIO()), contextlib.redirect_stdout(io.StringIO()) as out:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = TOOL._run(text)
    assert out.getvalue() == ""
    return result


def assert_table_or_record(result):
    if isinstance(result, pd.DataFrame):
        assert list(result.columns) == ["dates", "Forecasted_values"] and len(result) > 0
    else:
        assert type(result) is dict and list(result) == ["error"] and type(result["error"]) is str


@SETTINGS
@given(st.text(max_size=80) | json_values.map(json.dumps) | json_values.map(str))
def test_any_text_gives_a_table_or_an_error_record(text):
    assert_table_or_record(run_quietly(text))


@SETTINGS
@given(shaped_requests, st.booleans())
def test_request_shaped_json_gives_a_table_or_an_error_record(request, host_notation):
    text = str(request) if host_notation else json.dumps(request).replace("'", "\\u0027")
    assert_table_or_record(run_quietly(text))


@SETTINGS
@given(
    st.lists(st.tuples(date_items, st.floats(-1e6, 1e6, allow_nan=False)), min_size=2, max_size=15),
    st.integers(1, 20),
)
def test_well_formed_requests_forecast_period_rows_after_the_latest_date(points, period):
    dates = [d for d, _ in points]
    request = {"data_input": {"date": dates, "values": [v for _, v in points]}, "period": period}
    result = run_quietly(json.dumps(request))
    assert isinstance(result, pd.DataFrame) and len(result) == period
    assert list(result["dates"]) == sorted(result["dates"]) and result["dates"].iloc[0] >= max(dates)
