"""zarvosdk.forecast_tool: the forecaster (conv_date, ts_forecast), the tool
that decodes the language model's JSON request (ForecastTool), ForecastInput,
and how all of them present themselves to the host and the framework."""

import asyncio
import builtins
import collections.abc
import datetime as dt
import inspect
import json
import pickle
import random
import sys
import traceback
import types
import typing
import warnings

import pandas as pd
import pydantic
import pytest

import zarvosdk.forecast_tool as ft
from framework_line import LINE_0_3, LINE_1_X, PYDANTIC_V2_TOOL_BASE, framework_name
from texts import CONV_DATE_WITHOUT_ARGUMENT, FORECAST_NO_ASYNC, FORECAST_TOOL_DOC

TYPE_MESSAGE = "Argument '%s' has incorrect type (expected %s, got %s)"
WORKED_DATES = ["2023-01-01", "2023-01-03", "2023-01-05"]
WORKED_VALUES = [10, 20, 30]
KEY, NOTHING = "data_input", None
Tool = framework_name("langchain.tools", "Tool")


def table(dates, values, **extra):
    return pd.DataFrame({"timestamp": list(dates), "values": list(values), **extra})


def request(dates=WORKED_DATES, values=WORKED_VALUES, period=2):
    return {"data_input": {"date": list(dates), "values": list(values)}, "period": period}


def encode(obj):
    """JSON text with every apostrophe inside a text escaped as \\u0027, so
    that the tool's quote substitution leaves the text as it is."""
    return json.dumps(obj).replace("'", "\\u0027")


def assert_error_record(result, text=None):
    assert type(result) is dict and list(result) == ["error"]
    assert type(result["error"]) is str
    if text is not None:
        assert result["error"] == text


def assert_forecast(result, dates, values):
    assert isinstance(result, pd.DataFrame)
    assert list(result.columns) == ["dates", "Forecasted_values"]
    assert list(result.index) == list(range(len(dates)))
    assert result["dates"].tolist() == dates
    assert result["Forecasted_values"].tolist() == pytest.approx(values, abs=1e-9)


def message_of(fn):
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the message is what we want
        return str(e)
    raise AssertionError("expected a failure")


@pytest.fixture
def tool():
    return ft.ForecastTool()


class Recorder:
    """Stands in for a module-level callable; records its positional calls."""

    def __init__(self, result=None, wrap=None):
        self.calls, self.result, self.wrap = [], result, wrap

    def __call__(self, *args):
        self.calls.append(args)
        return self.wrap(*args) if self.wrap else self.result


@pytest.fixture
def forecaster(monkeypatch):
    """Replaces ts_forecast; keeps a copy of every input table it was given."""
    result = pd.DataFrame({"dates": ["2030-01-01"], "Forecasted_values": [1.0]})
    rec = Recorder(result)
    rec.tables = []
    monkeypatch.setattr(ft, "ts_forecast", lambda df, p: (rec.tables.append(df.copy()), rec(df, p))[1])
    return rec


@pytest.fixture
def dates_seen(monkeypatch):
    rec = Recorder(wrap=ft.conv_date)
    monkeypatch.setattr(ft, "conv_date", rec)
    return rec


# ---------------------------------------------------------------- ts_forecast


@pytest.mark.parametrize(
    "dates, values",
    [
        (WORKED_DATES, WORKED_VALUES),
        (WORKED_DATES[::-1], WORKED_VALUES[::-1]),  # newest first, as ORDER BY date DESC gives it
        (["2023-01-03", "2023-01-05", "2023-01-01"], [20, 30, 10]),
        (["2023-01-01", "2023-01-05", "2023-01-03"], [10, 30, 20]),
    ],
    ids=["ascending", "descending", "rotated", "unsorted"],
)
def test_forecast_steps_forward_from_latest_date_whatever_the_row_order(dates, values):
    result = ft.ts_forecast(table(dates, values), 2)
    assert_forecast(result, ["2023-01-07", "2023-01-09"], [40.0, 50.0])


