"""The chat page through Streamlit's headless test API, with agents that
stand in for the real ones, and each session's agent, memory, output and
bounds."""
import io
import os
import threading
import time

import httpx
import openai
import pytest
from streamlit.testing.v1 import AppTest

import web_sessions
from web_sessions import Backend, Conversation, count_rows

PAGE = os.path.join(web_sessions.__file__.rsplit(os.sep, 1)[0], "web_page.py")


def png(width=2, height=2):
    from PIL import Image

    out = io.BytesIO()
    Image.new("RGB", (width, height), "white").save(out, format="PNG")
    return out.getvalue()


PNG = png()


class ChartingAgent:
    """Reports a SQL call with two rows, then draws a chart into the
    session's code folder, where the sandbox puts what the chart agent saves."""

    def __init__(self, folder=None):
        self.folder = folder

    def run(self, question, callbacks=()):
        for handler in callbacks:
            handler.on_tool_start({"name": "sql_db_query"}, "{'query': 'SELECT d, v FROM sales'}", run_id=1)
            handler.on_tool_end("[(1, 'a)'), (2, 'b')]", run_id=1)
        with open(os.path.join(self.folder, "code", "temp_chart.png"), "wb") as chart:
            chart.write(PNG)
        return "Charted: " + question


class FailingAgent:
    def __init__(self, error):
        self.error = error

    def run(self, question, callbacks=()):
        raise self.error


class OneAgentBackend(Backend):
    """A backend whose sessions get the agent `make_agent(folder)` makes, or
    `agent` itself."""

    def __init__(self, root, agent=None, make_agent=None, **bounds):
        super().__init__(None, None, str(root), "test backend", reap_every=None, **bounds)
        self.make_agent = make_agent or (lambda folder: agent)
        self.made = 0

    def _build(self, session_id):
        folder = self.root + "/session-%d" % self.made
        self.made += 1
        os.makedirs(folder + "/code")
        return Conversation(self.make_agent(folder), folder, run_seconds=self.run_seconds, session_id=session_id)


@pytest.fixture
def page(monkeypatch):
    def start(backend):
        monkeypatch.setattr(web_sessions, "BACKEND", backend)
        app = AppTest.from_file(PAGE, default_timeout=30)
        return app.run()

    return start


def test_an_answer_shows_its_steps_and_chart_and_leaves_the_directory(page, tmp_path):
    cwd = os.getcwd()
    app = page(OneAgentBackend(tmp_path, make_agent=ChartingAgent))
    app.chat_input[0].set_value("Draw the sales").run()
    assert not app.exception
    texts = [t.value for t in app.text]
    assert "Charted: Draw the sales" in texts and "2 rows" in texts
    assert "**Rows:**" in [m.value for m in app.markdown]
    assert [c.value for c in app.code] == ["SELECT d, v FROM sales"]
    assert len(app.get("imgs")) == 1
    assert os.getcwd() == cwd
    # The next rerun draws the exchange again from the session's state.
    app.run()
    assert "Charted: Draw the sales" in [t.value for t in app.text]
    assert len(app.get("imgs")) == 1
    # What the chart agent left in the code folder is gone after the run.
    assert os.listdir(str(tmp_path / "session-0" / "code")) == []


@pytest.mark.parametrize("error, says, detail", [
    (openai.APIConnectionError(request=httpx.Request("POST", "http://127.0.0.1:9/v1/chat/completions")),
     "The language model service failed (APIConnectionError).", "Connection error."),
    (ValueError("An output parsing error occurred: ![x](http://127.0.0.1:9/leak)"),
     "The agent failed (ValueError).", "An output parsing error occurred: ![x](http://127.0.0.1:9/leak)"),
])
def test_a_failed_run_is_a_message_on_the_page_not_a_traceback(page, tmp_path, error, says, detail):
    app = page(OneAgentBackend(tmp_path, FailingAgent(error)))
    app.button(key="suggested-0").click().run()
    assert not app.exception
    # The red message is the page's own words; the error's own, as text.
    assert [e.value for e in app.error] == [says]
    assert detail in [t.value for t in app.text]
    # The question still shows, and the page takes the next one.
    assert web_sessions.QUESTIONS[0] in [t.value for t in app.text]
    assert len(app.chat_input) == 1
    # The traceback is in the session's log; the terminal's line is not.
    with open(str(tmp_path / "session-0" / "agent-framework.log")) as log:
        text = log.read()
    assert "Traceback" in text and "(traceback in" not in text


