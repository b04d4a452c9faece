"""Fixtures for the scenarios that drive the agents through a chat model:
the scripted model of harness/ and its OpenAI-compatible endpoint, and the
sales rows they ask about."""
import datetime
import random
from decimal import Decimal

import pytest

from harness.chat_client import make_chat_client
from harness.model_endpoint import ChatEndpoint
from harness.scripted_model import ScriptedChatModel

# Picks the sales rows; a failing test shows the rows it had.
SALES_SEED = random.randrange(1 << 30)

# A failing endpoint must surface within this many seconds: no retries, and
# a read that waits no longer than this for an answer.
CLIENT_TIMEOUT = 5.0


@pytest.fixture(scope="session")
def chat_server():
    """One endpoint for the session; each test gets it reset (`chat_endpoint`)."""
    with ChatEndpoint() as server:
        yield server


@pytest.fixture
def chat_endpoint(chat_server):
    """The endpoint with no requests recorded, no fault and a default scripted
    model; a test sets `chat_endpoint.model` for its own tables."""
    chat_server.requests.clear()
    chat_server.fail_with(None)
    chat_server.model = ScriptedChatModel()
    yield chat_server
    chat_server.fail_with(None)


@pytest.fixture(scope="session")
def chat_clients():
    """Chat clients made so far, by their settings: each one sets up two HTTP
    clients with TLS contexts (a quarter of a second), and holds no state
    between calls, so tests share them."""
    return {}


@pytest.fixture
def openai_chat(chat_endpoint, chat_clients):
    """Makes the framework's OpenAI chat client, pointed at the endpoint the
    way an application points it at any OpenAI-compatible server."""
    def make(**overrides):
        settings = dict(
            model="scripted",
            openai_api_key="dummy",
            openai_api_base=chat_endpoint.url,
            temperature=0,
            max_retries=0,
            request_timeout=CLIENT_TIMEOUT,
        )
        settings.update(overrides)
        key = tuple(sorted(settings.items()))
        if key not in chat_clients:
            chat_clients[key] = make_chat_client(**settings)
        return chat_clients[key]

    return make


@pytest.fixture(scope="module")
def sales(request, mariadb):
    """A table of (sale_date, amount) rows of random amounts on irregularly
    spaced dates, named by the test module's TABLE; yields the rows, oldest
    first, and drops the table after the module."""
    rng = random.Random("%s %d" % (request.module.__name__, SALES_SEED))
    day = datetime.date(2022, 6, 1) + datetime.timedelta(days=rng.randrange(600))
    rows = []
    for _ in range(rng.randint(10, 20)):
        day += datetime.timedelta(days=rng.randint(1, 4))
        rows.append((day, Decimal(rng.randint(5000, 500000)) / 100))
    table = "%s.%s" % (mariadb.database, request.module.TABLE)
    mariadb.execute("DROP TABLE IF EXISTS " + table)
    mariadb.execute("CREATE TABLE %s (sale_date DATE PRIMARY KEY, amount DECIMAL(10, 2))" % table)
    for row in rows:
        mariadb.execute("INSERT INTO %s VALUES (%%s, %%s)" % table, row)
    yield rows
    mariadb.execute("DROP TABLE IF EXISTS " + table)