@pytest.mark.parametrize(
    "dates, values, period, expected_dates, expected_values",
    [
        # Mean 1.5 days: 5 Jan 12:00, 7 Jan 00:00, 8 Jan 12:00; day numbers floor.
        (["2023-01-01", "2023-01-02", "2023-01-04"], [1, 2, 4], 3,
         ["2023-01-05", "2023-01-07", "2023-01-08"], [5.0, 7.0, 8.0]),
        # 36 hours count one day, for the steps and for the day numbers.
        (["2023-01-01 00:00", "2023-01-02 12:00", "2023-01-04 00:00"], [0, 1, 3], 2,
         ["2023-01-05", "2023-01-06"], [4.0, 5.0]),
        # Before the epoch day numbers go toward minus infinity (31 Dec 1969 12:00 is -1).
        (["1969-12-30 00:00", "1969-12-31 12:00", "1970-01-01 12:00"], [0, 1, 2], 2,
         ["1970-01-02", "1970-01-03"], [3.0, 4.0]),
        # All on one date: mean 0.0, every future date that date, every value the mean.
        (["2023-03-10"] * 3, [1, 2, 6], 2, ["2023-03-10", "2023-03-10"], [3.0, 3.0]),
        (["2023-03-10", "2023-03-10", "2023-03-12"], [1, 3, 5], 1, ["2023-03-13"], [6.5]),
    ],
    ids=["fractional-mean", "times-of-day", "before-epoch", "all-same-date", "duplicate-date"],
)
def test_forecast_dates_and_values(dates, values, period, expected_dates, expected_values):
    assert_forecast(ft.ts_forecast(table(dates, values), period), expected_dates, expected_values)


def least_squares(xs, ys):
    n = len(xs)
    xbar, ybar = sum(xs) / n, sum(ys) / n
    sxx = sum((x - xbar) ** 2 for x in xs)
    b = sum((x - xbar) * (y - ybar) for x, y in zip(xs, ys)) / sxx if sxx else 0.0
    return ybar - b * xbar, b


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_forecast_matches_an_independent_least_squares_line(seed):
    rng = random.Random(seed)
    epoch, start = dt.datetime(1970, 1, 1), dt.datetime(1968, 6, 1)
    days = [start + dt.timedelta(days=rng.randrange(2000)) for _ in range(rng.randint(2, 25))]
    values = [rng.uniform(-1000, 1000) for _ in days]
    period = rng.randint(1, 12)

    a, b = least_squares([(d - epoch).days for d in days], values)
    mean = (max(days) - min(days)).days / (len(days) - 1)
    future = [max(days) + dt.timedelta(days=i * mean) for i in range(1, period + 1)]
    expected = [a + b * (f - epoch).days for f in future]

    result = ft.ts_forecast(table([d.strftime("%Y-%m-%d") for d in days], values), period)
    assert result["dates"].tolist() == [f.strftime("%Y-%m-%d") for f in future]
    assert result["Forecasted_values"].tolist() == pytest.approx(expected, rel=1e-9, abs=1e-6)


def test_period_gives_that_many_rows():
    result = ft.ts_forecast(table(WORKED_DATES, WORKED_VALUES), 30)
    assert len(result) == 30 and result["dates"].iloc[-1] == "2023-03-06"


def test_callers_table_is_reindexed_in_place():
    df = table(WORKED_DATES, WORKED_VALUES, other=["a", "b", "c"])
    ft.ts_forecast(df, 2)
    assert isinstance(df.index, pd.DatetimeIndex) and df.index.name == "timestamp"
    assert list(df.columns) == ["values", "other"]
    assert list(df.index) == [pd.Timestamp(d) for d in WORKED_DATES]


@pytest.mark.parametrize(
    "dates, values, period, error",
    [
        (["2023-01-01"], [5], 2, ZeroDivisionError),
        (WORKED_DATES, WORKED_VALUES, 0, ValueError),
        (WORKED_DATES, WORKED_VALUES, -3, ValueError),
        ([], [], 2, ValueError),
    ],
    ids=["one-row", "period-0", "period-negative", "no-rows"],
)
def test_failures_after_the_table_was_reindexed(dates, values, period, error):
    df = table(dates, values)
    with pytest.raises(error):
        ft.ts_forecast(df, period)
    assert df.index.name == "timestamp" and "timestamp" not in df.columns


class MyInt(int):
    pass


@pytest.mark.parametrize(
    "period, type_name",
    [(True, "bool"), (2.0, "float"), (None, "NoneType"), ("2", "str"), (MyInt(2), "MyInt")],
)
def test_period_must_be_exactly_int(period, type_name):
    df = table(WORKED_DATES, WORKED_VALUES)
    with pytest.raises(TypeError) as info:
        ft.ts_forecast(df, period)
    assert str(info.value) == TYPE_MESSAGE % ("period", "int", type_name)
    assert df["timestamp"].tolist() == WORKED_DATES  # nothing touched


