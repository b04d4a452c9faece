"""The chat page through Streamlit's headless test API, with agents that
stand in for the real ones, and each session's agent and memory."""
import os

import httpx
import openai
import pytest
from streamlit.testing.v1 import AppTest

import web_sessions
from web_sessions import Backend, Conversation, count_rows

PAGE = os.path.join(web_sessions.__file__.rsplit(os.sep, 1)[0], "web_page.py")
# A 1x1 PNG.
PNG = bytes.fromhex(
    "89504e470d0a1a0a0000000d4948445200000001000000010806000000"
    "1f15c4890000000d49444154789c6360000002000001e221bc330000000049454e44ae426082"
)


class ChartingAgent:
    """Reports a SQL call with two rows, then draws a chart into the current
    directory, as the chart agent is told to."""

    def run(self, question, callbacks=()):
        for handler in callbacks:
            handler.on_tool_start({"name": "sql_db_query"}, "{'query': 'SELECT d, v FROM sales'}", run_id=1)
            handler.on_tool_end("[(1, 'a)'), (2, 'b')]", run_id=1)
        with open("temp_chart.png", "wb") as chart:
            chart.write(PNG)
        return "Charted: " + question


class FailingAgent:
    def __init__(self, error):
        self.error = error

    def run(self, question, callbacks=()):
        raise self.error


class OneAgentBackend(Backend):
    def __init__(self, root, agent):
        super().__init__(None, None, str(root), "test backend")
        self.agent = agent

    def new_conversation(self):
        folder = self.root + "/session-%d" % len(os.listdir(self.root))
        os.mkdir(folder)
        return Conversation(self.agent, folder)


@pytest.fixture
def page(monkeypatch):
    def start(backend):
        monkeypatch.setattr(web_sessions, "BACKEND", backend)
        app = AppTest.from_file(PAGE, default_timeout=30)
        return app.run()

    return start


def test_an_answer_shows_its_steps_and_chart_and_leaves_the_directory(page, tmp_path):
    cwd = os.getcwd()
    app = page(OneAgentBackend(tmp_path, ChartingAgent()))
    app.chat_input[0].set_value("Draw the sales").run()
    assert not app.exception
    texts = [m.value for m in app.markdown]
    assert "Charted: Draw the sales" in texts
    assert any("**Rows:** 2 rows" in t for t in texts)
    assert [c.value for c in app.code] == ["SELECT d, v FROM sales"]
    assert len(app.get("imgs")) == 1
    assert os.getcwd() == cwd
    # The next rerun draws the exchange again from the session's state.
    app.run()
    assert "Charted: Draw the sales" in [m.value for m in app.markdown]
    assert len(app.get("imgs")) == 1


@pytest.mark.parametrize("error, says", [
    (openai.APIConnectionError(request=httpx.Request("POST", "http://127.0.0.1:9/v1/chat/completions")),
     "The language model service failed (APIConnectionError): Connection error."),
    (ValueError("An output parsing error occurred."),
     "The agent failed (ValueError): An output parsing error occurred."),
])
def test_a_failed_run_is_a_message_on_the_page_not_a_traceback(page, tmp_path, error, says):
    app = page(OneAgentBackend(tmp_path, FailingAgent(error)))
    app.button(key="suggested-0").click().run()
    assert not app.exception
    assert [e.value for e in app.error] == [says]
    # The question still shows, and the page takes the next one.
    assert web_sessions.QUESTIONS[0] in [m.value for m in app.markdown]
    assert len(app.chat_input) == 1


def test_a_session_that_cannot_start_says_why(page, tmp_path):
    class Broken(Backend):
        def new_conversation(self):
            import sqlalchemy.exc

            raise sqlalchemy.exc.OperationalError("SELECT 1", {}, Exception("Lost connection to server"))

    app = page(Broken(None, None, str(tmp_path)))
    assert not app.exception
    assert len(app.error) == 1 and app.error[0].value.startswith("The database failed (OperationalError):")


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
    conversation = Conversation(ChartingAgent(), str(tmp_path / "removed"))
    exchange = conversation.ask("Draw the sales")
    assert exchange.error.startswith("The agent failed (FileNotFoundError):")
    assert conversation.exchanges == [exchange]
    assert web_sessions.RUN_LOCK.acquire(blocking=False)
    web_sessions.RUN_LOCK.release()
