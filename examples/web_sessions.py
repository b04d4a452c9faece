"""The chat page's conversations: one agent, memory, sandbox and folder per
browser session, what one question produced, ready to be drawn, and the
bounds that end sessions.

Nothing here imports Streamlit, so the page (web_page.py) only draws; the
launcher (web_demo.py) builds the one `Backend` of the process and puts it in
`BACKEND` before the server starts.

Sessions run side by side. Each question runs in a thread of its own; what
the framework prints goes, through `SessionStream` on sys.stdout and
sys.stderr, to the log of the session whose run printed it; the chart
agent's code runs in the session's own sandbox, which writes only into the
session's `code/` folder, so no run moves the process's working directory.
Two things stay one per process and are handled so:

* `zarvosdk.agent.conversational_memory`, `zarvosdk.agent.PythonREPLTool`
  and `zarvosdk.agent.ForecastTool`, which `create_agent` reads when called:
  a session binds its own window memory, its own sandboxed tool and the
  page's bounded forecast tool (web_forecast.py) there and builds its agent
  under `CREATE_LOCK` (a moment, not a run).
* matplotlib's shared state (font cache, settings) when the page draws a
  forecast's chart: under `DRAW_LOCK`, a fraction of a second.
"""
import contextvars
import functools
import gc
import io
import json
import os
import re
import shutil
import struct
import sys
import tempfile
import threading
import time
import traceback

from langchain_core.callbacks import BaseCallbackHandler

import demo

CREATE_LOCK = threading.Lock()
DRAW_LOCK = threading.Lock()
# The number of exchanges each session's memory keeps, as the package's own.
WINDOW = 5
QUESTIONS = demo.QUESTIONS
# What the page keeps of a chart: a PNG of at most this many pixels a side,
# and at most this many bytes of charts per session (the oldest go first).
MAX_CHART_SIDE = 4096
CHART_BYTES = 20 * 1024 * 1024
# The rows of a forecast's table shown on the page, and the points of its
# history and of the forecast drawn in its chart.
FORECAST_ROWS = 100
CHART_POINTS = 5000
# What the page keeps of a text: a question, an answer, a step's SQL or code
# (the model's, which may be of any length, and each is sent to the browser
# on every rerun), and how many exchanges a session keeps (the oldest go).
QUESTION_CHARS = 2000
ANSWER_CHARS = 100_000
STEP_CHARS = 20_000
EXCHANGES = 50
# The forecast runs in this process and holds the GIL while it works: the
# page's forecast tool refuses more periods or a longer history than these
# (the launcher's --forecast-periods and --forecast-rows).
FORECAST_PERIODS = 1000
FORECAST_HISTORY = 5000
# A session at the bound may take the place of one idle for this long.
RECLAIM_SECONDS = 120
# A run still going this long past its time is given up (Conversation.give_up):
# longer than the longest wait between two of the framework's events in a
# run that works, a model request's three tries of 60 s each.
GIVE_UP_SECONDS = 240
# How often the reaper looks for sessions to end.
REAP_SECONDS = 2.0

# Set by the launcher (or a test) before the first session starts.
BACKEND = None

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


# -- what the framework prints, per session --------------------------------------

_SESSION_OUTPUT = contextvars.ContextVar("session_output", default=None)


class SessionStream:
    """Stands in for sys.stdout or sys.stderr: what a question's run prints
    goes to that run's log (set for its thread in `_SESSION_OUTPUT`), the
    rest to the process's own stream."""

    def __init__(self, process_stream):
        self.process_stream = process_stream

    def _target(self):
        return _SESSION_OUTPUT.get() or self.process_stream

    def write(self, text):
        return self._target().write(text)

    def flush(self):
        self._target().flush()

    def isatty(self):
        return _SESSION_OUTPUT.get() is None and self.process_stream.isatty()

    def __getattr__(self, name):
        return getattr(self.process_stream, name)


def process_stderr():
    """The process's own standard error, also while a run's output goes to its log."""
    stream = sys.stderr
    return stream.process_stream if isinstance(stream, SessionStream) else stream