@pytest.mark.parametrize("entry", ["ts_forecast", "_run"])
def test_a_forecast_raises_no_pandas_warning(entry, tool):
    # A table held only by the forecaster must not look like a chained
    # assignment to pandas when its date column is replaced.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if entry == "ts_forecast":
            result = ft.ts_forecast(table(WORKED_DATES, WORKED_VALUES), 2)
        else:
            result = tool._run(json.dumps(request()))
    assert [str(w.message).splitlines()[0] for w in caught] == []
    assert_forecast(result, ["2023-01-07", "2023-01-09"], [40.0, 50.0])


class RecordingFrame(pd.DataFrame):
    """A DataFrame whose own set_index records how it is called."""

    calls = []

    def set_index(self, *args, **kwargs):
        RecordingFrame.calls.append((args, kwargs))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # pandas 3.1 on `inplace`
            return super().set_index(*args, **kwargs)


@pytest.mark.parametrize("frame_type", [pd.DataFrame, RecordingFrame], ids=["DataFrame", "own-set_index"])
def test_the_callers_table_is_reindexed_in_place_alike_on_every_pandas(frame_type):
    # pandas 3.1 deprecates set_index's inplace keyword; the caller's table
    # must still end up as set_index("timestamp", inplace=True) leaves it on
    # pandas 3.0, without a warning, and a table whose type brings its own
    # set_index still gets that exact call.
    RecordingFrame.calls.clear()
    df = frame_type({"timestamp": WORKED_DATES, "values": WORKED_VALUES})
    expected = pd.DataFrame({"timestamp": pd.to_datetime(WORKED_DATES), "values": WORKED_VALUES})
    expected = expected.set_index("timestamp")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = ft.ts_forecast(df, 2)
    assert_forecast(result, ["2023-01-07", "2023-01-09"], [40.0, 50.0])
    assert isinstance(df.index, pd.DatetimeIndex) and df.index.identical(expected.index)
    assert list(df.columns) == ["values"] and (df.dtypes == expected.dtypes).all()
    pd.testing.assert_frame_equal(pd.DataFrame(df), expected)
    own_calls = [((("timestamp",), {"inplace": True}))] if frame_type is RecordingFrame else []
    assert RecordingFrame.calls == own_calls


# ------------------------------------------------------------------ conv_date


@pytest.mark.parametrize(
    "text, expected",
    [
        ("2023/01/05", "2023-01-05"),
        ("2023-01-05T10:30:00", "2023-01-05"),
        ("Jan 5 2023", "2023-01-05"),
        ("01/02/2023", "2023-01-02"),  # month first
        ("2023-01-05T23:30:00+05:00", "2023-01-05"),  # zone dropped, not converted
    ],
)
def test_conv_date(text, expected):
    assert ft.conv_date(text) == expected
    assert ft.conv_date(dt=text) == expected


@pytest.mark.parametrize("bad, error", [("not a date", ValueError), (20230105, TypeError)])
def test_conv_date_passes_parser_errors_on(bad, error):
    with pytest.raises(error):
        ft.conv_date(bad)


# --------------------------------------------------------------- _run requests


def test_worked_example_through_the_tool(tool, capsys):
    assert_forecast(tool._run(json.dumps(request())), ["2023-01-07", "2023-01-09"], [40.0, 50.0])
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize(
    "text",
    [
        json.dumps(request()).replace('"', "'"),
        str(request()),  # the host's own notation for the mapping
        json.dumps({**request(), "extra": 1, "data_input": {**request()["data_input"], "x": [1]}}),
    ],
    ids=["single-quotes", "host-notation", "extra-keys"],
)
def test_request_variants_give_the_same_forecast(tool, text):
    expected = tool._run(json.dumps(request()))
    pd.testing.assert_frame_equal(tool._run(text), expected)


@pytest.mark.parametrize(
    "values, expected",
    [
        ([["2023-01-01", 10], ["2023-01-03", 20.5]], [10, 20.5]),
        ([[1, 2, 3], 4], [[1, 2, 3], 4]),  # only pairs are unpacked
        ([[5], []], [[5], []]),
        (["Decimal('12.50')", "Decimal('3')"], [12.5, 3.0]),
        (["Decimal('١٢.٥')", "Decimal('7.')"], [12.5, 7.0]),  # any Unicode decimal digit
        (["Decimal(12)", "decimal('1')", " Decimal('1')", "7"], ["Decimal(12)", "decimal('1')", " Decimal('1')", "7"]),
        ([True, None, {"a": 1}, 2.5], [True, None, {"a": 1}, 2.5]),
    ],
    ids=["pairs", "triple", "short-arrays", "decimal", "unicode-digits", "non-matching-texts", "others"],
)
def test_values_are_normalised_into_the_input_table(tool, forecaster, values, expected):
    dates = ["2023/01/%02d" % (i + 1) for i in range(len(values))]
    assert tool._run(encode(request(dates, values, 7))) is forecaster.result
    (df, period), = forecaster.calls
    assert period == 7 and type(period) is int
    sent = forecaster.tables[0]
    assert list(sent.columns) == ["timestamp", "values"]
    assert isinstance(sent.index, pd.RangeIndex) and list(sent.index) == list(range(len(values)))
    assert sent["timestamp"].tolist() == [d.replace("/", "-") for d in dates]
    assert sent["values"].tolist() == expected


