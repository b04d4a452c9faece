"""Runs the measured regions of one variant for instruction counts under callgrind.

    valgrind --tool=callgrind --instr-atstart=no --toggle-collect=sys_call_tracing \
        --callgrind-out-file=OUT python bench/count_probe.py VARIANT POINTS NUMBER

Started by run.py --instructions, once per variant (native, cython, python, or
"dependencies" for the dependency calls of _run alone). The process sets
everything up and warms each region up uninstrumented, then switches
callgrind's instrumentation on and runs each region once inside
sys.call_tracing, the one host function that nothing measured calls, so that
callgrind counts exactly the region; after each region it has callgrind dump
the count under the region's name (OUT.1, OUT.2, ...). The regions: NUMBER
calls of each call-overhead case, one ForecastTool._run on a request of POINTS
points, and (native only) NUMBER turns of the empty timing loop.
"""
import io
import os
import subprocess
import sys
import timeit
import warnings
from contextlib import redirect_stderr

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run as bench  # noqa: E402


def regions(variant, points, number):
    """(name, callable) for every region of the variant."""
    text = bench.request_text(points)
    if variant == "dependencies":
        import pandas as pd
        from dateutil import parser
        from sklearn.linear_model import LinearRegression

        prepared = bench.Prepared(text)
        return [("run", lambda: bench.dependencies_only(prepared, pd, parser, LinearRegression))]
    variants = bench.load_variants()
    out = []
    if variant == "native":
        empty = timeit.Timer("pass")
        out.append(("empty", lambda: empty.timeit(number)))
    for index, (_, statements, patch) in enumerate(bench.call_cases(variants)):
        statement, namespace = statements[variant]
        timer = timeit.Timer(statement, globals=namespace)

        def calls(timer=timer, patch=patch):
            with (patch or bench.Patched([])):
                timer.timeit(number)

        out.append(("calls%d" % index, calls))
    tool = variants[variant][1].ForecastTool()
    out.append(("run", lambda: tool._run(text)))
    return out


def callgrind(*command):
    subprocess.run(["callgrind_control"] + list(command) + [str(os.getpid())],
                   stdout=subprocess.DEVNULL, check=True)


def main(variant, points, number):
    warnings.simplefilter("ignore")
    with redirect_stderr(io.StringIO()):
        todo = regions(variant, int(points), int(number))
        for _, region in todo:
            region()
            region()
        callgrind("--instr=on")
        for name, region in todo:
            sys.call_tracing(region, ())
            callgrind("--dump=" + name)


if __name__ == "__main__":
    main(*sys.argv[1:])
