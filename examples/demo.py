"""zarvosdk demo: ask a sample sales database questions in plain language.

Starts a private MariaDB server with a small sales table, connects to it
with a read-only account through DatabaseConnector, puts the handle behind
zarvosdk.guard.read_only (one read statement at a time, 10 seconds, 1000
rows), builds the conversational agent with AgentInitializer.create_agent and has a short
conversation with it: a question answered from the database, a chart drawn
into a file and a forecast, which it then draws with its history. It prints
each question, the tool calls the agents made and the answer; the
framework's own step-by-step output goes to a log file beside the charts.

The language model is reached the way an application reaches one: through
the framework's OpenAI chat client (langchain_community's ChatOpenAI)
over HTTP. By default the demo starts its own OpenAI-compatible endpoint on
a loopback port (harness.model_endpoint), answered offline by ScriptedChatModel
(harness.scripted_model), which plays the model's part deterministically. To use
any other OpenAI-compatible server instead:

    OPENAI_API_KEY=... scripts/demo --base-url URL --model NAME

The chart agent's code runs in the sandbox of zarvosdk.sandbox (bubblewrap:
no network, no host environment, only the output folder writable, limits on
time, memory, processes and file size), switched on by the one line an
application uses; `--unsandboxed` runs it in-process with the framework's tool.

Usage: demo.py [--output DIR] [--base-url URL --model NAME] [--unsandboxed]

The stand-ins it starts live in the harness package at the repository root,
which must be on the import path: scripts/demo runs it so.
"""
import argparse
import ast
import concurrent.futures
import contextlib
import functools
import json
import os
import re
import shutil
import sys
import tempfile
import traceback
import warnings

from langchain_core.callbacks import BaseCallbackHandler

from harness.sample_database import READER, READER_PASSWORD, start_sample_database

QUESTIONS = [
    "What were the total sales?",
    "Draw a chart of the daily sales.",
    "Forecast the daily sales for the next 7 days.",
]
CHART = "temp_chart.png"
FORECAST_CHART = "forecast_chart.png"
FRAMEWORK_LOG = "agent-framework.log"
# What an application should set on its chat client: a bound on each
# request, and a bound on the client's own retries (429 and 5xx answers,
# dropped connections), so that a failing model service surfaces as an
# exception instead of a hang.
REQUEST_TIMEOUT = 60
MAX_RETRIES = 2


def import_framework():
    """Imports the package, the framework's chat client and the endpoint: the
    slow part of start-up, which the demo overlaps with the database's."""
    from langchain_core._api.deprecation import LangChainDeprecationWarning
    import openai  # noqa: F401  (the chat client imports it when first made)
    import zarvosdk.agent  # noqa: F401
    import zarvosdk.base  # noqa: F401
    import harness.chat_client
    import harness.model_endpoint  # noqa: F401

    harness.chat_client.chat_client_class()

    # The framework's own chat client announces that it has moved to another
    # package each time one is made; that is not this demo's business.
    warnings.filterwarnings("ignore", category=LangChainDeprecationWarning)


def chat_client(base_url, model, api_key):
    """The framework's OpenAI chat client for an OpenAI-compatible server."""
    from harness.chat_client import make_chat_client

    return make_chat_client(
        model=model,
        openai_api_key=api_key,
        openai_api_base=base_url,
        temperature=0,
        request_timeout=REQUEST_TIMEOUT,
        max_retries=MAX_RETRIES,
    )


class ToolTrace(BaseCallbackHandler):
    """Prints one line per tool call, nested calls indented, to `stream`, and
    keeps every call's name, input and output in `calls`."""

    def __init__(self, stream):
        self.stream = stream
        self.depth = 0
        self.calls = []
        self._open = {}

    def on_tool_start(self, serialized, input_str, *, run_id=None, **kwargs):
        self.depth += 1
        call = {"name": serialized.get("name"), "input": input_str, "output": None}
        self.calls.append(call)
        self._open[run_id] = call
        self._line("-> %s: %s" % (call["name"], brief(input_str)))

    def on_tool_end(self, output, *, run_id=None, **kwargs):
        call = self._open.pop(run_id, None)
        if call is not None:
            call["output"] = output
        self._line("<- %s" % brief(output))
        self.depth -= 1

    def on_tool_error(self, error, **kwargs):
        self._line("<- error: %s" % brief(error))
        self.depth -= 1

    def _line(self, text):
        print("      " + "   " * (self.depth - 1) + text, file=self.stream, flush=True)


# The longest tool input or output read as a Python literal. Python 3.9's
# compiler recurses in C over a long chain like "1+1+...+1" and overflows the
# thread's stack (a crash, not an exception) from about 240,000 characters;
# a structured tool's input ({'query': '...'}) is far shorter than this.
LITERAL_CHARS = 20_000