@pytest.mark.parametrize(
    "text, error",
    [
        (json.dumps({"data_input": {"date": WORKED_DATES, "values": WORKED_VALUES}}), "'period'"),
        (json.dumps({"data": {"date": WORKED_DATES, "values": WORKED_VALUES}, "period": 2}), "'data_input'"),
        (json.dumps({"data_input": {"dates": WORKED_DATES, "values": WORKED_VALUES}, "period": 2}), "'date'"),
        (json.dumps({"data_input": {"date": WORKED_DATES, "value": WORKED_VALUES}, "period": 2}), "'values'"),
        (encode(request(values=[1, "Decimal('1.2.3')", 3])), None),
        (encode(request(values=["Decimal('.')", 2, 3])), None),
        (json.dumps(request(dates=["2023-01-01", "someday", "2023-01-05"])), None),
        (json.dumps(request(values=[[1, 2, 3], 20, 30])), None),  # not a number for the model
        (json.dumps(request(period=3.0)), TYPE_MESSAGE % ("period", "int", "float")),
        (json.dumps(request(period="3")), TYPE_MESSAGE % ("period", "int", "str")),
        (json.dumps(request(period=True)), TYPE_MESSAGE % ("period", "int", "bool")),
        (json.dumps(request(period=0)), None),
        (json.dumps(request(dates=["2023-01-01"], values=[1])), "division by zero"),
        ("[1, 2]", message_of(lambda: [1, 2][KEY])),
        ("null", message_of(lambda: NOTHING[KEY])),
        ("", message_of(lambda: json.loads(""))),
    ],
    ids=["no-period", "no-data_input", "no-date", "no-values", "decimal-1.2.3", "decimal-point",
         "bad-date", "triple-value", "period-float", "period-text", "period-true", "period-0",
         "one-row", "array-request", "null-request", "empty-text"],
)
def test_broken_requests_give_an_error_record(tool, capsys, text, error):
    result = tool._run(text)
    assert_error_record(result, error)
    out, err = capsys.readouterr()
    assert out == ""
    assert err.splitlines()[-1].endswith(result["error"].splitlines()[-1])


def test_apostrophe_in_a_text_breaks_the_decode(tool, capsys):
    text = json.dumps({**request(), "note": "the shop's sales"})
    try:
        json.loads(text.replace("'", '"'))
    except json.JSONDecodeError as e:
        expected = str(e)
    assert_error_record(tool._run(text), expected)
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("Traceback (most recent call last):\n")
    assert err.endswith("json.decoder.JSONDecodeError: %s\n" % expected)


def test_unequal_lengths_give_the_table_constructors_message(tool):
    expected = message_of(lambda: pd.DataFrame({"timestamp": ["2023-01-01"] * 3, "values": [1, 2]}))
    assert_error_record(tool._run(json.dumps(request(values=[1, 2]))), expected)


@pytest.mark.parametrize(
    "text, converted",
    [
        (json.dumps({"data_input": {"date": WORKED_DATES, "values": WORKED_VALUES}}), WORKED_DATES),
        (json.dumps({"period": 2}), []),
        (json.dumps({"data_input": {"date": WORKED_DATES}, "period": 2}), []),
        (encode(request(values=[1, 2, "Decimal('1.2.3')"])), []),
    ],
    ids=["no-period", "no-data_input", "no-values", "bad-decimal"],
)
def test_values_are_normalised_before_any_date_is_converted(tool, dates_seen, monkeypatch, text, converted):
    built = Recorder(wrap=pd.DataFrame)
    monkeypatch.setattr(ft, "pd", types.SimpleNamespace(DataFrame=built))
    assert_error_record(tool._run(text))
    assert [args[0] for args in dates_seen.calls] == converted
    assert len(built.calls) == (1 if converted else 0)


