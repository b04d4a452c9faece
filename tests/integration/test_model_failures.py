"""What an application sees when the model endpoint fails, or when the model
asks for statements that a read-only account may not run.

Everything goes through the framework's real OpenAI chat client, configured
as the README advises (no retries here, a short timeout), against the
scripted endpoint on a loopback port and a real MariaDB server.
"""
import json
import socket
import threading
import time

import openai
import pytest

from harness.model_endpoint import error_response, truncated_reply
from harness.scripted_model import ScriptedChatModel
from texts import RUNNER_INSTANCE

pytestmark = pytest.mark.integration

TABLE = "rc_guarded"
ROWS = [(i, "item-%d" % i, 100 * i) for i in range(1, 9)]
READER, READER_PASSWORD = "rc_reader", "rc-reader-pw"
QUESTION = "How many rows are there?"
SLOW_CLIENT_TIMEOUT = 0.5
# An upper bound for a failure to reach the application: generous for a
# loaded machine, far below anything that would look like a hang.
PROMPT = 3.0


def rows_now(mariadb):
    """The table's rows, read over a connection of their own."""
    connection = mariadb.connect()
    try:
        with connection.cursor() as cursor:
            cursor.execute("SELECT id, name, amount FROM %s ORDER BY id" % TABLE)
            return [tuple(row) for row in cursor.fetchall()]
    finally:
        connection.close()


@pytest.fixture(scope="module")
def guarded(mariadb):
    """A small table, and an account that may only read it (as the README
    recommends): yields (user, password)."""
    mariadb.start()
    table = "%s.%s" % (mariadb.database, TABLE)
    mariadb.execute("DROP TABLE IF EXISTS " + table)
    mariadb.execute("CREATE TABLE %s (id INT PRIMARY KEY, name VARCHAR(20), amount INT)" % table)
    mariadb.execute("INSERT INTO %s VALUES %s" % (table, ", ".join(["(%s, %s, %s)"] * len(ROWS))), sum(ROWS, ()))
    for host in ("127.0.0.1", "localhost"):
        mariadb.execute("CREATE USER IF NOT EXISTS %s@%s IDENTIFIED BY %s", (READER, host, READER_PASSWORD))
        mariadb.execute("GRANT SELECT ON `%s`.* TO %%s@%%s" % mariadb.database, (READER, host))
    yield READER, READER_PASSWORD
    for host in ("127.0.0.1", "localhost"):
        mariadb.execute("DROP USER IF EXISTS %s@%s", (READER, host))
    mariadb.execute("DROP TABLE IF EXISTS " + table)


@pytest.fixture(scope="module")
def reader_handle(mariadb, guarded):
    from zarvosdk.base import DatabaseConnector

    user, password = guarded
    handle = DatabaseConnector(user, password, mariadb.host, mariadb.database).getdbinstance()
    assert not isinstance(handle, dict), handle
    return handle


@pytest.fixture
def read_only_db(mariadb, reader_handle):
    """The read-only account's database handle, the table's rows intact."""
    mariadb.start()
    assert rows_now(mariadb) == ROWS
    return reader_handle


@pytest.fixture
def memory():
    import zarvosdk.agent

    zarvosdk.agent.conversational_memory.clear()
    yield zarvosdk.agent.conversational_memory
    zarvosdk.agent.conversational_memory.clear()


@pytest.fixture
def endpoint(chat_endpoint):
    chat_endpoint.model = ScriptedChatModel(queries=[("how many", "SELECT COUNT(*) FROM %s" % TABLE)])
    return chat_endpoint