def single_argument(value):
    """A tool input as the tool's one argument: structured tools are called
    with the repr of a one-key dict ({'query': '...'}). Any other text, and
    text too long to be read as a literal safely, is returned as it is."""
    text = str(value)
    if len(text) > LITERAL_CHARS or not text.lstrip().startswith("{"):
        return text
    try:
        decoded = ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return text
    if isinstance(decoded, dict) and len(decoded) == 1:
        return str(next(iter(decoded.values())))
    return text


def brief(value, width=96):
    """A tool input or output on one short line."""
    text = single_argument(value)
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    if len(lines) > 3 and lines[0].startswith("import"):
        text = "<%d lines of Python code>" % len(lines)
    else:
        text = " | ".join(lines)
    return text if len(text) <= width else text[: width - 3] + "..."


class PlainText:
    """A text stream that drops terminal colour codes on the way to `target`."""

    _ANSI = re.compile(r"\x1b\[[0-9;]*m")

    def __init__(self, target):
        self.target = target

    def write(self, text):
        return self.target.write(self._ANSI.sub("", text))

    def flush(self):
        self.target.flush()


def ask(agent, number, question, log):
    """Runs one question, the framework's own output going to `log`; returns
    the tool calls made, or None when the run failed."""
    print("\n[%d] Question: %s" % (number, question))
    print("    Tool calls:")
    chart_before = _mtime(CHART)
    trace = ToolTrace(sys.stdout)
    print("\n===== %s\n" % question, file=log, flush=True)
    try:
        with contextlib.redirect_stdout(PlainText(log)), contextlib.redirect_stderr(log):
            answer = agent.run(question, callbacks=[trace])
    except Exception as error:  # a real model can fail in many ways; report and go on
        print("    Failed: %s" % (str(error) and "%s: %s" % (type(error).__name__, error) or repr(error)))
        print("    (the traceback is in %s)" % FRAMEWORK_LOG)
        traceback.print_exc(file=log)
        return None
    print("    Answer:")
    for line in str(answer).splitlines() or [""]:
        print("      " + line)
    if _mtime(CHART) != chart_before:
        print("    Chart written: %s (%d bytes)" % (os.path.abspath(CHART), os.path.getsize(CHART)))
    return trace.calls


def _mtime(path):
    return os.stat(path).st_mtime_ns if os.path.exists(path) else None


def forecast_of(calls):
    """(history dates, history values, forecast table) of the last successful
    ForecastTool call among `calls`; ValueError says why there is none."""
    import pandas as pd

    done = [c for c in calls if c["name"] == "ForecastTool" and isinstance(c["output"], pd.DataFrame)]
    if not done:
        raise ValueError("the agent made no forecast")
    call = done[-1]
    # Read the request as the tool does: single quotes allowed, values given
    # as numbers or as [date, value] pairs.
    text = call["input"].replace("'", '"')
    data = json.loads(text)["data_input"]
    values = [v[1] if isinstance(v, list) and len(v) == 2 else v for v in data["values"]]
    return list(data["date"]), [float(v) for v in values], call["output"]


def draw_forecast_chart(dates, values, forecast, path):
    """History and forecast in one line chart, written as a PNG to `path`
    with matplotlib's Agg canvas (no display and no pyplot state needed)."""
    import pandas as pd
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    history_x = list(pd.to_datetime(dates))
    forecast_x = list(pd.to_datetime(forecast["dates"]))
    forecast_y = [float(v) for v in forecast["Forecasted_values"]]
    figure = Figure(figsize=(9, 4))
    FigureCanvasAgg(figure)
    axes = figure.subplots()
    axes.plot(history_x, values, marker="o", markersize=3, label="history (queried)")
    # The forecast line starts at the last known point so the two join up.
    axes.plot(history_x[-1:] + forecast_x, values[-1:] + forecast_y, "--", marker="o", markersize=3,
              label="forecast (least-squares trend)")
    axes.set_title("Sales history and a %d-step forecast" % len(forecast_x))
    axes.set_xlabel("date")
    axes.set_ylabel("amount")
    axes.legend()
    figure.autofmt_xdate()
    figure.tight_layout()
    figure.savefig(path)


def chart_the_forecast(calls, output):
    """Draws FORECAST_CHART from the forecast run's tool calls, if it made one."""
    path = os.path.join(output, FORECAST_CHART)
    try:
        dates, values, forecast = forecast_of(calls)
        draw_forecast_chart(dates, values, forecast, path)
    except (ValueError, KeyError, TypeError) as error:
        print("    No forecast chart: %s" % error)
        return False
    print("    Forecast chart written: %s (%d bytes)" % (path, os.path.getsize(path)))
    return True