def test_a_session_that_cannot_start_says_why(page, tmp_path):
    class Broken(Backend):
        def _build(self, session_id):
            import sqlalchemy.exc

            raise sqlalchemy.exc.OperationalError("SELECT 1", {}, Exception("Lost connection to server"))

    app = page(Broken(None, None, str(tmp_path)))
    assert not app.exception
    assert [e.value for e in app.error] == ["The database failed (OperationalError)."]
    assert "Lost connection to server" in app.text[-1].value


@pytest.mark.parametrize("output, rows", [
    ("", 0),
    ("[(Decimal('41835.00'),)]", 1),
    ("[(datetime.date(2024, 1, 1), Decimal('1000.00')), (datetime.date(2024, 1, 2), Decimal('1025.00'))]", 2),
    ("[('a) (b', 1), ('it\\'s (', 2), (\"x'(\", 3)]", 3),
    ("Error: (pymysql.err.ProgrammingError) (1146, \"Table 'x' doesn't exist\")", None),
])
def test_count_rows(output, rows):
    assert count_rows(output) == rows


def test_each_session_gets_an_agent_with_its_own_memory(tmp_path):
    import zarvosdk.agent
    from langchain_community.utilities import SQLDatabase
    from langchain_core.language_models.fake_chat_models import FakeListChatModel

    shared = zarvosdk.agent.conversational_memory
    backend = Backend(FakeListChatModel(responses=["Final Answer: ok"]), SQLDatabase.from_uri("sqlite://"),
                      str(tmp_path))
    try:
        first, second = backend.new_conversation(), backend.new_conversation()
    finally:
        zarvosdk.agent.conversational_memory = shared
    first.memory.save_context({"input": "first's question"}, {"output": "first's answer"})
    assert first.folder != second.folder
    assert first.agent.memory.load_memory_variables({})["chat_history"]
    assert second.agent.memory.load_memory_variables({})["chat_history"] == []
    assert shared.load_memory_variables({})["chat_history"] == []


@pytest.fixture(scope="module")
def forecast(tmp_path_factory):
    """The forecast tool of a session's agent."""
    import zarvosdk.agent
    from langchain_community.utilities import SQLDatabase
    from langchain_core.language_models.fake_chat_models import FakeListChatModel

    package_tool = zarvosdk.agent.ForecastTool
    backend = Backend(FakeListChatModel(responses=["Final Answer: ok"]), SQLDatabase.from_uri("sqlite://"),
                      str(tmp_path_factory.mktemp("forecast")), reap_every=None)
    [tool] = [t for t in backend.new_conversation().agent.tools if t.name == "ForecastTool"]
    assert zarvosdk.agent.ForecastTool is package_tool
    yield tool
    backend.close()


DAYS = ["2024-01-%02d" % day for day in range(1, 31)]


@pytest.mark.parametrize("dates, period, answer", [
    (DAYS[:2], web_sessions.FORECAST_PERIODS, web_sessions.FORECAST_PERIODS),  # at the bound: forecast
    (DAYS[:2], web_sessions.FORECAST_PERIODS + 1, "refused: 1001 periods is more than this page forecasts"),
    (DAYS * 167, 7, "refused: the history has 5010 rows; this page's forecast takes at most 5000"),
    (["2024-01-01", "1 January 2024", "2024-01-01T23:00"], 7, "refused: the dates are all one day"),
    (["2024-01-01", "no date"], 7, "Unknown string format: no date"),  # the package's tool's own error
])
def test_a_sessions_forecast_tool_refuses_what_would_hold_the_page(forecast, dates, period, answer):
    import json

    result = forecast.run(json.dumps({"data_input": {"date": dates, "values": list(range(len(dates)))},
                                      "period": period}))
    if isinstance(answer, int):
        assert len(result) == answer
    else:
        assert list(result) == ["error"] and answer in result["error"]


def test_a_forecast_request_too_deep_to_read_gets_the_tools_own_answer(forecast):
    # The bounds' own reading of it raised RecursionError, which failed the question.
    result = forecast.run('{"data_input": {"date": ' + "[" * 100000 + "]" * 100000 + ', "values": []}, "period": 7}')
    assert list(result) == ["error"]