def route_output():
    """Puts SessionStream on sys.stdout and sys.stderr, once."""
    for name in ("stdout", "stderr"):
        stream = getattr(sys, name)
        if not isinstance(stream, SessionStream):
            setattr(sys, name, SessionStream(stream))


# -- one run ---------------------------------------------------------------------

# The page's label for each kind of step.
STEP_LABELS = {
    "tool": "Tool",
    "sql": "SQL",
    "rows": "Rows",
    "forecast": "Forecast request",
    "code": "Chart code",
    "error": "Error",
}


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
    """A question and everything its run left: the steps (growing while it
    runs), the answer, or the error's headline in the page's own words with
    the error's own text as `detail`, the chart (PNG bytes), and for a
    forecast its table and the history-plus-forecast chart. `done` is set
    when the run has ended."""

    def __init__(self, question):
        self.question = question
        self.steps = []
        self.answer = None
        self.error = None
        self.detail = None
        self.chart = None
        self.forecast = None
        self.forecast_chart = None
        self.note = None
        self.seconds = None
        self.done = threading.Event()

    def chart_bytes(self):
        return len(self.chart or b"") + len(self.forecast_chart or b"")


class RunTimeout(Exception):
    """A question's run went past its time."""


class Deadline(BaseCallbackHandler):
    """Stops a run at the first event of the framework after `seconds`:
    raising from a callback handler with `raise_error` ends the run."""

    raise_error = True

    def __init__(self, seconds):
        self.seconds = seconds
        self.at = time.monotonic() + seconds

    def _check(self, *args, **kwargs):
        if time.monotonic() > self.at:
            raise RunTimeout("stopped after %g minutes" % (self.seconds / 60))

    on_llm_start = on_chat_model_start = on_llm_new_token = on_llm_end = _check
    on_chain_start = on_chain_end = on_tool_start = on_tool_end = _check
    on_agent_action = on_agent_finish = on_text = on_retriever_start = _check


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
            self.emit(Step("sql", cut(demo.single_argument(input_str).strip(), STEP_CHARS), depth))
        elif name == "ForecastTool":
            self.emit(Step("forecast", describe_forecast_request(input_str), depth))
        elif name == "Python_REPL":
            self.emit(Step("code", cut(demo.single_argument(input_str).strip(), STEP_CHARS), depth))
        else:
            self.emit(Step("tool", "%s: %s" % (name, demo.brief(input_str)), depth))

    def on_tool_end(self, output, *, run_id=None, **kwargs):
        name = self._names.pop(run_id, None)
        if name == "ForecastTool" and isinstance(output, dict) and "error" in output:
            # The forecast tool's answer to a bad or refused request, which the model reads.
            self.emit(Step("error", "the forecast failed: %s" % one_line(output["error"]),
                           self._depth.get(run_id, 1)))
        elif name == "sql_db_query":
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


def cut(text, width):
    """`text`, or its first `width` characters and a line saying how many more there were."""
    if len(text) <= width:
        return text
    return "%s\n... and %d more characters" % (text[:width], len(text) - width)


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
        return "%s periods ahead from %d points (%s to %s)" % (
            demo.brief(str(period), 40), len(dates), demo.brief(str(dates[0]), 40), demo.brief(str(dates[-1]), 40))
    except (ValueError, KeyError, TypeError, IndexError, RecursionError):
        return "forecast request: %s" % demo.brief(input_str)


def one_line(error, width=300):
    text = " ".join(str(error).split()) or type(error).__name__
    return text if len(text) <= width else text[: width - 3] + "..."


def side_of(error):
    """Which side failed, in the page's own words."""
    module = type(error).__module__.split(".")[0]
    if isinstance(error, RunTimeout):
        return "The question took too long and was stopped"
    if module in ("openai", "httpx") or isinstance(error, json.JSONDecodeError):
        return "The language model service failed"
    if module in ("sqlalchemy", "pymysql"):
        return "The database failed"
    return "The agent failed"


def headline(error):
    """The page's own words for a failure: the side and the error's class
    (a name from code, kept to the characters of a name)."""
    kind = re.sub(r"[^A-Za-z0-9]", "", type(error).__name__) or "Error"
    return "%s (%s)." % (side_of(error), kind)