def choose_code_tool(sandboxed, output):
    """Switches the chart agent's code tool to the sandbox, writing into the
    output folder, unless `sandboxed` is false; says which tool runs the code."""
    import zarvosdk.agent

    if not sandboxed:
        print("Code tool: the framework's PythonREPLTool, in this process (--unsandboxed)")
        return
    from zarvosdk.sandbox import SandboxedPythonREPLTool

    zarvosdk.agent.PythonREPLTool = functools.partial(SandboxedPythonREPLTool, output_dir=output)
    print("Code tool: SandboxedPythonREPLTool; the model's Python runs in a bubblewrap sandbox")
    print("           that may write only to", output, "(--unsandboxed: the framework's in-process tool)")


def converse(db, output, llm):
    """The short conversation, run inside the output folder."""
    import zarvosdk.agent
    from zarvosdk.agent import AgentInitializer

    # The Python agent is told to save its charts in the current directory and
    # in `path`; both are the output folder here.
    agent = AgentInitializer(llm, db, path=output).create_agent()
    log_path = os.path.join(output, FRAMEWORK_LOG)
    answered = 0
    with open(log_path, "a", encoding="utf-8") as log:
        for number, question in enumerate(QUESTIONS, 1):
            calls = ask(agent, number, question, log)
            answered += calls is not None
    # The last question asks for the forecast.
    charted = calls is not None and chart_the_forecast(calls, output)
    history = zarvosdk.agent.conversational_memory.load_memory_variables({})["chat_history"]
    print("\nThe shared conversation memory now holds %d exchanges." % (len(history) // 2))
    print("The framework's step-by-step output is in", log_path)
    return answered == len(QUESTIONS) and charted


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", help="folder for the charts and the framework log")
    parser.add_argument("--base-url", help="an OpenAI-compatible server to use instead of the built-in endpoint")
    parser.add_argument("--model", help="the model to ask on that server (with --base-url)")
    parser.add_argument("--unsandboxed", action="store_true",
                        help="run the chart agent's code in this process with the framework's tool")
    args = parser.parse_args(argv)
    if bool(args.base_url) != bool(args.model):
        parser.error("--base-url and --model go together")
    # The built-in endpoint checks no key, and the user's own key stays unsent.
    api_key = os.environ.get("OPENAI_API_KEY", "") if args.base_url else "no-key-needed"
    if not api_key:
        parser.error("--base-url needs the server's API key in OPENAI_API_KEY (any text for a server that checks none)")

    work = tempfile.mkdtemp(prefix="zarvosdk-demo-")
    output = os.path.abspath(args.output or os.path.join(work, "output"))
    os.makedirs(output, exist_ok=True)
    print("Starting a private MariaDB server in", work)
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as background:
        # Both take seconds, mostly waiting: the server starts while the
        # framework is imported. (A server left running stops at exit.)
        starting = background.submit(start_sample_database, os.path.join(work, "mariadb"))
        import_framework()
        server = starting.result()
    endpoint = None
    cwd = os.getcwd()
    try:
        from harness.model_endpoint import ChatEndpoint
        from zarvosdk.base import DatabaseConnector
        from zarvosdk.guard import read_only

        if args.base_url:
            llm = chat_client(args.base_url, args.model, api_key)
            print("Language model: %s at %s, through the framework's ChatOpenAI" % (args.model, args.base_url))
        else:
            endpoint = ChatEndpoint().start()
            llm = chat_client(endpoint.url, "scripted", api_key)
            print("Model endpoint: %s (built in, OpenAI-compatible; the scripted stand-in model answers)"
                  % endpoint.url)
            print("Language model: the framework's ChatOpenAI, pointed at that endpoint")
        connector = DatabaseConnector(READER, READER_PASSWORD, server.host, server.database)
        status = connector.connect()
        print("Connection status:", status)
        if not status["connected"]:
            return 1
        db = read_only(connector.db, seconds=10.0, max_rows=1000)
        print("Guarded handle: the agents' SQL runs through zarvosdk.guard.read_only "
              "(one read statement at a time, stopped after 10 s, at most 1000 rows)")
        print("Tables the read-only account can see:", db.get_usable_table_names())
        print("Working in", output)
        choose_code_tool(not args.unsandboxed, output)
        os.chdir(output)
        ok = converse(db, output, llm)
    finally:
        os.chdir(cwd)
        server.close()
        shutil.rmtree(os.path.join(work, "mariadb"), ignore_errors=True)
        print("MariaDB server stopped.")
        if endpoint is not None:
            endpoint.stop()
    if endpoint is not None:
        streamed = sum(1 for request in endpoint.requests if request["body"].get("stream"))
        print(
            "\nThe built-in endpoint answered %d chat-completion requests (%d streamed) and is stopped.\n"
            "The answers were written by the scripted stand-in model, not by a real language model;\n"
            "the HTTP client, the database queries, the charts and the forecast are real."
            % (len(endpoint.requests), streamed)
        )
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