def test_empty_forecast_gives_its_own_record_and_prints_nothing(tool, monkeypatch, capsys):
    monkeypatch.setattr(ft, "ts_forecast", lambda df, period: pd.DataFrame())
    assert_error_record(tool._run(json.dumps(request())), "Forecasting produced an empty DataFrame.")
    assert capsys.readouterr() == ("", "")


def test_every_error_record_is_new(tool):
    first, second = tool._run("{}"), tool._run("{}")
    assert first == second == {"error": "'data_input'"} and first is not second


class Halt(BaseException):
    pass


@pytest.mark.parametrize("error", [Halt("stop"), KeyboardInterrupt(), SystemExit(2)],
                         ids=["Halt", "KeyboardInterrupt", "SystemExit"])
def test_exceptions_not_derived_from_exception_pass_through(tool, monkeypatch, capsys, error):
    def halt(d):
        raise error

    monkeypatch.setattr(ft, "conv_date", halt)
    with pytest.raises(type(error)) as info:
        tool._run(json.dumps(request()))
    assert info.value is error
    assert capsys.readouterr() == ("", "")
    # one entry for the tool, as for any failure leaving a function
    entries = [f.name for f in traceback.extract_tb(info.tb)]
    assert entries.count("zarvosdk.forecast_tool.ForecastTool._run") == 1
    assert entries[-2:] == ["zarvosdk.forecast_tool.ForecastTool._run", "halt"]


def test_traceback_module_imported_at_each_call(tool, monkeypatch):
    printed = Recorder()
    monkeypatch.setitem(sys.modules, "traceback", types.SimpleNamespace(print_exc=printed))
    assert_error_record(tool._run("{}"), "'data_input'")
    assert printed.calls == [()]

    def broken_printer():
        raise RuntimeError("printer broke")

    monkeypatch.setitem(sys.modules, "traceback", types.SimpleNamespace(print_exc=broken_printer))
    with pytest.raises(RuntimeError, match="printer broke"):
        tool._run("{}")


# ------------------------------------------------------- names looked up at call time


def test_json_and_re_are_looked_up_at_call_time(tool, forecaster, monkeypatch):
    class Text(str):
        pass

    class Pair(list):
        pass

    decoded = {"data_input": {"date": ["2023-01-01", "2023-01-02", "2023-01-03", "2023-01-04"],
                              "values": [("a", 1), Pair(["b", 2]), Text("Decimal('3')"), "Decimal('4')"]},
               "period": 5}
    loads = Recorder(decoded)
    monkeypatch.setattr(ft, "json", types.SimpleNamespace(loads=loads))
    tool._run("it's anything")
    assert loads.calls == [('it"s anything',)]
    assert forecaster.tables[0]["values"].tolist() == [1, ["b", 2], "Decimal('3')", 4.0]

    monkeypatch.setattr(ft, "re", types.SimpleNamespace(match=lambda pattern, text: None))
    tool._run("x")
    assert forecaster.tables[1]["values"].tolist()[3] == "Decimal('4')"


def test_missing_module_names_fall_back_to_builtins(tool, monkeypatch):
    monkeypatch.delattr(ft, "json")
    assert_error_record(tool._run("{}"), "name 'json' is not defined")
    monkeypatch.setattr(builtins, "json", json, raising=False)
    assert_forecast(tool._run(json.dumps(request())), ["2023-01-07", "2023-01-09"], [40.0, 50.0])


def test_forecaster_collaborators_are_looked_up_at_call_time(monkeypatch):
    seen = {}

    class Line:
        def fit(self, x, y):
            seen["fit"] = (x, y.tolist())

        def predict(self, x):
            seen["predict"] = x
            return [0.0] * len(x)

    monkeypatch.setattr(ft, "LinearRegression", Line)
    ft.ts_forecast(table(["2023-01-01", "2023-01-02", "2023-01-04"], [1, 2, 4]), 3)
    assert seen == {"fit": ([[19358], [19359], [19361]], [1, 2, 4]), "predict": [[19362], [19364], [19365]]}

    monkeypatch.setattr(ft, "parser", types.SimpleNamespace(parse=lambda text: dt.date(1999, 12, 31)))
    assert ft.conv_date("anything") == "1999-12-31"


