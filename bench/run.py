"""Benchmark: the native package beside its Cython-compiled and plain-Python twins.

    python bench/run.py [--reps N] [--run-reps 11,7,3] [--sizes 100,10000,100000]
                        [--import-procs K] [--only calls,run,import,sandbox,page] [--quick]
                        [--instructions] [--json PATH]

Everything is measured in one run on one machine, the three implementations
interleaved (each round times every variant once, in an order that rotates
from round to round) so that a change of machine load between rounds hits all
of them alike. Times are the process's CPU time (all its threads), not wall
time: on a shared machine the time spent waiting for a core while other work
runs would otherwise be counted. Each figure is the median over the rounds,
with the spread as half the interquartile range in percent of the median; each
ratio is the median of the per-round ratios.

  calls   call overhead, dependencies replaced by trivial stand-ins: a
          DatabaseConnector made and connected (SQLDatabase.from_uri is a
          builtin), a method call refused for its arguments in each module,
          conv_date with a stand-in parser. Net nanoseconds per call (the
          empty timing loop subtracted).
  run     ForecastTool._run on requests of each size with the real
          dependencies, and the dependencies' calls alone on precomputed
          inputs (what _run would cost if the package's own work were free);
          the package's own share is (variant - dependencies) / variant.
  import  each module imported in fresh processes whose dependencies are
          already loaded (bench/import_probe.py), beside the dependencies'
          own cost of the same top level (the floor).
  sandbox the chart agent's code run by the sandboxed code tool and by the
          framework's in-process tool, in fresh processes
          (bench/sandbox_probe.py): the first run counted from the tool's
          construction, and the warm (second) run. Wall time: the sandbox
          works in other processes.

  page    the chat page (bench/page.py; Python 3.9, the page's requirements):
          8 sessions asking at once against one alone, the model endpoint
          answering each request 1 s late, and the server's memory after 30
          sessions opened and closed. Its two figures are the last lines
          printed. Not in the default set: `--only page`.

With --instructions (or --only instructions) it also counts, under callgrind
(bench/count_probe.py), the instructions of the call cases and of one _run of
--instructions-points points: figures that the load of a shared machine does
not move, to check the timings against.

Prints a table and writes the figures and ratios to bench/results.json (not
committed: figures depend on the machine and its load).
"""
import argparse
import datetime as dt
import gc
import io
import itertools
import json
import operator
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import timeit
import types
import warnings
from contextlib import redirect_stderr

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VARIANTS = ("native", "cython", "python")

# What the native package must meet. Call overhead is set against the Cython
# twin, which does the same host work for the same behaviour; the import of a
# module with a plain twin against that twin, the others against their floor.
TARGETS = {
    "calls_vs_cython": 1.0,
    "run_vs_python": 1.0,
    "own_share_10000": 0.01,
    "import_vs_python": 1.0,
    "import_over_floor_ms": 1.0,
    "sandbox_warm_vs_inprocess": 1.1,
    "sandbox_first_extra_s": 0.75,
    "page_parallel_ratio": 1.5,
    "page_memory_mb": 100,
}


# Statistics -------------------------------------------------------------------

def summary(samples):
    """Median, quartiles and minimum of a list of numbers."""
    ordered = sorted(samples)
    if len(ordered) >= 2:
        q1, _, q3 = statistics.quantiles(ordered, n=4, method="inclusive")
    else:
        q1 = q3 = ordered[0]
    median = statistics.median(ordered)
    return {"median": median, "p25": q1, "p75": q3, "min": ordered[0], "n": len(ordered),
            "spread_pct": 100.0 * (q3 - q1) / median if median else 0.0}


def paired_ratio(numerators, denominators):
    return summary([a / b for a, b in zip(numerators, denominators) if b > 0])


def rotated(items, round_index):
    k = round_index % len(items)
    return list(items[k:]) + list(items[:k])


# The implementations ------------------------------------------------------------

