"""The agents driven through the framework's real OpenAI chat client.

`ChatOpenAI` talks HTTP to the scripted model's OpenAI-compatible endpoint
(harness/model_endpoint.py) on a loopback port, with a real MariaDB behind
the SQL tools. Besides the answers, these tests check what went over the
wire: which agent sent which request, in which form (plain, function
calling, streamed), carrying which of the package's texts.
"""
import json
import re

import pytest
from PIL import Image

from fakes import ToolCalls
from harness.scripted_model import ScriptedChatModel
from texts import RUNNER_INSTANCE, TOOL_DESCRIPTIONS, TOOLS, python_prefix, react_tool_list



def streams(llm):
    """Whether the framework streams `llm`'s replies where a runnable asks
    it to. Later releases of langchain-core 1.x take a `streaming=False`
    that a client was made with as a refusal to stream, and
    langchain-community's ChatOpenAI marks every field as set, so its
    runnables ask that client for whole replies there; earlier releases and
    lines stream. Asked of the framework, not of a version number."""
    return llm._should_stream(async_api=False, stream=True)

pytestmark = pytest.mark.integration

TABLE = "rc_sales"
SQL_TOOLS = ["sql_db_query", "sql_db_schema", "sql_db_list_tables", "sql_db_query_checker"]

def sender(body):
    """Which agent sent a request body, told from its functions or its prompt:
    the conversational agent's prompt offers exactly the agent's tools, the
    ReAct SQL agent's exactly the SQL tools. Any other body fails the test."""
    functions = sorted(f["name"] for f in body.get("functions", []))
    if functions:
        if functions == ["Python_REPL"]:
            return "python"
        assert functions == sorted(SQL_TOOLS), functions
        return "sql"
    prompt = body["messages"][-1]["content"]
    if react_tool_list(TOOLS) in prompt:
        return "conversation"
    assert react_tool_list(SQL_TOOLS) in prompt, prompt
    return "react-sql"


def sent_by(endpoint, agent):
    return [request for request in endpoint.requests if sender(request["body"]) == agent]


@pytest.fixture
def db(mariadb, sales):
    from zarvosdk.base import DatabaseConnector

    handle = DatabaseConnector(mariadb.user, mariadb.password, mariadb.host, mariadb.database).getdbinstance()
    assert not isinstance(handle, dict), handle
    return handle


@pytest.fixture
def scripted(chat_endpoint):
    """The endpoint's model, set up for this module's table."""
    chat_endpoint.model = ScriptedChatModel(
        series_query="SELECT sale_date, amount FROM %s ORDER BY sale_date" % TABLE,
        queries=[
            ("how many", "SELECT COUNT(*) FROM %s" % TABLE),
            ("total", "SELECT SUM(amount) FROM %s" % TABLE),
        ],
    )
    return chat_endpoint


@pytest.fixture
def conversation(db, scripted, openai_chat, tmp_path, monkeypatch):
    """Builds the conversational agent as an application does, over the real
    client, working in tmp_path; the charts folder is tmp_path/charts."""
    import zarvosdk.agent

    monkeypatch.chdir(tmp_path)
    zarvosdk.agent.conversational_memory.clear()
    yield lambda: zarvosdk.agent.AgentInitializer(openai_chat(), db, path=str(tmp_path / "charts")).create_agent()
    zarvosdk.agent.conversational_memory.clear()


def assert_every_request_is_a_chat_completion(endpoint):
    for request in endpoint.requests:
        assert request["path"] == "/v1/chat/completions"
        assert request["headers"]["Authorization"] == "Bearer dummy"
        assert request["body"]["model"] == "scripted"


@pytest.mark.scenario
def test_database_question_goes_through_the_sql_agents_function_calls(conversation, scripted, openai_chat, sales):
    calls = ToolCalls()
    answer = conversation().run("What is the total of all sales?", callbacks=[calls])

    total = sum(amount for _, amount in sales)
    assert answer.endswith("returned %s." % total), answer
    assert calls.names() == ["SQLAgent", "sql_db_query"]
    assert_every_request_is_a_chat_completion(scripted)
    assert [sender(r["body"]) for r in scripted.requests] == ["conversation", "sql", "sql", "conversation"]

    conversation_request = sent_by(scripted, "conversation")[0]["body"]
    prompt = conversation_request["messages"][0]["content"]
    # Each tool is listed as "name(signature of its func) -> result - description".
    listing = r"\n".join(
        r"%s\([^\n]*? - %s" % (name, re.escape(text))
        for name, text in TOOL_DESCRIPTIONS.items()
    )
    assert re.search(r"\n\n%s\n\n" % listing, prompt), prompt
    assert conversation_request["stream"] is False
    assert "\nObservation:" in conversation_request["stop"]

    first_sql, second_sql = [r["body"] for r in sent_by(scripted, "sql")]
    assert sorted(f["name"] for f in first_sql["functions"]) == sorted(SQL_TOOLS)
    # The SQL agent's runnable streams: the function call came back in chunks.
    assert first_sql["stream"] is second_sql["stream"] is streams(openai_chat())
    function_result = second_sql["messages"][-1]
    assert function_result["role"] == "function" and function_result["name"] == "sql_db_query"
    assert str(total) in function_result["content"]