def test_a_keyword_call_made_inside_a_keyword_call_leaves_the_outer_one_intact(monkeypatch):
    # Each future point calls timedelta(days=...); this stand-in runs a whole
    # forecast in between, whose own keyword calls (set_index(inplace=True),
    # timedelta(days=...)) pass other names or the same ones. The outer calls
    # must still pass `days`, and every forecast must come out as alone.
    nested = []

    def timedelta(**keywords):
        if not nested:
            nested.append(None)
            nested[0] = ft.ts_forecast(table(["2023-01-01", "2023-01-03"], [1, 3]), 2)
        return dt.timedelta(**keywords)

    monkeypatch.setattr(ft, "timedelta", timedelta)
    result = ft.ts_forecast(table(WORKED_DATES, WORKED_VALUES), 3)
    monkeypatch.undo()
    assert_frame_equal_lists(result, ft.ts_forecast(table(WORKED_DATES, WORKED_VALUES), 3))
    assert_frame_equal_lists(nested[0], ft.ts_forecast(table(["2023-01-01", "2023-01-03"], [1, 3]), 2))


def assert_frame_equal_lists(got, expected):
    assert got["dates"].tolist() == expected["dates"].tolist()
    assert got["Forecasted_values"].tolist() == expected["Forecasted_values"].tolist()


# ------------------------------------------------------------ argument binding


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: ft.ts_forecast(table([], [])), "ts_forecast() takes exactly 2 positional arguments (1 given)"),
        (lambda t: ft.ts_forecast(1, 2, 3), "ts_forecast() takes exactly 2 positional arguments (3 given)"),
        (lambda t: ft.ts_forecast(df=1), "ts_forecast() takes exactly 2 positional arguments (1 given)"),
        (lambda t: ft.ts_forecast(1, 2, df=1), "ts_forecast() got multiple values for keyword argument 'df'"),
        (lambda t: ft.conv_date(), CONV_DATE_WITHOUT_ARGUMENT),
        (lambda t: ft.conv_date("x", when=1), "conv_date() got an unexpected keyword argument 'when'"),
        (lambda t: ft.ForecastTool._run(t), "_run() takes exactly 2 positional arguments (1 given)"),
        (lambda t: t._run(), "_run() takes exactly 2 positional arguments (1 given)"),
        (lambda t: t._run("a", "b"), "_run() takes exactly 2 positional arguments (3 given)"),
        (lambda t: t._run(text="{}"), "_run() takes exactly 2 positional arguments (1 given)"),
        (lambda t: t._run("{}", text="{}"), "_run() got an unexpected keyword argument 'text'"),
        (lambda t: ft.ts_forecast(period=2), "ts_forecast() takes exactly 2 positional arguments (0 given)"),
        (lambda t: t._arun(), "_arun() takes exactly 2 positional arguments (1 given)"),
        (lambda t: t._run({}), TYPE_MESSAGE % ("input", "str", "dict")),
        (lambda t: t._run(None), TYPE_MESSAGE % ("input", "str", "NoneType")),
        (lambda t: t._run(b"{}"), TYPE_MESSAGE % ("input", "str", "bytes")),
        (lambda t: t._run(type("Text", (str,), {})("{}")), TYPE_MESSAGE % ("input", "str", "Text")),
        (lambda t: t._arun(None), TYPE_MESSAGE % ("data", "str", "NoneType")),
        (lambda t: ft.ForecastTool._arun(t, data=["x"]), TYPE_MESSAGE % ("data", "str", "list")),
    ],
)
def test_binding_refusals(tool, capsys, call, message):
    with pytest.raises(TypeError) as info:
        call(tool)
    assert str(info.value) == message
    assert capsys.readouterr() == ("", "")


def test_keyword_calls_bind(tool):
    result = ft.ForecastTool._run(self=tool, input=json.dumps(request()))
    pd.testing.assert_frame_equal(result, ft.ts_forecast(period=2, df=table(WORKED_DATES, WORKED_VALUES)))


# ---------------------------------------------------------------- async path


def test_arun_is_a_coroutine_function_that_refuses():
    assert asyncio.iscoroutinefunction(ft.ForecastTool._arun)
    assert not asyncio.iscoroutinefunction(ft.ForecastTool._run)
    coro = ft.ForecastTool()._arun("x")
    assert isinstance(coro, collections.abc.Coroutine)
    with pytest.raises(NotImplementedError) as info:
        coro.send(None)
    assert str(info.value) == FORECAST_NO_ASYNC
    with pytest.raises(RuntimeError):
        coro.send(None)


def test_awaiting_arun_raises_not_implemented():
    with pytest.raises(NotImplementedError, match="^%s$" % FORECAST_NO_ASYNC):
        asyncio.run(ft.ForecastTool()._arun("{}"))


# ------------------------------------------------------ classes and functions as seen