def closed_port_url():
    """A loopback URL on which nothing listens: connections are refused."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return "http://127.0.0.1:%d/v1" % port


class Slow:
    """A fault that holds the reply back until released (at teardown)."""

    def __init__(self):
        self.release = threading.Event()

    def __call__(self, body):
        self.release.wait(10)
        return error_response(503, "released", "server_error")


# name -> (fault, the exception the application gets)
FAULTS = {
    "http-500": (lambda body: error_response(500, "The server had an error", "server_error"), openai.InternalServerError),
    "http-429": (
        lambda body: error_response(429, "Rate limit reached", "requests", "rate_limit_exceeded"),
        openai.RateLimitError,
    ),
    "malformed": (truncated_reply, json.JSONDecodeError),
    "refused": (None, openai.APIConnectionError),
    "timeout": (Slow, openai.APITimeoutError),
}


def after(requests, fault):
    """Answers the first `requests` requests from the model, then faults."""
    seen = []

    def maybe_fault(body):
        seen.append(body)
        return fault(body) if len(seen) > requests else None

    return maybe_fault


@pytest.fixture
def make_runner(read_only_db, openai_chat, capsys):
    from langchain_community.agent_toolkits import SQLDatabaseToolkit

    from zarvosdk.base import AgentRunner

    def make(llm):
        runner = AgentRunner(llm, SQLDatabaseToolkit(db=read_only_db, llm=llm))
        assert capsys.readouterr().out.startswith(RUNNER_INSTANCE)
        return runner.run

    return make


@pytest.fixture
def make_conversation(read_only_db, memory, tmp_path, monkeypatch):
    import zarvosdk.agent

    monkeypatch.chdir(tmp_path)
    return lambda llm: zarvosdk.agent.AgentInitializer(llm, read_only_db, path=str(tmp_path)).create_agent().run


# (entry point, how many requests succeed before the fault)
STAGES = {
    "runner": ("make_runner", 0),
    "runner-after-the-query": ("make_runner", 1),
    "conversation": ("make_conversation", 0),
    "conversation-inside-SQLAgent": ("make_conversation", 1),
}
CASES = [
    pytest.param(fault, stage, id="%s-%s" % (fault, stage))
    for fault in FAULTS
    for stage in STAGES
    if not (fault == "refused" and STAGES[stage][1])
]


@pytest.mark.parametrize("fault_name, stage", CASES)
def test_a_failing_endpoint_raises_the_clients_error_promptly(
    request, endpoint, openai_chat, mariadb, memory, fault_name, stage
):
    fault, expected = FAULTS[fault_name]
    factory, succeeding = STAGES[stage]
    settings = {}
    if fault_name == "refused":
        settings["openai_api_base"] = closed_port_url()
    if fault_name == "timeout":
        fault = fault()
        request.addfinalizer(fault.release.set)
        settings["request_timeout"] = SLOW_CLIENT_TIMEOUT
    if fault is not None:
        endpoint.fail_with(after(succeeding, fault))
    run = request.getfixturevalue(factory)(openai_chat(**settings))
    assert endpoint.requests == []  # building the agents asks the model nothing

    started = time.monotonic()
    with pytest.raises(expected):
        run(QUESTION)
    elapsed = time.monotonic() - started

    assert elapsed < PROMPT + (SLOW_CLIENT_TIMEOUT if fault_name == "timeout" else 0), elapsed
    # One request per step that succeeded, then the failing one: no retries.
    assert len(endpoint.requests) == (0 if fault_name == "refused" else succeeding + 1)
    assert rows_now(mariadb) == ROWS
    assert memory.load_memory_variables({})["chat_history"] == []
    if fault_name != "refused":
        # The client is not left broken: once the endpoint answers, so does the agent.
        endpoint.fail_with(None)
        assert run(QUESTION).endswith("returned %d." % len(ROWS))


def test_retries_are_the_clients_and_bounded_by_max_retries(endpoint, openai_chat, make_runner, mariadb):
    def rate_limited(body):
        response = error_response(429, "Rate limit reached", "requests", "rate_limit_exceeded")
        response.headers["retry-after-ms"] = "10"
        return response

    endpoint.fail_with(rate_limited)
    run = make_runner(openai_chat(max_retries=2))

    started = time.monotonic()
    with pytest.raises(openai.RateLimitError):
        run(QUESTION)

    assert time.monotonic() - started < PROMPT
    assert [r["headers"]["X-Stainless-Retry-Count"] for r in endpoint.requests] == ["0", "1", "2"]
    assert rows_now(mariadb) == ROWS


STATEMENTS = {
    "drop": "DROP TABLE %s" % TABLE,
    "delete": "DELETE FROM %s" % TABLE,
    "update": "UPDATE %s SET amount = 0" % TABLE,
}


@pytest.mark.parametrize("entry", ["make_runner", "make_conversation"], ids=["runner", "conversation"])
@pytest.mark.parametrize("keyword", sorted(STATEMENTS))
def test_statements_a_read_only_account_may_not_run_come_back_as_observations(
    request, endpoint, openai_chat, mariadb, keyword, entry
):
    statement = STATEMENTS[keyword]
    endpoint.model = ScriptedChatModel(queries=[(keyword, statement)])
    run = request.getfixturevalue(entry)(openai_chat())

    answer = run("Please %s the %s table." % (keyword, TABLE))

    denied = "%s command denied to user '%s'" % (keyword.upper(), READER)
    sql_requests = [
        r for r in endpoint.requests
        if any(f["name"] == "sql_db_query" for f in r["body"].get("functions", []))
        or "should be one of [sql_db_query" in r["body"]["messages"][-1]["content"]
    ]
    assert len(sql_requests) == 2
    assert statement in json.dumps(sql_requests[0]["reply"])
    # The server's refusal is what the model saw as the tool's result.
    observation = sql_requests[1]["body"]["messages"][-1]["content"]
    assert denied in observation, observation
    assert denied in answer
    assert rows_now(mariadb) == ROWS