@pytest.mark.scenario
def test_chart_question_has_the_python_agent_draw_a_png(conversation, scripted, sales, tmp_path):
    calls = ToolCalls()
    answer = conversation().run("Draw a chart of the sales by date", callbacks=[calls])

    assert calls.names() == ["SQLAgent", "sql_db_query", "PythonAgent", "Python_REPL"]
    assert json.dumps([float(v) for _, v in sales]) in calls.first("Python_REPL")["input"]
    assert "%d points" % len(sales) in answer

    python_requests = [r["body"] for r in sent_by(scripted, "python")]
    assert len(python_requests) == 2
    system = python_requests[0]["messages"][0]
    assert system == {"role": "system", "content": python_prefix(str(tmp_path / "charts"))}
    assert python_requests[0]["stream"] is False
    assert python_requests[1]["messages"][-1]["role"] == "function"
    assert python_requests[1]["messages"][-1]["content"].startswith("plotted %d points" % len(sales))

    chart = tmp_path / "temp_chart.png"
    with Image.open(chart) as image:
        image.verify()
    with Image.open(chart) as image:
        assert image.format == "PNG" and min(image.size) > 100


@pytest.mark.scenario
def test_forecast_tool_receives_the_json_the_endpoint_wrote(conversation, scripted, sales):
    calls = ToolCalls()
    answer = conversation().run("Forecast the sales for the next 4 periods", callbacks=[calls])

    assert calls.names()[:2] == ["SQLAgent", "sql_db_query"]
    assert "ForecastTool" in calls.names() and "PythonAgent" not in calls.names()
    written = [
        r["reply"]["content"] for r in sent_by(scripted, "conversation") if "Action: ForecastTool" in r["reply"]["content"]
    ]
    assert len(written) == 1
    action_input = re.search(r"Action Input: (.*)\Z", written[0], re.S).group(1)
    assert calls.first("ForecastTool")["input"] == action_input
    request = json.loads(action_input)
    assert request == {
        "data_input": {"date": [d.isoformat() for d, _ in sales], "values": [float(v) for _, v in sales]},
        "period": 4,
    }
    forecast_dates = re.findall(r"^(\d{4}-\d{2}-\d{2})\s+-?\d+\.\d+$", answer, re.M)
    assert len(forecast_dates) == 4, answer
    assert min(forecast_dates) > sales[-1][0].isoformat()
    # The forecast table went back to the model as the tool's observation.
    last = sent_by(scripted, "conversation")[-1]["body"]["messages"][0]["content"]
    assert "Forecasted_values" in last


def test_agent_runner_drives_the_streamed_react_sql_agent(db, scripted, openai_chat, sales, capsys):
    from langchain_community.agent_toolkits import SQLDatabaseToolkit

    from zarvosdk.base import AgentRunner

    llm = openai_chat()
    runner = AgentRunner(llm, SQLDatabaseToolkit(db=db, llm=llm))
    assert capsys.readouterr().out.startswith(RUNNER_INSTANCE)
    assert scripted.requests == []

    answer = runner.run("How many sales rows are there?")

    assert answer.endswith("returned %d." % len(sales)), answer
    assert_every_request_is_a_chat_completion(scripted)
    bodies = [r["body"] for r in scripted.requests]
    assert [sender(b) for b in bodies] == ["react-sql", "react-sql"]
    assert all(b["stream"] is streams(llm) and "functions" not in b for b in bodies)
    prompt = bodies[0]["messages"][0]["content"]
    assert "should be one of %s" % react_tool_list(SQL_TOOLS) in prompt
    for tool in SQL_TOOLS:
        assert "\n%s - " % tool in prompt
    assert "Observation: [(%d,)]" % len(sales) in bodies[1]["messages"][0]["content"]