def test_function_signatures_annotations_and_docstrings():
    assert str(inspect.signature(ft.ts_forecast)) == "(df: 'pd.DataFrame', period: 'int') -> 'pd.DataFrame'"
    assert ft.ts_forecast.__annotations__ == {"df": "pd.DataFrame", "period": "int", "return": "pd.DataFrame"}
    assert ft.ts_forecast.__doc__ == (
        "\n    Perform time series forecasting on a DataFrame with two columns (date and values).\n\n"
        "    Args:\n"
        "        df (pd.DataFrame): The DataFrame containing time series data with two columns.\n"
        "        period (int): The number of periods into the future to forecast.\n\n"
        "    Returns:\n"
        "        pd.DataFrame: A DataFrame with date and forecasted values.\n\n"
        "    Example Usage:\n"
        "    df = pd.read_csv('sales_data.csv')  # Load your data\n"
        "    forecasted_data = ts_forecast(df, 30)\n"
        "    "
    )
    assert str(inspect.signature(ft.conv_date)) == "(dt)"
    assert ft.conv_date.__doc__ is None and ft.conv_date.__annotations__ == {}
    run, arun = ft.ForecastTool._run, ft.ForecastTool._arun
    assert str(inspect.signature(run)) == "(self, input: 'str') -> 'Dict'"
    assert run.__annotations__ == {"input": "str", "return": "Dict"}
    assert run.__doc__ == "Time series forecasting."
    assert str(inspect.signature(arun)) == "(self, data: 'str') -> 'str'"
    assert arun.__annotations__ == {"data": "str", "return": "str"} and arun.__doc__ is None


@pytest.mark.parametrize(
    "obj, qualname",
    [
        (ft.ts_forecast, "ts_forecast"),
        (ft.conv_date, "conv_date"),
        (ft.ForecastTool._run, "ForecastTool._run"),
        (ft.ForecastTool._arun, "ForecastTool._arun"),
        (ft.ForecastTool, "ForecastTool"),
        (ft.ForecastInput, "ForecastInput"),
    ],
)
def test_names_module_and_pickling(obj, qualname):
    assert obj.__module__ == "zarvosdk.forecast_tool" and obj.__qualname__ == qualname
    assert pickle.loads(pickle.dumps(obj)) is obj


def test_top_level_name_is_the_same_module():
    import forecast_tool

    assert forecast_tool.ForecastTool is ft.ForecastTool
    assert forecast_tool.ts_forecast.__module__ == "zarvosdk.forecast_tool"


def test_forecast_tool_class():
    assert ft.ForecastTool.__doc__ == "Tool for time series forecasting."
    assert ft.ForecastTool.__bases__ == (ft.BaseTool,)
    tool = ft.ForecastTool()
    assert (tool.name, tool.description, len(tool.description)) == ("forecast", FORECAST_TOOL_DOC, 51)
    assert tool.args_schema is None and list(tool.args) == ["input"]


def test_framework_line_is_told_alike_by_version_and_tool_base():
    # The 0.3 line has a pydantic v2 tool base, the 0.2 line a pydantic v1 one;
    # anything else is a mixed installation the per-line tests cannot describe.
    assert LINE_0_3 == PYDANTIC_V2_TOOL_BASE


def test_forecast_tool_class_namespace_per_framework_line():
    cls, doc = ft.ForecastTool, FORECAST_TOOL_DOC
    own = vars(cls)
    # The methods stay the package's own functions on both lines.
    assert type(own["_run"]) is type(ft.ts_forecast) and type(own["_arun"]) is type(ft.ts_forecast)
    assert type(cls()._run).__name__ == "method" and cls()._run.__func__ is own["_run"]
    if PYDANTIC_V2_TOOL_BASE:
        # 0.3 line: pydantic v2 refuses a field override without an annotation,
        # and takes class attributes of a type it does not know for private
        # attributes. The class annotates the two fields and lists the
        # package's function type among the model's ignored types.
        assert own["__annotations__"] == {"name": "str", "description": "str"}
        assert cls.model_config == {**ft.BaseTool.model_config, "ignored_types": (type(ft.ts_forecast),)}
        # None of the class's own (the 1.x base has one of its own).
        assert cls.__private_attributes__ == ft.BaseTool.__private_attributes__
        fields = cls.model_fields
        assert (fields["name"].annotation, fields["description"].annotation) == (str, str)
    else:
        # 0.2 line: a pydantic v1 base takes the plain assignments as they are.
        # (From 3.10 on, reading a class's annotations leaves an empty dict.)
        assert own.get("__annotations__", {}) == {} and "model_config" not in own
        assert not hasattr(cls, "model_config")
        fields = cls.__fields__
        assert (fields["name"].type_, fields["description"].type_) == (str, str)
    assert (fields["name"].default, fields["description"].default) == ("forecast", doc)