def test_the_launcher_says_when_it_cannot_listen_before_starting_anything():
    import socket

    from web_demo import check_address

    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        assert check_address("127.0.0.1", port) == (
            "port %d on 127.0.0.1 is already in use; choose another with --port" % port)
    # 192.0.2.1 is a documentation address, never one of this machine's.
    assert check_address("192.0.2.1", port) == "cannot listen on 192.0.2.1 port %d: Cannot assign requested address" % port


def test_a_session_whose_folder_is_gone_gets_a_message_and_keeps_the_question(tmp_path):
    conversation = Conversation(ChartingAgent(str(tmp_path / "removed")), str(tmp_path / "removed"))
    exchange = conversation.ask("Draw the sales")
    assert exchange.error == "The agent failed (FileNotFoundError)."
    assert conversation.exchanges == [exchange]
    # The session is free for its next question.
    assert conversation.running is None


LEAK = "http://127.0.0.1:9/leak"
# An image, a link, raw HTML, an autolink, a bare address (which GitHub's
# Markdown links), a reference-style image.
HOSTILE = "![x](%s) [link](%s) <img src=%s> <%s> %s ![r][1]\n\n[1]: %s" % ((LEAK,) * 6)


class HostileAgent:
    """Puts an image and a link in every place a run's text reaches the
    page: a tool's input, a SQL statement, a refused query's error, the
    answer."""

    def run(self, question, callbacks=()):
        for handler in callbacks:
            handler.on_tool_start({"name": "SQLAgent"}, HOSTILE, run_id=1)
            handler.on_tool_start({"name": "sql_db_query"}, "SELECT '%s'" % HOSTILE, run_id=2, parent_run_id=1)
            handler.on_tool_end("Error: refused: SELECT '%s'" % HOSTILE, run_id=2)
            handler.on_tool_end("done", run_id=1)
        return "The total is 41835.00 " + HOSTILE


def test_text_from_the_model_tools_and_database_is_never_markdown(page, tmp_path):
    app = page(OneAgentBackend(tmp_path, HostileAgent()))
    app.chat_input[0].set_value("What were the total sales? " + HOSTILE).run()
    assert not app.exception
    # Markdown carries the page's own labels only.
    own = {"**Try:**"} | {"\u2003" * depth + "**%s:**" % label
                          for depth in (0, 1) for label in web_sessions.STEP_LABELS.values()}
    assert {m.value for m in app.markdown} <= own
    shown = [t.value for t in app.text] + [c.value for c in app.code]
    for part in ("What were the total sales? ", "SQLAgent: ", "the query failed: ", "The total is 41835.00 "):
        assert any(part in text and LEAK in text for text in shown), part
    assert not [e for e in app.error]


@pytest.mark.parametrize("data, shown", [
    (PNG, True),
    (PNG[:16] + (5000).to_bytes(4, "big") + PNG[20:], False),  # wider than the page takes, before decoding
    (PNG[:40], False),  # cut short: the header is right, the pixels are not there
    (b"GIF89a" + PNG[6:], False),
    (b"<svg xmlns='http://www.w3.org/2000/svg'><image href='%s'/></svg>" % LEAK.encode(), False),
])
def test_only_a_png_within_bounds_is_shown_as_a_chart_and_the_page_writes_it_anew(data, shown):
    checked = web_sessions.checked_png(data)
    assert (checked is not None) == shown
    if shown:
        assert checked.startswith(web_sessions.PNG_SIGNATURE)


@pytest.mark.parametrize("left, shown", [
    (None, None),  # no chart drawn
    ("folder", False),
    ("large", False),
    ("chart", True),
])
def test_what_the_chart_code_left_under_the_charts_name(tmp_path, left, shown):
    path = tmp_path / "temp_chart.png"
    if left == "folder":
        path.mkdir()
    elif left == "large":
        path.write_bytes(PNG + b"\0" * web_sessions.CHART_BYTES)
    elif left == "chart":
        path.write_bytes(PNG)
    chart = web_sessions.read_chart(str(path))
    assert (chart if chart in (None, False) else True) is shown


