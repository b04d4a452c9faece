"""End to end: the conversational agent of zarvosdk.agent, the real framework,
a real MariaDB server and the offline scripted chat model of harness/.

The scripted model plays all three agents; what is checked here is what the
package wires together: the SQLAgent tool reaches the database through the
SQL agent, the ForecastTool tool turns the queried series into a
least-squares forecast, the PythonAgent tool runs chart code in the working
directory, and all conversational agents share one five-exchange memory.
"""
import datetime
import json
import os
import re

import pytest
from langchain_core.messages import AIMessage, HumanMessage

from fakes import ToolCalls
from framework_line import LINE_0_3
from harness.scripted_model import DEFAULT_QUERIES, ScriptedChatModel

pytestmark = pytest.mark.integration

TABLE = "e2e_sales"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def agent_module():
    import zarvosdk.agent

    zarvosdk.agent.conversational_memory.clear()
    yield zarvosdk.agent
    zarvosdk.agent.conversational_memory.clear()


@pytest.fixture
def make_agent(mariadb, sales, agent_module, tmp_path, monkeypatch):
    """Builds conversational agents the way an application does, working in tmp_path."""
    from zarvosdk.base import DatabaseConnector

    monkeypatch.chdir(tmp_path)
    db = DatabaseConnector(mariadb.user, mariadb.password, mariadb.host, mariadb.database).getdbinstance()
    assert not isinstance(db, dict), db
    model = ScriptedChatModel(
        series_query="SELECT sale_date, amount FROM %s ORDER BY sale_date" % TABLE,
        queries=[("how many", "SELECT COUNT(*) FROM %s" % TABLE)],
    )

    def make():
        return agent_module.AgentInitializer(model, db).create_agent()

    return make


def test_scripted_model_defaults_are_values_on_both_lines():
    # A field declared with the other pydantic major's Field would keep the
    # Field object itself as its default; the demo relies on these defaults.
    model = ScriptedChatModel()
    assert model.queries == DEFAULT_QUERIES and model.queries is not DEFAULT_QUERIES
    assert model.forecast_period == 7


def least_squares_forecast(dates, values, period):
    """The expected forecast: a line of value against day number, extended from
    the latest date in steps of the mean interval between consecutive dates."""
    epoch = datetime.datetime(1970, 1, 1)
    xs = [(datetime.datetime.combine(d, datetime.time()) - epoch).days for d in dates]
    ys = [float(v) for v in values]
    mean_x, mean_y = sum(xs) / len(xs), sum(ys) / len(ys)
    slope = sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) / sum((x - mean_x) ** 2 for x in xs)
    intercept = mean_y - slope * mean_x
    step = sum((b - a).days for a, b in zip(dates, dates[1:])) / (len(dates) - 1)
    last = datetime.datetime.combine(max(dates), datetime.time())
    expected = []
    for i in range(1, period + 1):
        point = last + datetime.timedelta(days=i * step)
        expected.append((point.strftime("%Y-%m-%d"), intercept + slope * (point - epoch).days))
    return expected


@pytest.mark.parametrize("period", [1, 6])
def test_forecast_question_queries_the_series_then_forecasts_it(make_agent, sales, period):
    calls = ToolCalls()
    answer = make_agent().run("Forecast the sales for the next %d periods" % period, callbacks=[calls])

    names = calls.names()
    assert names.index("SQLAgent") < names.index("sql_db_query") < names.index("ForecastTool"), names
    assert "PythonAgent" not in names
    assert "FROM %s ORDER BY sale_date" % TABLE in calls.first("sql_db_query")["input"]

    request = json.loads(calls.first("ForecastTool")["input"])
    assert request["period"] == period
    assert request["data_input"]["date"] == [d.isoformat() for d, _ in sales]
    assert request["data_input"]["values"] == [float(v) for _, v in sales]

    got = re.findall(r"^(\d{4}-\d{2}-\d{2})\s+(-?\d+\.\d+)$", answer, re.M)
    expected = least_squares_forecast([d for d, _ in sales], [v for _, v in sales], period)
    assert [d for d, _ in got] == [d for d, _ in expected], (sales, answer)
    assert [float(v) for _, v in got] == pytest.approx([v for _, v in expected], abs=1e-5), (sales, answer)


def test_chart_question_draws_the_queried_numbers_into_the_working_directory(make_agent, sales, tmp_path):
    from PIL import Image

    calls = ToolCalls()
    answer = make_agent().run("Draw a chart of the sales by date", callbacks=[calls])

    assert calls.names() == ["SQLAgent", "sql_db_query", "PythonAgent", "Python_REPL"]
    code = calls.first("Python_REPL")["input"]
    assert "SELECT" not in code
    assert json.dumps([float(v) for _, v in sales]) in code
    assert calls.first("Python_REPL")["output"].startswith("plotted %d points" % len(sales))
    assert "%d points" % len(sales) in answer

    chart = tmp_path / "temp_chart.png"
    assert chart.is_file(), sorted(os.listdir(tmp_path))
    assert chart.read_bytes()[:8] == PNG_SIGNATURE
    with Image.open(chart) as image:
        image.verify()
    with Image.open(chart) as image:
        assert image.format == "PNG"
        assert min(image.size) > 100


def test_every_agent_shares_one_memory_of_the_last_five_exchanges(make_agent, sales, agent_module):
    first, second = make_agent(), make_agent()
    memory = agent_module.conversational_memory
    if LINE_0_3:
        # 0.3 line: the executor (a pydantic v2 model) keeps the memory object
        # it is given.
        assert first.memory is memory and second.memory is memory
    else:
        # 0.2 line: the executor (a pydantic v1 model) keeps a shallow copy of
        # the memory it is given; the message history inside is the one shared
        # object.
        assert first.memory is not memory and second.memory is not memory
    assert first.memory.chat_memory is memory.chat_memory
    assert second.memory.chat_memory is memory.chat_memory
    assert first.memory.k == second.memory.k == 5

    question = "How many sales rows are there?"
    answer = first.run(question)
    assert answer.endswith(" returned %d." % len(sales))
    assert second.memory.load_memory_variables({})["chat_history"] == [
        HumanMessage(content=question),
        AIMessage(content=answer),
    ]

    exchanges = [(question, answer)]
    for i in range(2, 8):
        agent = first if i % 2 else second
        text = "Hello, this is exchange %d" % i
        exchanges.append((text, agent.run(text)))

    history = memory.load_memory_variables({})["chat_history"]
    expected = []
    for text, reply in exchanges[-5:]:
        expected += [HumanMessage(content=text), AIMessage(content=reply)]
    assert history == expected