def test_forecast_tool_is_callable_on_every_line():
    # The 1.x tool base dropped __call__ (the framework's Tool then refuses the
    # object as its func); the class brings one of its own there only.
    own = vars(ft.ForecastTool)
    assert ("__call__" in own) is LINE_1_X is (not callable(Tool(name="t", func=len, description="d")))
    tool = ft.ForecastTool()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the older bases' own __call__
        assert_forecast(tool(json.dumps(request())), ["2023-01-07", "2023-01-09"], [40.0, 50.0])
        assert_error_record(tool('{"period": 2}'), "'data_input'")
    if LINE_1_X:
        assert type(own["__call__"]) is type(ft.ts_forecast)
        assert str(inspect.signature(own["__call__"])) == "(self, tool_input: 'str', callbacks=None) -> 'str'"
        with pytest.raises(TypeError):
            tool()


def test_forecast_input_class():
    cls = ft.ForecastInput
    assert cls.__doc__ == "\n    Inputs for the forecasting function.\n    " and len(cls.__doc__) == 46
    assert cls.__bases__ == (pydantic.BaseModel,)
    assert cls.__annotations__ == {"df": "pd.DataFrame", "period": "int"}
    assert {k: f.description for k, f in cls.model_fields.items()} == {
        "df": "Input dataset as a DataFrame",
        "period": "The period to forecast",
    }
    assert all(f.is_required() for f in cls.model_fields.values())
    config = cls.Config
    assert type(config) is type and config.__bases__ == (object,)
    assert config.__qualname__ == "ForecastInput.Config" and config.arbitrary_types_allowed is True

    df = table(WORKED_DATES, WORKED_VALUES)
    model = cls(df=df, period=3)
    assert model.df is df and model.period == 3
    for bad in ({"df": df}, {"df": [1, 2], "period": 3}, {"df": df, "period": "three"}):
        with pytest.raises(pydantic.ValidationError):
            cls(**bad)


# ------------------------------------------------------- through the real framework


def framework_tools():
    return [
        ft.ForecastTool(),
        Tool(name="ForecastTool", func=ft.ForecastTool(), description="Forecasts a series."),
    ]


@pytest.mark.parametrize("framework_tool", framework_tools(), ids=["ForecastTool", "Tool"])
def test_framework_run(framework_tool, capsys):
    assert_forecast(framework_tool.run(json.dumps(request())), ["2023-01-07", "2023-01-09"], [40.0, 50.0])
    assert_error_record(framework_tool.run('{"period": 2}'), "'data_input'")
    assert capsys.readouterr().err.endswith("KeyError: 'data_input'\n")


def call_object(tool, text):
    # BaseTool.__call__ is deprecated by the framework on the 0.2 and 0.3
    # lines but works; the 1.x line's Tool has none (ForecastTool has its own).
    if LINE_1_X and type(tool) is Tool:
        pytest.skip("the 1.x line's Tool objects are not callable")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return tool(text)


@pytest.mark.parametrize("framework_tool", framework_tools(), ids=["ForecastTool", "Tool"])
@pytest.mark.parametrize(
    "way",
    [
        lambda tool, text: tool.run(text),
        lambda tool, text: tool.run({"input": text}),
        lambda tool, text: tool.invoke(text),
        lambda tool, text: tool.invoke({"input": text}),
        call_object,
    ],
    ids=["run", "run-dict", "invoke", "invoke-dict", "call"],
)
def test_every_framework_entry_reaches_run(framework_tool, way, capsys):
    assert_forecast(way(framework_tool, json.dumps(request())), ["2023-01-07", "2023-01-09"], [40.0, 50.0])
    assert_error_record(way(framework_tool, "not json"))
    assert "JSONDecodeError" in capsys.readouterr().err


def test_framework_inspects_run_through_signature_and_type_hints():
    # BaseTool.run looks for a run_manager or config parameter of _run by its
    # signature and type hints; the tool schema comes from the same signature.
    bound = ft.ForecastTool()._run
    assert str(inspect.signature(bound)) == "(input: 'str') -> 'Dict'"
    assert typing.get_type_hints(bound) == {"input": str, "return": typing.Dict}
    assert ft.ForecastTool().args == {"input": {"title": "Input", "type": "string"}}
