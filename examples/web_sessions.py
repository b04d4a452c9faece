"""The chat page's conversations: one agent, memory and output folder per
browser session, and what one question produced, ready to be drawn.

Nothing here imports Streamlit, so the page (web_page.py) only draws; the
launcher (web_demo.py) builds the one `Backend` of the process and puts it in
`BACKEND` before the server starts.

Two things of the package and of the chart agent are one per process:

* `zarvosdk.agent.conversational_memory`, which `create_agent` hands to the
  agent it builds. A session binds a fresh window memory to it and builds its
  agent under `CREATE_LOCK`, so that two sessions starting at once cannot
  pick up each other's memory.
* the current directory the chart agent is told to save into, and pyplot's
  figures when its code runs in this process. Runs are serialised under
  `RUN_LOCK`, which also moves into the session's own output folder for the
  run, so that a chart is written to, and read back from, that session's
  folder only. When the package has the sandboxed code tool, each session's
  tool gets its own folder too.
"""
import ast
import contextlib
import io
import json
import os
import tempfile
import sys
import threading
import time
import traceback

from langchain_core.callbacks import BaseCallbackHandler

import demo

CREATE_LOCK = threading.Lock()
RUN_LOCK = threading.Lock()
# The number of exchanges each session's memory keeps, as the package's own.
WINDOW = 5
QUESTIONS = demo.QUESTIONS

# Set by the launcher (or a test) before the first session starts.
BACKEND = None


class Step:
    """One visible step of a run: `kind` is "tool", "sql" (the statement),
    "rows", "forecast", "code" (the chart agent's Python) or "error";
    `depth` is 1 for the conversational agent's own tools, 2 for the tools
    of the agents it called."""

    __slots__ = ("kind", "text", "depth")

    def __init__(self, kind, text, depth=1):
        self.kind, self.text, self.depth = kind, text, depth

    def __repr__(self):
        return "Step(%r, %r, %r)" % (self.kind, self.text, self.depth)


class Exchange:
    """A question and everything its run left: the steps, the answer or the
    error message, the chart (PNG bytes), and for a forecast its table and
    the history-plus-forecast chart."""

    def __init__(self, question):
        self.question = question
        self.steps = []
        self.answer = None
        self.error = None
        self.chart = None
        self.forecast = None
        self.forecast_chart = None
        self.seconds = None


class StepReporter(BaseCallbackHandler):
    """Turns the framework's tool callbacks into Steps as they happen and
    hands each to `emit`: which tool was called, the SQL it ran and how many
    rows came back, the forecast request, the code the chart agent ran."""

    # The forecast tool's own inner call repeats the request; the step of the
    # outer call already shows it.
    _HIDDEN = {"forecast"}

    def __init__(self, emit):
        self.emit = emit
        self._depth = {}
        self._names = {}

    def on_tool_start(self, serialized, input_str, *, run_id=None, parent_run_id=None, **kwargs):
        name = (serialized or {}).get("name") or "tool"
        depth = self._depth_of(parent_run_id) + 1
        self._depth[run_id] = depth
        self._names[run_id] = name
        if name in self._HIDDEN:
            return
        if name == "sql_db_query":
            self.emit(Step("sql", single_argument(input_str).strip(), depth))
        elif name == "ForecastTool":
            self.emit(Step("forecast", describe_forecast_request(input_str), depth))
        elif name == "Python_REPL":
            self.emit(Step("code", single_argument(input_str).strip(), depth))
        else:
            self.emit(Step("tool", "%s: %s" % (name, demo.brief(input_str)), depth))

    def on_tool_end(self, output, *, run_id=None, **kwargs):
        if self._names.pop(run_id, None) == "sql_db_query":
            rows = count_rows(output)
            depth = self._depth.get(run_id, 1)
            if rows is None:  # the database's refusal, which the model gets to read
                self.emit(Step("error", "the query failed: %s" % demo.brief(output, 300), depth))
            else:
                self.emit(Step("rows", "%d row%s" % (rows, "" if rows == 1 else "s"), depth))
        self._depth.pop(run_id, None)

    def on_tool_error(self, error, *, run_id=None, **kwargs):
        self.emit(Step("error", "%s failed: %s" % (self._names.pop(run_id, "tool"), one_line(error)),
                       self._depth.pop(run_id, 1)))

    def _depth_of(self, run_id):
        # Tools called by a nested agent have that agent's tool run as an
        # ancestor; the chains between are not tools and count for nothing.
        return self._depth.get(run_id, 1 if run_id is not None and self._depth else 0)


def single_argument(input_str):
    """A tool input as the tool's one argument: structured tools are called
    with the repr of a one-key dict ({'query': '...'})."""
    text = str(input_str)
    try:
        decoded = ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return text
    if isinstance(decoded, dict) and len(decoded) == 1:
        return str(next(iter(decoded.values())))
    return text


def count_rows(output):
    """The number of rows in the SQL tool's answer (the repr of a list of
    tuples, or "" for none), or None when it is not such a list (an error
    text). Counts the tuples at the list's top level, skipping quoted text."""
    text = str(output).strip()
    if not text:
        return 0
    if not (text.startswith("[") and text.endswith("]")):
        return None
    depth, rows, quote, escaped = 0, 0, None, False
    for char in text:
        if quote:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == quote:
                quote = None
        elif char in "'\"":
            quote = char
        elif char in "([{":
            depth += 1
            rows += depth == 2 and char == "("
        elif char in ")]}":
            depth -= 1
    return rows if depth == 0 and quote is None else None