def explain(error):
    """The failure on one line, for the terminal and the session's log:
    which side failed and the error's own words, never a traceback."""
    return "%s (%s): %s" % (side_of(error), type(error).__name__, one_line(error))


# -- charts ----------------------------------------------------------------------

def checked_png(data):
    """The chart as PNG bytes the page wrote itself from the decoded pixels,
    or None when `data` is not a PNG of at most MAX_CHART_SIDE pixels a side
    that decodes. The size is read from the header before anything decodes,
    so a small file that would decode to a huge image is never opened."""
    if len(data) < 24 or data[:8] != PNG_SIGNATURE or data[12:16] != b"IHDR":
        return None
    width, height = struct.unpack(">II", data[16:24])
    if not (0 < width <= MAX_CHART_SIDE and 0 < height <= MAX_CHART_SIDE):
        return None
    from PIL import Image

    try:
        with Image.open(io.BytesIO(data), formats=["PNG"]) as image:
            if image.size != (width, height):
                return None
            image.load()
            if image.mode not in ("1", "L", "LA", "P", "RGB", "RGBA"):
                image = image.convert("RGBA")
            out = io.BytesIO()
            image.save(out, format="PNG")
    except Exception:  # any fault of a file the model's code wrote: not a chart
        return None
    return out.getvalue()


def read_chart(path):
    """The checked chart at `path`, None when there is none, or False when
    the file there is not a chart the page shows."""
    try:
        with open(path, "rb") as file:
            data = file.read(CHART_BYTES + 1)
    except FileNotFoundError:
        return None
    except OSError:  # a folder, a file it may not read: what the code left is no chart
        return False
    if len(data) > CHART_BYTES:
        return False
    return checked_png(data) or False


def empty_folder(folder):
    """Removes what is in `folder` (the sandbox's output), keeping the folder."""
    for entry in os.scandir(folder):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)
        else:
            os.unlink(entry.path)


def forecast_text(table, rows=FORECAST_ROWS):
    """A forecast's table as aligned text lines: date and value, at most
    `rows` rows, with a line saying how many more there were."""
    lines = ["%-12s %14s" % ("date", "forecast")]
    head = table.head(rows)
    for date, value in zip(head["dates"], head["Forecasted_values"]):
        day = date.strftime("%Y-%m-%d") if hasattr(date, "strftime") else str(date)
        try:
            shown = "{:,.2f}".format(float(value))
        except (TypeError, ValueError):
            shown = str(value)
        lines.append("%-12s %14s" % (day, shown))
    if len(table) > rows:
        lines.append("... and %d more rows" % (len(table) - rows))
    return "\n".join(lines)


# -- sessions --------------------------------------------------------------------

def start_sandbox(sandbox):
    """Runs nothing in `sandbox`, which starts it. A sandbox that cannot
    start says so on the session's first chart, where the model reads it."""
    try:
        sandbox._run("")
    except Exception:
        pass


class SessionsFull(Exception):
    """No room for another session: `limit` sessions hold a sandbox."""

    def __init__(self, limit):
        super().__init__("the page is serving %d conversations, as many as it may at once" % limit)
        self.limit = limit


