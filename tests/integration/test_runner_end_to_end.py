"""AgentRunner driving the framework's zero-shot SQL agent over a real
MariaDB table, with a scripted offline chat model."""

import random
import secrets

import pytest

from framework_line import framework_name

from zarvosdk.base import AgentRunner, DatabaseConnector

from harness.scripted_model import TableFindingChatModel
from texts import RUNNER_INSTANCE

AgentExecutor = framework_name("langchain.agents", "AgentExecutor")
SQLDatabaseToolkit = framework_name("langchain.agents.agent_toolkits", "SQLDatabaseToolkit")

pytestmark = pytest.mark.integration


@pytest.fixture
def readings(mariadb):
    """A new table of random amounts; yields (table name, their total)."""
    mariadb.start()
    table = "zv_readings_%s" % secrets.token_hex(4)
    amounts = [random.randint(1000, 999999) for _ in range(25)]
    mariadb.execute(
        "CREATE TABLE `%s`.`%s` (id INT PRIMARY KEY AUTO_INCREMENT, amount INT NOT NULL)"
        % (mariadb.database, table)
    )
    mariadb.execute(
        "INSERT INTO `%s`.`%s` (amount) VALUES %s"
        % (mariadb.database, table, ", ".join(["(%s)"] * len(amounts))),
        amounts,
    )
    yield table, sum(amounts)
    mariadb.execute("DROP TABLE IF EXISTS `%s`.`%s`" % (mariadb.database, table))


def test_runner_answers_from_the_database(mariadb, readings, capsys):
    table, total = readings
    handle = DatabaseConnector(
        mariadb.user, mariadb.password, mariadb.host, mariadb.database
    ).getdbinstance()
    model = TableFindingChatModel(table=table, query="SELECT SUM(amount) FROM {table}")
    toolkit = SQLDatabaseToolkit(db=handle, llm=model)
    capsys.readouterr()

    runner = AgentRunner(model, toolkit)

    assert isinstance(runner.agent_runner, AgentExecutor)
    assert runner.error is None
    status_line = RUNNER_INSTANCE + "%s\n" % runner.agent_runner
    assert capsys.readouterr().out == status_line

    answer = runner.run("What is the total amount of all readings?")

    assert str(total) in answer
    # the model saw the table list and then the query's result
    assert len(model.prompts) == 3
    assert table in model.prompts[1]
    assert str(total) in model.prompts[2]
    # verbose is on by default: the framework traced the run on stdout
    assert "sql_db_query" in capsys.readouterr().out