def describe_forecast_request(input_str):
    """The forecast request in a line: how many points, from when to when,
    and how many periods ahead."""
    try:
        request = json.loads(str(input_str).replace("'", '"'))
        dates, period = request["data_input"]["date"], request.get("period", "?")
        return "%s periods ahead from %d points (%s to %s)" % (period, len(dates), dates[0], dates[-1])
    except (ValueError, KeyError, TypeError, IndexError):
        return "forecast request: %s" % demo.brief(input_str)


def one_line(error, width=300):
    text = " ".join(str(error).split()) or type(error).__name__
    return text if len(text) <= width else text[: width - 3] + "..."


def explain(error):
    """What to tell the person at the page when a run fails: which side
    failed and the error's own words, never a traceback."""
    module = type(error).__module__.split(".")[0]
    if module in ("openai", "httpx") or isinstance(error, json.JSONDecodeError):
        side = "The language model service failed"
    elif module in ("sqlalchemy", "pymysql"):
        side = "The database failed"
    else:
        side = "The agent failed"
    return "%s (%s): %s" % (side, type(error).__name__, one_line(error))


class Backend:
    """What every session shares: the chat model, the database handle and
    the folder under which each session gets its own output folder."""

    def __init__(self, llm, db, root, description=""):
        self.llm = llm
        self.db = db
        self.root = root
        self.description = description

    def new_conversation(self):
        import zarvosdk.agent
        from langchain.memory import ConversationBufferWindowMemory
        from zarvosdk.agent import AgentInitializer

        folder = tempfile.mkdtemp(prefix="session-", dir=self.root)
        with CREATE_LOCK:
            memory = ConversationBufferWindowMemory(memory_key="chat_history", k=WINDOW, return_messages=True)
            zarvosdk.agent.conversational_memory = memory
            with sandboxed_code_tool(folder):
                agent = AgentInitializer(self.llm, self.db, path=folder).create_agent()
        return Conversation(agent, folder, memory)


@contextlib.contextmanager
def sandboxed_code_tool(folder):
    """While an agent is built: the chart agent's code tool is the package's
    sandboxed one writing only into `folder`, when the package has it."""
    import zarvosdk.agent

    try:
        from zarvosdk.sandbox import SandboxedPythonREPLTool
    except ImportError:
        yield
        return
    import functools

    saved = zarvosdk.agent.PythonREPLTool
    zarvosdk.agent.PythonREPLTool = functools.partial(SandboxedPythonREPLTool, output_dir=folder)
    try:
        yield
    finally:
        zarvosdk.agent.PythonREPLTool = saved


class Conversation:
    """One browser session's agent, memory and output folder, and the
    exchanges so far (the page draws them again on every rerun)."""

    def __init__(self, agent, folder, memory=None):
        self.agent = agent
        self.folder = folder
        self.memory = memory
        self.log = os.path.join(folder, demo.FRAMEWORK_LOG)
        self.exchanges = []

    def ask(self, question, on_step=lambda step: None, on_wait=lambda: None):
        """Runs one question; every step goes to `on_step` as it happens.
        Returns the Exchange, with `error` set instead of raising when the
        run failed. `on_wait` is called first if another session's run has
        to finish before this one can start."""
        exchange = Exchange(question)

        def emit(step):
            exchange.steps.append(step)
            on_step(step)

        trace = demo.ToolTrace(io.StringIO())
        chart = os.path.join(self.folder, demo.CHART)
        started = time.monotonic()
        if not RUN_LOCK.acquire(blocking=False):
            on_wait()
            RUN_LOCK.acquire()
        cwd = os.getcwd()
        try:
            before = _mtime(chart)
            os.chdir(self.folder)
            # The framework's own step-by-step output goes to the session's
            # log, as the terminal demo's does, with the traceback of a failure.
            with open(self.log, "a", encoding="utf-8") as log:
                print("\n===== %s\n" % question, file=log, flush=True)
                try:
                    with contextlib.redirect_stdout(demo.PlainText(log)), contextlib.redirect_stderr(log):
                        exchange.answer = str(self.agent.run(question, callbacks=[StepReporter(emit), trace]))
                except Exception as error:  # any failure of the model, the database or the agent
                    exchange.error = explain(error)
                    traceback.print_exc(file=log)
                    print("%s: %s (traceback in %s)" % (os.path.basename(self.folder), exchange.error, self.log),
                          file=sys.stderr, flush=True)
            if _mtime(chart) != before:
                exchange.chart = _read(chart)
            if exchange.error is None:
                self._add_forecast(exchange, trace.calls)
        except Exception as error:  # the session's folder or log unusable: said on the page too
            exchange.error = exchange.error or explain(error)
        finally:
            os.chdir(cwd)
            RUN_LOCK.release()
        exchange.seconds = time.monotonic() - started
        self.exchanges.append(exchange)
        return exchange

    def _add_forecast(self, exchange, calls):
        try:
            dates, values, table = demo.forecast_of(calls)
        except (ValueError, KeyError, TypeError):
            return
        exchange.forecast = table
        path = os.path.join(self.folder, demo.FORECAST_CHART)
        try:
            demo.draw_forecast_chart(dates, values, table, path)
        except (ValueError, KeyError, TypeError):
            return
        exchange.forecast_chart = _read(path)


def _mtime(path):
    return os.stat(path).st_mtime_ns if os.path.exists(path) else None


def _read(path):
    with open(path, "rb") as file:
        return file.read()
