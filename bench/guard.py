"""What the read-only guard costs: a guarded query beside the same query on
the unguarded handle, and the parser's import and first parse on their own.

Starts the demo's private MariaDB server with its sample `sales` table,
connects with the read-only account as the demo does, and guards the handle
with zarvosdk.guard.read_only. Warm: every round runs each of the demo's
statements once through each handle, in an order that rotates from round to
round; the added time is the median over the rounds of (guarded -
unguarded), per statement, in wall-clock time (the server's share is in
both). Cold: fresh processes with the framework already imported time the
parser's import (what the first guarded handle loads) and the first check of
a statement, each once per process.

    scripts/bench guard [--rounds N] [--processes N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, ROOT)

from harness.sample_database import READER, READER_PASSWORD, start_sample_database  # noqa: E402
from harness.scripted_model import DEFAULT_QUERIES, DEFAULT_SERIES_QUERY  # noqa: E402

STATEMENTS = [sql for _, sql in DEFAULT_QUERIES] + [DEFAULT_SERIES_QUERY]
TARGET_MS = 2.0

# The check of a statement that is read whole and refused at its end (a
# locking read of the demo's size), so that no server is needed.
COLD_PROBE = r"""
import time
import zarvosdk.guard
started = time.perf_counter()
import sqlglot.expressions, sqlglot.tokens
from sqlglot.dialects.dialect import Dialect
Dialect.get_or_raise("mysql")
imported = time.perf_counter()
guarded = zarvosdk.guard.GuardedSQLDatabase.__new__(zarvosdk.guard.GuardedSQLDatabase)
def check():
    try:
        guarded._execute("SELECT sale_date, SUM(amount) AS total FROM sales GROUP BY sale_date FOR UPDATE")
    except zarvosdk.guard.GuardError:
        pass
check()
first = time.perf_counter()
check()
second = time.perf_counter()
print(imported - started, first - imported, second - first)
"""


def median_ms(values):
    return 1000 * statistics.median(values)


def spread_ms(values):
    q = statistics.quantiles(values, n=4) if len(values) >= 4 else [min(values), 0, max(values)]
    return 1000 * (q[2] - q[0]) / 2


def bench_warm(db, guarded, rounds, log):
    """Per statement: median unguarded and guarded time, and the median added."""
    for sql in STATEMENTS:  # warm both pools, the parser and the server's caches
        for handle in (db, guarded):
            for _ in range(3):
                handle.run(sql)
    times = {(sql, which): [] for sql in STATEMENTS for which in ("plain", "guarded")}
    order = [(sql, which, handle) for sql in STATEMENTS for which, handle in (("plain", db), ("guarded", guarded))]
    for r in range(rounds):
        shift = r % len(order)
        for sql, which, handle in order[shift:] + order[:shift]:
            started = time.perf_counter()
            handle.run(sql)
            times[(sql, which)].append(time.perf_counter() - started)
    results = []
    for sql in STATEMENTS:
        plain, guard = times[(sql, "plain")], times[(sql, "guarded")]
        added = [g - p for g, p in zip(guard, plain)]
        results.append({"sql": sql, "plain_ms": median_ms(plain), "guarded_ms": median_ms(guard),
                        "added_ms": median_ms(added), "added_spread_ms": spread_ms(added)})
        log("%-62s %8.3f ms %8.3f ms %+8.3f ms ± %.3f" % (
            sql[:62], results[-1]["plain_ms"], results[-1]["guarded_ms"], results[-1]["added_ms"],
            results[-1]["added_spread_ms"]))
    return results


def bench_cold(processes, log):
    """Median, over fresh processes, of the parser's import, the first check
    and the second check (warm, without the server)."""
    runs = []
    for _ in range(processes):
        out = subprocess.run([sys.executable, "-c", COLD_PROBE], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
        runs.append([float(x) for x in out.split()])
    columns = list(zip(*runs))
    result = {"parser_import_ms": median_ms(columns[0]), "first_check_ms": median_ms(columns[1]),
              "warm_check_ms": median_ms(columns[2])}
    log("parser import %.1f ms, first check %.2f ms, a warm check %.3f ms (median of %d processes)" % (
        result["parser_import_ms"], result["first_check_ms"], result["warm_check_ms"], processes))
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--processes", type=int, default=5)
    args = parser.parse_args(argv)

    from zarvosdk.base import DatabaseConnector
    from zarvosdk.guard import read_only

    with tempfile.TemporaryDirectory(prefix="zarvosdk-bench-guard-") as work:
        server = start_sample_database(os.path.join(work, "mariadb"))
        try:
            db = DatabaseConnector(READER, READER_PASSWORD, server.host, server.database).getdbinstance()
            guarded = read_only(db)
            print("%-62s %11s %11s %11s" % ("statement (warm, wall clock)", "unguarded", "guarded", "added"))
            warm = bench_warm(db, guarded, args.rounds, print)
        finally:
            server.close()
    cold = bench_cold(args.processes, print)
    worst = max(r["added_ms"] for r in warm)
    print("%s added per statement, warm: at most %.3f ms (limit %.1f ms)" % (
        "ok  " if worst <= TARGET_MS else "MISS", worst, TARGET_MS))
    return {"warm": warm, "cold": cold}


if __name__ == "__main__":
    main()
