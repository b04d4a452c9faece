"""Hostile requests for the forecast tool, by the million.

Every call must end in a forecast table or an error record (a dict with the
one key "error" holding a str); a non-text input must be refused with the
exact TypeError; nothing else may come out and the process must live.

    python tests/fuzz/forecast_requests.py --count 1000000 --workers 2
"""
import argparse
import json
import multiprocessing
import random
import sys
import time
import warnings

DATES = ["2023-01-01", "2023-01-02", "2023/01/05", "Jan 7 2023", "01/02/2023",
         "2023-01-09T10:30:00", "not a date", "", "0000-00-00", "9999-12-31", "1677-09-21"]
TEXTS = ["", "'", "\"", "\\", "Decimal('12.50')", "Decimal('1.2.3')", "Decimal('.')",
         "Decimal('\u0661\u0662')", "NaN", "Infinity", "-Infinity", "\ud800", "\udfff",
         "\x00", "\u2028", "x" * 1000, "\U0001F600"]
NUMBERS = [0, 1, -1, 2, 3.5, -0.0, 10 ** 30, -(10 ** 300), 1e308, 1e-308,
           float("nan"), float("inf"), float("-inf"), True, False]


class NullWriter:
    """Swallows the tracebacks the tool prints for every caught failure."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def json_value(rng, depth=0):
    kind = rng.randrange(8 if depth < 4 else 5)
    if kind == 0:
        return None
    if kind == 1:
        return rng.choice(NUMBERS)
    if kind == 2:
        return rng.choice(TEXTS + DATES)
    if kind == 3:
        return rng.randint(-(10 ** 6), 10 ** 6)
    if kind == 4:
        return rng.random() * 1000
    if kind == 5:
        return [json_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    if kind == 6:
        return {rng.choice(["data_input", "date", "values", "period", "x"]): json_value(rng, depth + 1)
                for _ in range(rng.randrange(4))}
    return [rng.choice(DATES), json_value(rng, depth + 1)]


def nested(depth, rng):
    opener, closer = rng.choice([("[", "]"), ('{"a":', "}")])
    return opener * depth + "1" + closer * depth


def well_formed(rng):
    n = rng.randrange(0, 12)
    dates = [rng.choice(DATES) if rng.random() < 0.1 else "2023-%02d-%02d" % (rng.randint(1, 12), rng.randint(1, 28))
             for _ in range(n)]
    values = [json_value(rng, 3) if rng.random() < 0.2 else rng.randint(-1000, 1000) for _ in range(n + (rng.random() < 0.1))]
    period = rng.choice([rng.randint(-2, 30), json_value(rng, 3)])
    if isinstance(period, int) and not isinstance(period, bool) and period > 10_000:
        period = period % 10_000  # a forecast of that many rows is a workload, not an attack
    request = {"data_input": {"date": dates, "values": values}, "period": period}
    if rng.random() < 0.2:
        request[rng.choice(["extra", "data_input", "period"])] = json_value(rng)
    return request


def render(request, rng):
    text = json.dumps(request, ensure_ascii=rng.random() < 0.5, allow_nan=True)
    if rng.random() < 0.3:
        text = text.replace('"', "'")
    return text


def hostile_input(rng):
    kind = rng.randrange(10)
    if kind == 0:
        return "".join(chr(rng.randrange(0x110000)) for _ in range(rng.randrange(40)))
    if kind == 1:
        return nested(rng.choice([10, 1000, 100_000]), rng)
    if kind == 2:
        return rng.choice(TEXTS)[:50] * rng.choice([1, 100, 20_000])
    if kind == 3:
        return rng.choice([None, 1, 1.5, b"{}", {"data_input": {}}, ["x"], object(), str.__new__(type("S", (str,), {}), "{}")])
    if kind == 4:
        text = render(well_formed(rng), rng)
        cut = rng.randrange(len(text) + 1)
        return text[:cut] + rng.choice(TEXTS) + text[cut:]
    if kind == 5:
        return render(json_value(rng), rng)
    return render(well_formed(rng), rng)


def check(tool, value, pd):
    try:
        result = tool._run(value)
    except TypeError as exc:
        if type(value) is str:
            raise
        expected = "Argument 'input' has incorrect type (expected str, got %s)" % type(value).__name__
        assert str(exc) == expected, str(exc)
        return "refused"
    assert type(value) is str, "non-text input accepted"
    if isinstance(result, pd.DataFrame):
        assert list(result.columns) == ["dates", "Forecasted_values"]
        return "table"
    assert type(result) is dict and list(result) == ["error"] and type(result["error"]) is str, repr(result)
    return "error"


def quiet_process():
    """Pool initializer: a worker process prints nothing."""
    warnings.simplefilter("ignore")
    sys.stderr = NullWriter()


def worker(args):
    seed, count = args
    with warnings.catch_warnings(record=True):
        import pandas as pd
        import zarvosdk.forecast_tool as ft
    rng = random.Random(seed)
    tool = ft.ForecastTool()
    tally = {"table": 0, "error": 0, "refused": 0}
    for _ in range(count):
        value = hostile_input(rng)
        try:
            tally[check(tool, value, pd)] += 1
        except Exception as exc:
            raise AssertionError("input %r gave %r" % (value if not isinstance(value, str) else value[:200], exc))
    return tally


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=multiprocessing.cpu_count())
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--chunk", type=int, default=20_000)
    options = parser.parse_args()
    jobs = []
    left, seed = options.count, options.seed
    while left > 0:
        jobs.append((seed, min(options.chunk, left)))
        left -= options.chunk
        seed += 1
    start = time.time()
    total = {"table": 0, "error": 0, "refused": 0}
    with multiprocessing.get_context("spawn").Pool(options.workers, initializer=quiet_process) as pool:
        for tally in pool.imap_unordered(worker, jobs):
            for key, value in tally.items():
                total[key] += value
    elapsed = time.time() - start
    print("fuzzed %d inputs in %.0f s: %d tables, %d error records, %d refused non-text inputs"
          % (sum(total.values()), elapsed, total["table"], total["error"], total["refused"]))
    return 0 if sum(total.values()) == options.count else 1


if __name__ == "__main__":
    raise SystemExit(main())
