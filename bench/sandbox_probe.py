"""One round of the sandbox timing, in a fresh process.

    python bench/sandbox_probe.py sandbox|inprocess FOLDER

Imports what an application that builds the agents has imported (the
framework's Python tool and the package's agent module, not matplotlib),
then, working in FOLDER, makes the code tool and runs the chart agent's code
twice. Prints wall-clock seconds as JSON: "first" from the tool's
construction to the end of the first run, "warm" the second run. Wall time,
not CPU time: the sandbox's work happens in other processes.
"""
import json
import os
import sys
import time
import warnings

warnings.simplefilter("ignore")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from langchain_experimental.tools.python.tool import PythonREPLTool  # noqa: E402

import zarvosdk.agent  # noqa: E402,F401
from harness.scripted_model import chart_code  # noqa: E402
from zarvosdk.sandbox import SandboxedPythonREPLTool  # noqa: E402

DATES = ["2024-01-%02d" % day for day in range(1, 31)]
VALUES = [1000.0 + 25 * i + (120 if i % 7 in (5, 6) else 0) for i in range(30)]


def main():
    variant, folder = sys.argv[1], sys.argv[2]
    os.chdir(folder)
    code = chart_code(DATES, VALUES, "Daily sales")
    started = time.perf_counter()
    tool = SandboxedPythonREPLTool(output_dir=folder) if variant == "sandbox" else PythonREPLTool()
    first = tool.run(code)
    after_first = time.perf_counter()
    warm = tool.run(code)
    after_warm = time.perf_counter()
    if not (first.startswith("plotted") and warm.startswith("plotted")):
        raise SystemExit("sandbox probe: the chart code failed: %r %r" % (first, warm))
    if not os.path.isfile(os.path.join(folder, "temp_chart.png")):
        raise SystemExit("sandbox probe: no chart in " + folder)
    print(json.dumps({"first": after_first - started, "warm": after_warm - after_first}))


if __name__ == "__main__":
    main()