class MeetingAgent:
    """Prints, then waits until `meeting` has every session's run inside it:
    runs made one after the other never meet."""

    def __init__(self, meeting):
        self.meeting = meeting

    def run(self, question, callbacks=()):
        print("printed by the run of", question)
        self.meeting.wait(20)
        print("and again by", question, file=__import__("sys").stderr)
        return "answered " + question


def test_two_sessions_run_at_once_and_each_log_holds_its_own_output(tmp_path):
    meeting = threading.Barrier(2)
    backend = OneAgentBackend(tmp_path, MeetingAgent(meeting))
    first, second = backend.new_conversation(), backend.new_conversation()
    runs = [first.start("first question"), second.start("second question")]
    assert all(run.done.wait(30) for run in runs)
    assert [run.answer for run in runs] == ["answered first question", "answered second question"]
    for conversation, mine, other in ((first, "first", "second"), (second, "second", "first")):
        with open(conversation.log) as log:
            text = log.read()
        assert "printed by the run of %s question" % mine in text and "and again by %s" % mine in text
        assert other not in text


def test_sessions_end_when_gone_idle_or_past_the_bound_and_a_run_stops_in_time(tmp_path):
    alive, released = {"a": True, "b": True, "c": True}, []
    backend = OneAgentBackend(tmp_path, make_agent=ChartingAgent, max_sessions=2, idle_minutes=1,
                              gone_seconds=5, is_session_alive=alive.get, on_released=released.append)
    a, b = backend.new_conversation("a"), backend.new_conversation("b")
    # Past the bound: refused while the others were busy a moment ago...
    with pytest.raises(web_sessions.SessionsFull):
        backend.new_conversation("c")
    # ... and given the place of the one idle longest past RECLAIM_SECONDS.
    a.last_used -= web_sessions.RECLAIM_SECONDS + 1
    c = backend.new_conversation("c")
    assert a.closed and a.agent is None and not os.path.exists(a.folder)
    assert backend.live_sessions() == [b, c]
    # A tab gone for gone_seconds ends its session; one without a question
    # for idle_minutes ends too.
    alive["b"] = False
    now = time.monotonic()
    assert backend.reap(now) == 0 and backend.reap(now + 5) == 1
    assert b.closed == "The tab of this conversation was closed." and released == ["b"]
    assert not os.path.exists(b.folder)
    assert backend.reap(c.last_used + 61) == 1 and c.closed.startswith("This conversation ended after 1 minutes")
    assert c.start("too late") is None and backend.live_sessions() == []

    class SlowAgent:
        def run(self, question, callbacks=()):
            for _ in range(50):
                for handler in callbacks:
                    if handler.raise_error:
                        handler.on_chain_start({}, {})
                time.sleep(0.02)
            return "not stopped"

    slow = Conversation(SlowAgent(), str(tmp_path / "slow"), run_seconds=0.1)
    os.makedirs(slow.code)
    exchange = slow.ask("a long question")
    assert exchange.error == "The question took too long and was stopped (RunTimeout)."
    assert slow.running is None and exchange.seconds < 1


@pytest.mark.parametrize("header, value, allowed", [
    ("Host", "127.0.0.1:8501", True),
    ("Host", "LOCALHOST:8501", True),
    ("Host", "[::1]:8501", True),
    ("Host", "127.0.0.1:8502", False),  # another port: another server
    ("Host", "rebound.example:8501", False),
    ("Host", "localhost.:8501", False),
    ("Host", "127.0.0.1.nip.io:8501", False),
    ("Host", "2130706433:8501", False),
    ("Host", "127.0.0.1:8501@rebound.example", False),
    ("Host", "", False),
    ("Origin", "http://127.0.0.1:8501", True),
    ("Origin", "http://rebound.example:8501", False),
    ("Origin", "http://127.0.0.1:8501.rebound.example", False),
    ("Origin", "null", False),
    ("Origin", "file://", False),
])
def test_the_server_takes_its_own_names_only(header, value, allowed):
    import web_server

    addresses = web_server.Addresses("127.0.0.1", 8501)
    check = addresses.allows_host if header == "Host" else addresses.allows_origin
    assert check(value) == allowed