class Backend:
    """What every session shares (the chat model, the database handle, the
    folder under which each session gets its own) and the sessions
    themselves: at most `max_sessions` at once, each ended `gone_seconds`
    after its tab is gone or `idle_minutes` after its last question, each
    question stopped after `run_minutes`, each forecast refused past
    `forecast_periods` periods or `forecast_history` rows of history
    (web_forecast.py). `is_session_alive(session_id)`,
    set by the launcher, tells whether a browser session is still there;
    `on_released(session_id)` hears of each session ended for its tab. A
    thread of its own ends sessions every `reap_every` seconds (None: only
    when `reap` is called)."""

    def __init__(self, llm, db, root, description="", max_sessions=8, idle_minutes=15.0,
                 run_minutes=5.0, gone_seconds=15.0, is_session_alive=None, on_released=None,
                 reap_every=REAP_SECONDS, forecast_periods=FORECAST_PERIODS, forecast_history=FORECAST_HISTORY):
        self.llm = llm
        self.db = db
        self.root = root
        self.description = description
        self.max_sessions = max_sessions
        self.idle_seconds = idle_minutes * 60
        self.run_seconds = run_minutes * 60
        self.gone_seconds = gone_seconds
        self.is_session_alive = is_session_alive
        self.on_released = on_released
        self.reap_every = reap_every
        self.forecast_bounds = {"max_periods": forecast_periods, "max_rows": forecast_history}
        self._sessions = []
        self._starting = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._reaper = None
        route_output()

    def live_sessions(self):
        with self._lock:
            return list(self._sessions)

    def new_conversation(self, session_id=None):
        """A new session's Conversation; SessionsFull when `max_sessions`
        hold one and none has been idle for RECLAIM_SECONDS."""
        self._start_reaper()
        with self._lock:
            if len(self._sessions) + self._starting >= self.max_sessions:
                self._reclaim_locked()
            if len(self._sessions) + self._starting >= self.max_sessions:
                raise SessionsFull(self.max_sessions)
            self._starting += 1
        try:
            conversation = self._build(session_id)
        finally:
            with self._lock:
                self._starting -= 1
        with self._lock:
            self._sessions.append(conversation)
        return conversation

    def _build(self, session_id):
        folder = tempfile.mkdtemp(prefix="session-", dir=self.root)
        code = os.path.join(folder, "code")
        os.mkdir(code)
        try:
            memory, agent = self._create_agent(code)
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        return Conversation(agent, folder, memory, run_seconds=self.run_seconds, session_id=session_id)

    def _create_agent(self, code):
        """(window memory, agent) of a new session whose chart agent writes
        into `code`: the module names create_agent reads are bound to the
        session's own for the moment it takes."""
        import zarvosdk.agent
        from langchain.memory import ConversationBufferWindowMemory
        from zarvosdk.agent import AgentInitializer
        from zarvosdk.sandbox import SandboxedPythonREPLTool

        from web_forecast import BoundedForecastTool

        names = ("conversational_memory", "PythonREPLTool", "ForecastTool")
        with CREATE_LOCK:
            memory = ConversationBufferWindowMemory(memory_key="chat_history", k=WINDOW, return_messages=True)
            # The chart agent's code runs in a sandbox of this session's own,
            # which may write into its code/ folder only; the forecast runs
            # here, within the page's bounds.
            sandbox = SandboxedPythonREPLTool(output_dir=code)
            bound = (memory, lambda: sandbox, functools.partial(BoundedForecastTool, **self.forecast_bounds))
            saved = [getattr(zarvosdk.agent, name) for name in names]
            for name, value in zip(names, bound):
                setattr(zarvosdk.agent, name, value)
            try:
                agent = AgentInitializer(self.llm, self.db, path=code).create_agent()
            finally:
                for name, value in zip(names, saved):
                    setattr(zarvosdk.agent, name, value)
        # The sandbox starts now, while the session's first question waits
        # for the model, rather than on that question's first chart.
        threading.Thread(target=start_sandbox, args=(sandbox,), name="sandbox-start", daemon=True).start()
        return memory, agent

    def _reclaim_locked(self):
        """Ends the session idle longest, if it has been idle RECLAIM_SECONDS."""
        now = time.monotonic()
        idle = [c for c in self._sessions if c.running is None and now - c.last_used >= RECLAIM_SECONDS]
        if idle:
            oldest = min(idle, key=lambda c: c.last_used)
            self._sessions.remove(oldest)
            oldest.release("This conversation was ended to make room for another after %d minutes without "
                           "a question." % (RECLAIM_SECONDS // 60))

    def release(self, conversation, why):
        with self._lock:
            if conversation in self._sessions:
                self._sessions.remove(conversation)
        conversation.release(why)

    def reap(self, now=None):
        """Ends the sessions whose tab has been gone `gone_seconds`, that
        have had no question for `idle_seconds`, or whose run is still going
        GIVE_UP_SECONDS past its time; returns how many."""
        now = time.monotonic() if now is None else now
        ended = []
        for conversation in self.live_sessions():
            if conversation.running is not None:
                if now - conversation.last_used >= self.run_seconds + GIVE_UP_SECONDS and conversation.give_up(
                        "The question did not end within %g minutes and was given up; this conversation "
                        "ended." % ((self.run_seconds + GIVE_UP_SECONDS) / 60)):
                    ended.append((conversation, conversation.closed))
                continue
            alive = True
            if self.is_session_alive is not None and conversation.session_id is not None:
                alive = self.is_session_alive(conversation.session_id)
            if alive:
                conversation.gone_since = None
            elif conversation.gone_since is None:
                conversation.gone_since = now
            if conversation.gone_since is not None and now - conversation.gone_since >= self.gone_seconds:
                ended.append((conversation, "The tab of this conversation was closed."))
            elif now - conversation.last_used >= self.idle_seconds:
                ended.append((conversation, "This conversation ended after %g minutes without a question."
                              % (self.idle_seconds / 60)))
        for conversation, why in ended:
            self.release(conversation, why)
            if conversation.gone_since is not None and self.on_released is not None:
                self.on_released(conversation.session_id)
        if ended:
            # The agents' objects hold cycles; the sandbox ends when its tool is collected.
            gc.collect()
        return len(ended)

    def _start_reaper(self):
        with self._lock:
            if self._reaper is not None or self.reap_every is None:
                return
            self._reaper = threading.Thread(target=self._reap_until_closed, name="session-reaper", daemon=True)
        self._reaper.start()

    def _reap_until_closed(self):
        while not self._stop.wait(self.reap_every):
            try:
                self.reap()
            except Exception:  # the reaper must outlive one bad round; the terminal hears of it
                traceback.print_exc()

    def close(self):
        """Ends every session (their sandboxes with them) and the reaper."""
        self._stop.set()
        for conversation in self.live_sessions():
            self.release(conversation, "The page was stopped.")
        gc.collect()


class Conversation:
    """One browser session's agent, memory and folder, and the exchanges so
    far (the page draws them again on every rerun). At most one question
    runs at a time; `running` is its Exchange while it does."""

    def __init__(self, agent, folder, memory=None, run_seconds=300.0, session_id=None):
        self.agent = agent
        self.folder = folder
        self.code = os.path.join(folder, "code")
        self.memory = memory
        self.run_seconds = run_seconds
        self.session_id = session_id
        self.log = os.path.join(folder, demo.FRAMEWORK_LOG)
        self.exchanges = []
        self.running = None
        self.closed = None  # why the conversation ended, once it has
        self.last_used = time.monotonic()
        self.gone_since = None
        self._lock = threading.Lock()

    def snapshot(self):
        """(the finished exchanges, the running one or None), taken together:
        a run that ends meanwhile is in one or the other, never both."""
        with self._lock:
            return list(self.exchanges), self.running

    def start(self, question):
        """Starts answering `question` in a thread of its own and returns its
        Exchange, whose steps grow as the run goes; None when a question is
        already running or the conversation has ended."""
        with self._lock:
            if self.running is not None or self.closed:
                return None
            exchange = self.running = Exchange(question)
            self.last_used = time.monotonic()
        try:
            threading.Thread(target=self._answer, args=(exchange, self.agent), daemon=True,
                             name="question-%s" % os.path.basename(self.folder)).start()
        except BaseException:
            with self._lock:
                self.running = None
            raise
        return exchange

    def ask(self, question):
        """Runs one question to its end and returns its Exchange (for
        callers without a page); None as for `start`."""
        exchange = self.start(question)
        if exchange is not None:
            exchange.done.wait()
        return exchange

    def _answer(self, exchange, agent):
        try:
            self._run(exchange, agent)
        finally:
            with self._lock:
                if self.running is exchange:  # else given up, and already among the exchanges
                    self.exchanges.append(exchange)
                    del self.exchanges[:-EXCHANGES]
                    self._keep_charts_within_budget()
                    self.running = None
                    self.last_used = time.monotonic()
                closed = self.closed
            exchange.done.set()
            if closed:
                self._free()

    def give_up(self, why):
        """Ends the conversation whose run is still going long past its time
        with no event of the framework to stop it at (a model's answer
        trickling in a byte at a time never trips the HTTP client's
        timeouts, which bound each wait for bytes): the tab gets the exchange
        as stopped, with `why`, and its next question starts a new
        conversation. The run's thread ends on its own, if ever, and then
        changes nothing here. False when no run was going."""
        with self._lock:
            exchange = self.running
            if exchange is None or self.closed:
                return False
            # The tab is shown a copy: the run's thread may write into its own yet.
            stopped = Exchange(exchange.question)
            stopped.steps = list(exchange.steps)
            for shown in (exchange, stopped):
                shown.error, shown.detail = headline(RunTimeout()), why
            stopped.seconds = time.monotonic() - self.last_used
            stopped.done.set()
            self.exchanges.append(stopped)
            del self.exchanges[:-EXCHANGES]
            self.running = None
            self.closed = why
        exchange.done.set()
        self._free()
        return True

    def _run(self, exchange, agent):
        trace = demo.ToolTrace(io.StringIO())
        started = time.monotonic()
        try:
            empty_folder(self.code)
            with open(self.log, "a", encoding="utf-8") as log:
                print("\n===== %s\n" % exchange.question, file=log, flush=True)
                # The framework's own step-by-step output goes to this
                # session's log, as the terminal demo's does.
                token = _SESSION_OUTPUT.set(demo.PlainText(log))
                try:
                    callbacks = [StepReporter(exchange.steps.append), trace, Deadline(self.run_seconds)]
                    exchange.answer = cut(str(agent.run(exchange.question, callbacks=callbacks)), ANSWER_CHARS)
                except Exception as error:  # any failure of the model, the database or the agent
                    self._failed(exchange, error, log)
                finally:
                    _SESSION_OUTPUT.reset(token)
            chart = read_chart(os.path.join(self.code, demo.CHART))
            if chart is False:
                exchange.note = "The chart agent's file was not a chart the page shows (a PNG of at most %d pixels a side)." % MAX_CHART_SIDE
            else:
                exchange.chart = chart
            if exchange.error is None:
                self._add_forecast(exchange, trace.calls)
        except Exception as error:  # the session's folder or log unusable: said on the page too
            if exchange.error is None:
                exchange.error, exchange.detail = headline(error), one_line(error)
        finally:
            try:
                empty_folder(self.code)
            except OSError:
                pass
            exchange.seconds = time.monotonic() - started

    def _failed(self, exchange, error, log):
        exchange.error, exchange.detail = headline(error), one_line(error)
        traceback.print_exc(file=log)
        # The terminal's line: sys.stderr still writes into this run's log.
        print("%s: %s (traceback in %s)" % (os.path.basename(self.folder), explain(error), self.log),
              file=process_stderr(), flush=True)

    def _add_forecast(self, exchange, calls):
        try:
            dates, values, table = demo.forecast_of(calls)
        except (ValueError, KeyError, TypeError):
            return
        exchange.forecast = forecast_text(table)
        path = os.path.join(self.folder, demo.FORECAST_CHART)
        try:
            # The model wrote the history it sent; the chart draws at most
            # the last CHART_POINTS of it, and as many forecast points.
            with DRAW_LOCK:
                demo.draw_forecast_chart(dates[-CHART_POINTS:], values[-CHART_POINTS:],
                                         table.head(CHART_POINTS), path)
        except (ValueError, KeyError, TypeError, OverflowError):
            return
        exchange.forecast_chart = read_chart(path) or None

    def _keep_charts_within_budget(self):
        """Drops the oldest charts past CHART_BYTES for the session."""
        total = sum(e.chart_bytes() for e in self.exchanges)
        for exchange in self.exchanges:
            if total <= CHART_BYTES:
                break
            if exchange.chart_bytes():
                total -= exchange.chart_bytes()
                exchange.chart = exchange.forecast_chart = None
                exchange.note = "This exchange's charts are no longer kept (at most %d MB of charts a conversation)." % (CHART_BYTES // 2**20)

    def release(self, why):
        """Ends the conversation: its agent, memory, sandbox and folder go
        now, or when the question running ends. The exchanges' text stays
        for a tab still showing them."""
        with self._lock:
            if self.closed:
                return
            self.closed = why
            running = self.running is not None
        if not running:
            self._free()

    def _free(self):
        self.agent = None
        self.memory = None
        for exchange in self.exchanges:
            exchange.chart = exchange.forecast_chart = None
        shutil.rmtree(self.folder, ignore_errors=True)