def load_variants():
    """The base and forecast modules of each implementation."""
    import build_twins

    build_twins.build()
    for path in (build_twins.BUILD, HERE):
        if path not in sys.path:
            sys.path.insert(0, path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import zarvosdk.base
        import zarvosdk.forecast_tool
        import cytwin_base
        import cytwin_forecast
        import twin_base
        import twin_forecast
    for module in (cytwin_base, cytwin_forecast):
        if not module.__file__.endswith(".so"):
            raise SystemExit("bench: %s is not the compiled twin" % module.__file__)
    return {
        "native": (zarvosdk.base, zarvosdk.forecast_tool),
        "cython": (cytwin_base, cytwin_forecast),
        "python": (twin_base, twin_forecast),
    }


class Patched:
    """Replaces module globals for the duration of a with-block."""

    def __init__(self, modules, **values):
        self.modules, self.values, self.saved = modules, values, []

    def __enter__(self):
        self.saved = []
        for module in self.modules:
            for name, value in self.values.items():
                self.saved.append((module, name, getattr(module, name)))
                setattr(module, name, value)
        return self

    def __exit__(self, *exc):
        for module, name, value in reversed(self.saved):
            setattr(module, name, value)


# Requests -----------------------------------------------------------------------

DATE_FORMAT = "%Y-%m-%d"
PERIOD = 30


def request_text(points, period=PERIOD):
    """A request as the language model writes it: the host's mapping notation
    (single quotes), daily dates ending 2024-01-01, values as [date, value]
    pairs copied from a query result."""
    end = dt.date(2024, 1, 1)
    dates = [(end - dt.timedelta(days=points - 1 - i)).isoformat() for i in range(points)]
    rng = random.Random(points)
    values = [[d, round(100 + 0.05 * i + rng.uniform(-5, 5), 2)] for i, d in enumerate(dates)]
    body = {"data_input": {"date": dates, "values": values}, "period": period}
    return json.dumps(body).replace('"', "'")


class Prepared:
    """Every input of every dependency call that _run makes, computed ahead."""

    def __init__(self, text):
        import pandas as pd
        from dateutil import parser

        self.text = text.replace("'", '"')
        request = json.loads(self.text)
        self.date_items = request["data_input"]["date"]
        self.seq = [item[1] for item in request["data_input"]["values"]]
        self.std_dates = [parser.parse(d).strftime(DATE_FORMAT) for d in self.date_items]
        self.period = request["period"]
        self.n = len(self.date_items)
        dates = pd.to_datetime(pd.Series(self.std_dates))
        epoch = pd.Timestamp("1970-01-01")
        self.features = [[(d - epoch).days] for d in dates]
        ordered = sorted(dates)
        self.later, self.earlier = ordered[1:], ordered[:-1]
        steps = [(b - a).days for a, b in zip(self.earlier, self.later)]
        average = sum(steps) / len(steps)
        self.day_steps = [i * average for i in range(1, self.period + 1)]
        last = dates.max()
        future = [last + dt.timedelta(days=s) for s in self.day_steps]
        self.future_features = [[(p - dt.datetime(1970, 1, 1)).days] for p in future]


def dependencies_only(p, pd, parser, LinearRegression):
    """The dependency calls of one _run, in its order, on precomputed inputs,
    driven by the host's C-level iterators (map, repeat) so that next to no
    work of our own is timed."""
    days = operator.attrgetter("days")
    strftime = operator.methodcaller("strftime", DATE_FORMAT)
    repeat = itertools.repeat
    json.loads(p.text)
    list(map(strftime, map(parser.parse, p.date_items)))
    df = pd.DataFrame({"timestamp": p.std_dates, "values": p.seq})
    df["timestamp"] = pd.to_datetime(df["timestamp"])
    dates = df["timestamp"]
    values = df["values"]
    df.set_index("timestamp", inplace=True)
    list(map(days, map(operator.sub, dates, map(pd.Timestamp, repeat("1970-01-01", p.n)))))
    model = LinearRegression()
    model.fit(p.features, values)
    list(dates)  # the ascending sort reads every date out of the column
    list(map(days, map(operator.sub, p.later, p.earlier)))
    last = dates.max()
    points = list(map(operator.add, repeat(last, p.period), map(dt.timedelta, p.day_steps)))
    epochs = map(dt.datetime, repeat(1970, p.period), repeat(1, p.period), repeat(1, p.period))
    list(map(days, map(operator.sub, points, epochs)))
    forecast = model.predict(p.future_features)
    texts = list(map(strftime, points))
    return pd.DataFrame({"dates": texts, "Forecasted_values": forecast}).empty


# Equivalence -------------------------------------------------------------------

def check_equivalence(variants):
    """The three implementations give the same results on the benchmark's inputs."""
    text = request_text(100)
    results = {}
    for name, (base, forecast) in variants.items():
        forecast_df = forecast.ForecastTool()._run(text)
        errors = []
        for call in (lambda: forecast.ForecastTool()._run(1),
                     lambda: base.DatabaseConnector().connect(1)):
            try:
                call()
            except TypeError as e:
                errors.append(type(e))
        with Patched([base], SQLDatabase=types.SimpleNamespace(from_uri=len)):
            connector = base.DatabaseConnector("reader", "secret", "127.0.0.1:3306", "shop")
            status = dict(connector.connect())
            handle = connector.db
        dates = [forecast.conv_date(d) for d in ("2023/01/05", "Jan 5 2023", "01/02/2023")]
        results[name] = (forecast_df, errors, status, handle, dates)
    reference = results["native"]
    for name, result in results.items():
        same = (result[0].equals(reference[0]) and list(result[0].columns) == list(reference[0].columns)
                and result[1:] == reference[1:] and len(result[1]) == 2)
        if not same:
            raise SystemExit("bench: %s twin differs from the native package: %r" % (name, result[1:]))


# Call overhead ---------------------------------------------------------------------

class StandInParser:
    """parser.parse returns this object itself; its strftime returns a fixed text."""


def call_cases(variants):
    """(case, {variant: (statement, globals)}, patches) for each call-overhead case."""
    stand_in = StandInParser()
    stand_in.parse = {"2023/01/05": stand_in}.get
    stand_in.strftime = {DATE_FORMAT: "2023-01-05"}.get
    database = types.SimpleNamespace(from_uri=len)
    cases = []
    connect, refuse_base, refuse_tool, conv = {}, {}, {}, {}
    for name, (base, forecast) in variants.items():
        credentials = {"C": base.DatabaseConnector, "u": "reader", "p": "secret",
                       "h": "127.0.0.1:3306", "d": "shop"}
        connect[name] = ("C(u, p, h, d).connect()", credentials)
        refuse_base[name] = ("try:\n    c.connect(1)\nexcept TypeError:\n    pass",
                             {"c": base.DatabaseConnector("u", "p", "h", "d")})
        refuse_tool[name] = ("try:\n    t._run(1)\nexcept TypeError:\n    pass",
                             {"t": forecast.ForecastTool()})
        conv[name] = ("f(s)", {"f": forecast.conv_date, "s": "2023/01/05"})
    bases = [v[0] for v in variants.values()]
    forecasts = [v[1] for v in variants.values()]
    cases.append(("DatabaseConnector(...).connect()", connect, Patched(bases, SQLDatabase=database)))
    cases.append(("connect(1), refused", refuse_base, None))
    cases.append(("ForecastTool._run(1), refused", refuse_tool, None))
    cases.append(("conv_date, stand-in parser", conv, Patched(forecasts, parser=stand_in)))
    return cases


def loop_ns(statement, namespace, number):
    return timeit.Timer(statement, timer=time.process_time, globals=namespace).timeit(number) * 1e9


def calibrate(statement, namespace, sample_ms):
    number = 1000
    while True:
        elapsed = loop_ns(statement, namespace, number)
        if elapsed >= 2e6 or number >= 10 ** 7:
            return max(1000, int(number * sample_ms * 1e6 / elapsed))
        number *= 4


def bench_calls(variants, reps, sample_ms, log):
    results = {}
    for case, statements, patch in call_cases(variants):
        with (patch or Patched([])), redirect_stderr(io.StringIO()):
            number = calibrate(*statements["native"], sample_ms)
            for statement, namespace in statements.values():
                loop_ns(statement, namespace, number // 10)  # warm-up
            samples = {v: [] for v in VARIANTS}
            for r in range(reps):
                empty = loop_ns("pass", {}, number)
                for variant in rotated(VARIANTS, r):
                    statement, namespace = statements[variant]
                    samples[variant].append((loop_ns(statement, namespace, number) - empty) / number)
        results[case] = report_case(samples)
        log(format_row(case, results[case], "ns"))
    return results


def report_case(samples, extra=None):
    out = {v: summary(samples[v]) for v in samples}
    out["native/cython"] = paired_ratio(samples["native"], samples["cython"])
    out["native/python"] = paired_ratio(samples["native"], samples["python"])
    if extra:
        out.update(extra)
    return out


# _run ------------------------------------------------------------------------------

def bench_run(variants, sizes, reps_for, log):
    import pandas as pd
    from dateutil import parser
    from sklearn.linear_model import LinearRegression

    results = {}
    sink = io.StringIO()
    for size in sizes:
        text = request_text(size)
        prepared = Prepared(text)
        tools = {v: variants[v][1].ForecastTool() for v in VARIANTS}
        runners = {v: (lambda t=tools[v]: t._run(text)) for v in VARIANTS}
        runners["dependencies"] = lambda: dependencies_only(prepared, pd, parser, LinearRegression)
        names = list(runners)
        calls = max(1, 300 // size)  # a sample of 100 points is three calls
        with redirect_stderr(sink):
            for run in runners.values():
                run()
            samples = {name: [] for name in names}
            for r in range(reps_for(size)):
                for name in rotated(names, r):
                    gc.collect()
                    start = time.process_time_ns()
                    for _ in range(calls):
                        runners[name]()
                    samples[name].append((time.process_time_ns() - start) / calls)
        floor = samples["dependencies"]
        extra = {"dependencies": summary(floor)}
        for v in VARIANTS:
            extra["own_share_" + v] = summary([(t - f) / t for t, f in zip(samples[v], floor)])
        del samples["dependencies"]
        results[str(size)] = report_case(samples, extra)
        log(format_row("_run, %d points" % size, results[str(size)], "ms"))
    return results


# Imports ---------------------------------------------------------------------------

IMPORT_GROUPS = ("native", "cython", "python", "floor")


def bench_imports(processes, log):
    samples = {}
    native_files = set()
    for k in range(processes):
        order = rotated(IMPORT_GROUPS, k)
        out = subprocess.run([sys.executable, os.path.join(HERE, "import_probe.py")] + order,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
        if out.returncode != 0:
            sys.stderr.write(out.stderr)
            raise SystemExit("bench: import probe failed")
        figures = json.loads(out.stdout.strip().splitlines()[-1])
        native_files.add(figures.pop("native_file"))
        for label, ns in figures.items():
            samples.setdefault(label, []).append(ns / 1e6)
    results = {}
    for module in ("zarvosdk", "forecast_tool", "base", "agent"):
        entry = {}
        for group in IMPORT_GROUPS:
            label = "%s:%s" % (group, module)
            if label in samples:
                entry[group] = summary(samples[label])
        native = samples["native:" + module]
        for group in ("cython", "python"):
            label = "%s:%s" % (group, module)
            if label in samples:
                entry["native/" + group] = paired_ratio(native, samples[label])
        label = "floor:" + module
        if label in samples:
            entry["native_own_ms"] = summary([n - f for n, f in zip(native, samples[label])])
        results[module] = entry
        log(format_import_row(module, entry))
    return results, sorted(native_files)


# The sandboxed code tool -------------------------------------------------------------


def bench_sandbox(rounds, log):
    """First and warm chart runs, sandboxed against in-process, rounds interleaved."""
    import tempfile

    samples = {}
    for k in range(rounds):
        for variant in rotated(["sandbox", "inprocess"], k):
            with tempfile.TemporaryDirectory(prefix="zarvosdk-bench-") as folder:
                out = subprocess.run([sys.executable, os.path.join(HERE, "sandbox_probe.py"), variant, folder],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
            if out.returncode != 0:
                sys.stderr.write(out.stderr)
                raise SystemExit("bench: sandbox probe failed")
            for run, seconds in json.loads(out.stdout.strip().splitlines()[-1]).items():
                samples.setdefault((variant, run), []).append(seconds)
    results = {}
    for run in ("first", "warm"):
        sandbox, inprocess = samples[("sandbox", run)], samples[("inprocess", run)]
        entry = {"sandbox": summary(sandbox), "inprocess": summary(inprocess),
                 "sandbox/inprocess": paired_ratio(sandbox, inprocess),
                 "sandbox-inprocess_s": summary([a - b for a, b in zip(sandbox, inprocess)])}
        results[run] = entry
        log("%-34s  %12.3f s  %12.3f s  %6.2fx  %+7.3f s" % (
            "chart run, %s (sandbox, in-process)" % run, entry["sandbox"]["median"],
            entry["inprocess"]["median"], entry["sandbox/inprocess"]["median"],
            entry["sandbox-inprocess_s"]["median"]))
    return results


# Instruction counts ----------------------------------------------------------------

def under_callgrind(out, *command):
    """Starts a Python script of bench/ under callgrind, which counts only what
    runs inside sys.call_tracing and writes its dumps to OUT.1, OUT.2, ..."""
    cmd = ["valgrind", "--tool=callgrind", "--instr-atstart=no",
           "--toggle-collect=sys_call_tracing", "--callgrind-out-file=" + out,
           sys.executable, os.path.join(HERE, command[0])] + list(command[1:])
    # A fixed hash seed: the layout of sets and dicts, and so the count, is
    # then the same from run to run.
    env = dict(os.environ, PYTHONHASHSEED="0")
    return subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            env=env)


def count_variant(variant, points, number, out_dir):
    """Starts count_probe.py for one variant under callgrind."""
    return under_callgrind(os.path.join(out_dir, variant), "count_probe.py", variant,
                           str(points), str(number))


def read_dumps(out_dir, variant):
    """{region: instructions} from the dumps that count_probe.py asked for."""
    counts = {}
    for name in os.listdir(out_dir):
        if not name.startswith(variant + "."):
            continue
        region = total = None
        with open(os.path.join(out_dir, name)) as f:
            for line in f:
                if line.startswith("desc: Trigger: dump "):
                    region = line.split()[-1]
                elif line.startswith("totals:"):
                    total = int(line.split()[1])
        if region is not None and total is not None:
            counts[region] = total
    return counts


def run_counts(jobs):
    """{job: {region: instructions}} for (job, script, args...) jobs under
    callgrind, two at a time: the machine has two cores."""
    import tempfile

    counts = {}
    with tempfile.TemporaryDirectory() as out_dir:
        for first in range(0, len(jobs), 2):
            running = [(job[0], under_callgrind(os.path.join(out_dir, job[0]), *job[1:]))
                       for job in jobs[first:first + 2]]
            for name, process in running:
                _, err = process.communicate()
                if process.returncode != 0:
                    sys.stderr.write(err[-3000:])
                    raise SystemExit("bench: callgrind run of %s failed" % name)
                counts[name] = read_dumps(out_dir, name)
    return counts


def bench_instructions(points, number, log):
    """Instructions per call (call cases), per _run and per import, counted by
    callgrind: independent of the machine's load, as timings under contention
    are not."""
    import shutil

    if not shutil.which("valgrind") or not shutil.which("callgrind_control"):
        raise SystemExit("bench: --instructions needs valgrind (callgrind)")
    names = VARIANTS + ("dependencies",)
    jobs = [(v, "count_probe.py", v, str(points), str(number)) for v in names]
    jobs += [("import-" + g, "import_probe.py", "--count", g) for g in IMPORT_GROUPS]
    counts = run_counts(jobs)
    empty = counts["native"]["empty"] / number
    results = {"calls": {}, "run": {}}
    for index, (case, _, _) in enumerate(call_cases(load_variants())):
        per_call = {v: counts[v]["calls%d" % index] / number - empty for v in VARIANTS}
        entry = dict(per_call)
        entry["native/cython"] = per_call["native"] / per_call["cython"]
        entry["native/python"] = per_call["native"] / per_call["python"]
        results["calls"][case] = entry
        log("%-34s  %12.0f  %12.0f  %12.0f  %6.2f  %6.2f" % (
            case, per_call["native"], per_call["cython"], per_call["python"],
            entry["native/cython"], entry["native/python"]))
    run = {v: counts[v]["run"] for v in names}
    entry = dict(run)
    entry["native/cython"] = run["native"] / run["cython"]
    entry["native/python"] = run["native"] / run["python"]
    for v in VARIANTS:
        entry["own_share_" + v] = (run[v] - run["dependencies"]) / run[v]
    results["run"][str(points)] = entry
    log("%-34s  %12.0f  %12.0f  %12.0f  %6.2f  %6.2f  deps %.0f  own %.2f%% (cython %.2f%%, "
        "python %.2f%%)" % ("_run, %d points" % points, run["native"], run["cython"],
                            run["python"], entry["native/cython"], entry["native/python"],
                            run["dependencies"], 100 * entry["own_share_native"],
                            100 * entry["own_share_cython"], 100 * entry["own_share_python"]))
    imports = {}
    for group in IMPORT_GROUPS:
        imports.update(counts["import-" + group])
    results["import"] = count_imports(imports, log)
    return results


def count_imports(imports, log):
    """Instructions per module import: the native module beside its twins, or
    its own part over the floor where it has none."""
    results = {}
    for module in ("zarvosdk", "forecast_tool", "base", "agent"):
        native = imports["native:" + module]
        entry = {"native": native}
        for group in ("cython", "python", "floor"):
            if "%s:%s" % (group, module) in imports:
                entry[group] = imports["%s:%s" % (group, module)]
        cells = ["%12.0f" % entry.get(g, float("nan")) if g in entry else "%12s" % "-"
                 for g in ("native", "cython", "python")]
        ratios = []
        for group in ("cython", "python"):
            if group in entry:
                entry["native/" + group] = native / entry[group]
                ratios.append("%6.3f" % entry["native/" + group])
            else:
                ratios.append("%6s" % "-")
        extra = ""
        if "floor" in entry:
            entry["native_over_floor"] = native - entry["floor"]
            extra = "  floor %.0f  own %.0f (%.2f%%)" % (
                entry["floor"], entry["native_over_floor"], 100 * entry["native_over_floor"] / native)
        results[module] = entry
        log("%-34s  %s  %s%s" % ("import " + module, "  ".join(cells), "  ".join(ratios), extra))
    return results


# Report ----------------------------------------------------------------------------

def fmt_time(value, unit):
    if unit == "ns":
        return "%8.0f ns" % value
    return "%8.2f ms" % (value / 1e6 if unit == "ms" else value)


def cell(stat, unit):
    return "%s ±%3.0f%%" % (fmt_time(stat["median"], unit), stat["spread_pct"] / 2)


def format_row(label, entry, unit):
    parts = ["%-34s" % label]
    parts += [cell(entry[v], unit) for v in VARIANTS]
    parts.append("%6.2f  %6.2f" % (entry["native/cython"]["median"], entry["native/python"]["median"]))
    if "dependencies" in entry:
        parts.append("deps %s  own %5.1f%%" % (fmt_time(entry["dependencies"]["median"], unit).strip(),
                                               100 * entry["own_share_native"]["median"]))
    return "  ".join(parts)


def format_import_row(module, entry):
    parts = ["%-34s" % ("import " + module)]
    for group in VARIANTS:
        parts.append(cell(entry[group], "raw") if group in entry else "%15s" % "-")
    ratios = ["%6.2f" % entry["native/" + g]["median"] if "native/" + g in entry else "     -"
              for g in ("cython", "python")]
    parts.append("  ".join(ratios))
    if "floor" in entry:
        parts.append("deps %.2f ms  own %.2f ms" % (entry["floor"]["median"],
                                                    entry["native_own_ms"]["median"]))
    return "  ".join(parts)


def verdicts(results):
    """Each target with the measured value (worst case over its cases)."""
    out = []
    limit = TARGETS["calls_vs_cython"]
    for case, entry in results.get("calls", {}).items():
        value = entry["native/cython"]["median"]
        out.append({"target": "calls_vs_cython", "case": case, "value": value, "limit": limit,
                    "met": value <= limit})
    for size, entry in results.get("run", {}).items():
        value = entry["native/python"]["median"]
        out.append({"target": "run_vs_python", "case": size, "value": value,
                    "limit": TARGETS["run_vs_python"], "met": value <= TARGETS["run_vs_python"]})
        if size == "10000":
            share = entry["own_share_native"]["median"]
            out.append({"target": "own_share_10000", "case": size, "value": share,
                        "limit": TARGETS["own_share_10000"],
                        "met": share <= TARGETS["own_share_10000"]})
    counted = results.get("instructions", {})
    for case, entry in counted.get("calls", {}).items():
        value = entry["native/cython"]
        out.append({"target": "calls_vs_cython (instructions)", "case": case, "value": value,
                    "limit": limit, "met": value <= limit})
    for size, entry in counted.get("run", {}).items():
        value = entry["native/python"]
        out.append({"target": "run_vs_python (instructions)", "case": size, "value": value,
                    "limit": TARGETS["run_vs_python"], "met": value <= TARGETS["run_vs_python"]})
        share = entry["own_share_native"]
        out.append({"target": "own_share (instructions)", "case": size, "value": share,
                    "limit": TARGETS["own_share_10000"],
                    "met": share <= TARGETS["own_share_10000"]})
    for module, entry in counted.get("import", {}).items():
        if "native/python" in entry:
            value = entry["native/python"]
            out.append({"target": "import_vs_python (instructions)", "case": module,
                        "value": value, "limit": TARGETS["import_vs_python"],
                        "met": value <= TARGETS["import_vs_python"]})
    sandbox = results.get("sandbox")
    if sandbox:
        value = sandbox["warm"]["sandbox/inprocess"]["median"]
        out.append({"target": "sandbox_warm_vs_inprocess", "case": "chart run", "value": value,
                    "limit": TARGETS["sandbox_warm_vs_inprocess"],
                    "met": value <= TARGETS["sandbox_warm_vs_inprocess"]})
        value = sandbox["first"]["sandbox-inprocess_s"]["median"]
        out.append({"target": "sandbox_first_extra_s", "case": "chart run", "value": value,
                    "limit": TARGETS["sandbox_first_extra_s"],
                    "met": value <= TARGETS["sandbox_first_extra_s"]})
    page = results.get("page")
    if page:
        for key, value in (("page_parallel_ratio", page["ratio"]), ("page_memory_mb", page["memory_mb"])):
            out.append({"target": key, "case": "%d sessions" % (page["sessions"] if key == "page_parallel_ratio"
                                                                 else page["cycled"]),
                        "value": value, "limit": TARGETS[key], "met": value <= TARGETS[key]})
    for module, entry in results.get("import", {}).items():
        if "native/python" in entry:
            value, key = entry["native/python"]["median"], "import_vs_python"
        elif "floor" in entry:
            value, key = entry["native_own_ms"]["median"], "import_over_floor_ms"
        else:  # the package module: it imports nothing, so its floor is nothing
            value, key = entry["native"]["median"], "import_over_floor_ms"
        out.append({"target": key, "case": module, "value": value, "limit": TARGETS[key],
                    "met": value <= TARGETS[key]})
    return out


def machine():
    info = {"python": sys.version.split()[0], "platform": platform.platform(),
            "cpus": os.cpu_count(), "load_before": os.getloadavg()}
    try:
        import Cython
        info["cython"] = Cython.__version__
    except ImportError:
        pass
    try:
        info["git"] = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True).stdout.strip()
    except OSError:
        pass
    return info


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reps", type=int, default=15, help="rounds of the call-overhead cases")
    parser.add_argument("--run-reps", default="11,7,3",
                        help="rounds of _run for the smallest, middle and largest size")
    parser.add_argument("--sizes", default="100,10000,100000")
    parser.add_argument("--import-procs", type=int, default=8,
                        help="fresh processes for the import timings")
    parser.add_argument("--sample-ms", type=float, default=20.0,
                        help="length of one call-overhead sample")
    parser.add_argument("--sandbox-rounds", type=int, default=7,
                        help="fresh-process rounds of the sandbox timing")
    parser.add_argument("--only", default="calls,run,import,sandbox",
                        help="parts to run, of calls, run, import, sandbox, instructions")
    parser.add_argument("--json", default=os.path.join(HERE, "results.json"))
    parser.add_argument("--quick", action="store_true",
                        help="a fast smoke run: few rounds, sizes 100 and 10000")
    parser.add_argument("--instructions", action="store_true",
                        help="also count instructions with callgrind (needs valgrind; "
                             "independent of the machine's load; about 4 minutes)")
    parser.add_argument("--instructions-points", type=int, default=10000,
                        help="request size for the instruction count of _run")
    args = parser.parse_args(argv)
    if args.quick:
        args.reps, args.run_reps, args.sizes, args.import_procs = 5, "3,2,1", "100,10000", 4
        args.sandbox_rounds = 3
    sizes = [int(s) for s in args.sizes.split(",") if s]
    run_reps = [int(s) for s in args.run_reps.split(",")]
    ordered_sizes = sorted(sizes)

    def reps_for(size):
        return run_reps[min(ordered_sizes.index(size), len(run_reps) - 1)]

    only = set(args.only.split(","))
    if args.instructions:
        only.add("instructions")

    def log(line):
        print(line, flush=True)

    started = time.time()
    # The page's bench needs none of the twins.
    variants = load_variants() if only - {"page"} else None
    if variants is not None:
        check_equivalence(variants)
    import zarvosdk

    results = {"machine": machine(), "native_file": zarvosdk.__file__,
               "settings": {"reps": args.reps, "run_reps": run_reps, "sizes": sizes,
                            "import_procs": args.import_procs, "sample_ms": args.sample_ms}}
    log("native package: %s" % zarvosdk.__file__)
    log("%-34s  %15s  %15s  %15s  %6s  %6s" % ("", "native", "cython twin", "python twin",
                                               "n/cy", "n/py"))
    if "calls" in only:
        results["calls"] = bench_calls(variants, args.reps, args.sample_ms, log)
    if "run" in only:
        results["run"] = bench_run(variants, sizes, reps_for, log)
    if "import" in only:
        results["import"], files = bench_imports(args.import_procs, log)
        results["import_native_files"] = files
    if "sandbox" in only:
        log("\n%-34s  %14s  %14s  %7s  %9s" % ("code tool (wall time)", "sandbox", "in-process",
                                               "ratio", "extra"))
        results["sandbox"] = bench_sandbox(args.sandbox_rounds, log)
    if "instructions" in only:
        log("\ninstructions per call / per _run (callgrind)")
        results["instructions"] = bench_instructions(args.instructions_points, 20000, log)
    if "page" in only:
        import page

        log("\nthe chat page (wall time, the model answering each request 1 s late)")
        results["page"] = page.bench(log=log)
    results["targets"] = verdicts(results)
    results["machine"]["load_after"] = os.getloadavg()
    results["seconds"] = round(time.time() - started, 1)
    log("")
    for v in results["targets"]:
        share = v["target"].startswith("own_share")
        shown = "%.1f%%" % (100 * v["value"]) if share else "%.2f" % v["value"]
        limit = "%.0f%%" % (100 * v["limit"]) if share else "%.2f" % v["limit"]
        log("%-4s %-30s %-34s %8s (limit %s)" % ("ok" if v["met"] else "MISS", v["target"],
                                                 v["case"], shown, limit))
    with open(args.json, "w") as f:
        json.dump(results, f, indent=1, sort_keys=True)
    log("\nspread: ± half the interquartile range; ratios: median of per-round ratios")
    log("wrote %s in %.0f s (load average %.2f -> %.2f)" % (
        args.json, results["seconds"], results["machine"]["load_before"][0],
        results["machine"]["load_after"][0]))
    if "page" in results:
        for line in page.last_lines(results["page"]):
            log(line)


if __name__ == "__main__":
    main()