def test_a_session_past_the_bound_is_told_so_and_gets_in_once_there_is_room(page, tmp_path):
    backend = OneAgentBackend(tmp_path, make_agent=ChartingAgent, max_sessions=1)
    first = page(backend)
    assert not first.exception and len(first.chat_input) == 1
    second = page(backend)
    assert not second.exception and len(second.chat_input) == 0
    assert [w.value for w in second.warning] == [
        "The page is serving as many conversations as it may at once (1). A conversation ends when its tab "
        "is closed or after a while without a question: try again in a few minutes."]
    [only] = backend.live_sessions()
    backend.release(only, "The tab of this conversation was closed.")
    second.button[0].click().run()
    assert not second.exception and len(second.chat_input) == 1 and not second.warning


@pytest.mark.parametrize("tool", ["SQLAgent", "sql_db_query", "Python_REPL"])
def test_a_tool_text_too_deep_to_compile_is_shown_as_it_is(tool):
    # "1+1+...": reading it as a Python literal overflowed the C stack of
    # Python 3.9's compiler, a crash of the page with all its sessions; so
    # the steps are taken in a process of their own.
    import subprocess
    import sys

    script = """if True:
        import io, demo, web_sessions
        deep = "1+" * 150000 + "1"
        steps = []
        for handler in (web_sessions.StepReporter(steps.append), demo.ToolTrace(io.StringIO())):
            handler.on_tool_start({"name": %r}, deep, run_id=1)
            handler.on_tool_end(deep, run_id=1)
        print(" ".join(step.kind for step in steps))
    """ % tool
    done = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    # The text itself is the step (the SQL tool says it is not rows).
    assert done.stdout.split() == {"SQLAgent": ["tool"], "sql_db_query": ["sql", "error"], "Python_REPL": ["code"]}[tool]


class LongWindedAgent:
    """Runs SQL and code of 5 MB each and answers with 5 MB of text."""

    def run(self, question, callbacks=()):
        for handler in callbacks:
            handler.on_tool_start({"name": "sql_db_query"}, "SELECT '%s'" % ("s" * 5_000_000), run_id=1)
            handler.on_tool_start({"name": "Python_REPL"}, "print('%s')" % ("c" * 5_000_000), run_id=2)
        return "a" * 5_000_000


def test_what_the_model_wrote_is_kept_to_a_bound_on_the_page(page, tmp_path):
    # The model's texts (and a question sent past the box's own bound) are
    # drawn on every rerun: a few megabytes each, for every exchange kept.
    app = page(OneAgentBackend(tmp_path, LongWindedAgent()))
    app.chat_input[0].set_value("q" * 1_000_000).run()
    assert not app.exception
    texts = {t.value[:1]: t.value for t in list(app.text) + list(app.code) if t.value[:1] in "qaSp"}
    for first, width in (("q", web_sessions.QUESTION_CHARS), ("a", web_sessions.ANSWER_CHARS),
                         ("S", web_sessions.STEP_CHARS), ("p", web_sessions.STEP_CHARS)):
        assert width <= len(texts[first]) < width + 50, first


def test_a_run_that_never_reaches_its_deadline_is_given_up_and_frees_its_place(tmp_path):
    # A model's answer trickling in a byte at a time: no event of the
    # framework comes for the deadline to stop the run at.
    unblock = threading.Event()

    class StuckAgent:
        def run(self, question, callbacks=()):
            unblock.wait(30)
            return "too late"

    backend = OneAgentBackend(tmp_path, StuckAgent(), max_sessions=1, run_minutes=1)
    conversation = backend.new_conversation()
    exchange = conversation.start("a question")
    late = conversation.last_used + 60 + web_sessions.GIVE_UP_SECONDS
    assert backend.reap(late - 1) == 0 and not exchange.done.is_set()
    assert backend.reap(late) == 1
    assert exchange.done.is_set() and exchange.error == "The question took too long and was stopped (RunTimeout)."
    assert conversation.closed.startswith("The question did not end within 5 minutes")
    assert backend.live_sessions() == [] and not os.path.exists(conversation.folder)
    backend.new_conversation()  # its place is free
    unblock.set()
    for thread in threading.enumerate():
        if thread.name.startswith("question-"):
            thread.join(10)
    [shown] = conversation.exchanges
    assert shown.error == exchange.error and shown.answer is None and conversation.running is None
