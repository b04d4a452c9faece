"""The scripted model's OpenAI-compatible endpoint, read by the openai client
itself: streamed and whole replies agree, usage, stop sequences, errors,
recording, and the server's life cycle."""
import json
import os
import signal
import socket
import subprocess
import sys
import urllib.request

import openai
import pytest
from langchain_core.messages import HumanMessage

import harness
from harness.model_endpoint import ChatEndpoint

pytestmark = pytest.mark.integration

# The folder holding harness/, which a process started with `python -m` needs on its path.
HARNESS_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(harness.__file__)))
SQL_FUNCTION = {
    "name": "sql_db_query",
    "description": "Runs a query.",
    "parameters": {"type": "object", "properties": {"query": {"type": "string"}}, "required": ["query"]},
}


@pytest.fixture
def client(chat_endpoint):
    return openai.OpenAI(base_url=chat_endpoint.url, api_key="dummy", max_retries=0, timeout=5)


@pytest.mark.parametrize(
    "question, functions",
    [("Hello there", None), ("How many sales rows are there?", [SQL_FUNCTION])],
    ids=["text", "function-call"],
)
def test_a_streamed_reply_joins_up_to_the_whole_reply(chat_endpoint, openai_chat, question, functions):
    kwargs = {"functions": functions} if functions else {}
    whole = openai_chat().invoke([HumanMessage(content=question)], **kwargs)
    # A client made to stream: on the 1.x line langchain-core takes the
    # `streaming=False` that langchain-community's client otherwise marks as
    # set for a refusal to stream, and `stream` gives the whole reply.
    chunks = list(openai_chat(streaming=True).stream([HumanMessage(content=question)], **kwargs))

    assert len(chunks) > 3  # role, several pieces, finish reason
    joined = chunks[0]
    for chunk in chunks[1:]:
        joined += chunk
    assert joined.content == whole.content
    assert joined.additional_kwargs == whole.additional_kwargs
    if functions:
        assert json.loads(whole.additional_kwargs["function_call"]["arguments"]) == {
            "query": "SELECT COUNT(*) AS sale_rows FROM sales"
        }
    assert [r["body"].get("stream") for r in chat_endpoint.requests] == [False, True]


def test_usage_is_reported_whole_and_when_a_stream_asks_for_it(client):
    messages = [{"role": "user", "content": "Hello there"}]
    whole = client.chat.completions.create(model="m", messages=messages)
    usage = whole.usage
    assert usage.prompt_tokens == 2 and usage.completion_tokens > 0
    assert usage.total_tokens == usage.prompt_tokens + usage.completion_tokens
    assert whole.choices[0].finish_reason == "stop"

    plain = list(client.chat.completions.create(model="m", messages=messages, stream=True))
    assert all(chunk.usage is None for chunk in plain)
    counted = list(
        client.chat.completions.create(
            model="m", messages=messages, stream=True, stream_options={"include_usage": True}
        )
    )
    assert counted[-1].choices == [] and counted[-1].usage == usage


@pytest.mark.parametrize("stream", [False, True])
def test_a_stop_sequence_cuts_the_reply(client, stream):
    messages = [{"role": "user", "content": "Hello there"}]
    reply = client.chat.completions.create(model="m", messages=messages, stop=["\nFinal Answer:"], stream=stream)
    if stream:
        text = "".join(chunk.choices[0].delta.content or "" for chunk in reply if chunk.choices)
    else:
        text = reply.choices[0].message.content
    assert text == " I now know the final answer."


def test_requests_are_recorded_and_wrong_ones_answered_with_openai_errors(chat_endpoint, client):
    client.chat.completions.create(model="m", messages=[{"role": "user", "content": "Hi"}], temperature=0)
    (request,) = chat_endpoint.requests
    assert request["path"] == "/v1/chat/completions"
    assert request["headers"]["Authorization"] == "Bearer dummy"
    assert request["body"] == {"model": "m", "messages": [{"role": "user", "content": "Hi"}], "temperature": 0}
    assert request["reply"]["role"] == "assistant"

    with pytest.raises(openai.NotFoundError, match="no route for GET /v1/models"):
        client.models.list()
    with pytest.raises(openai.NotFoundError, match="no route for POST /v1/chat/completions/x"):
        client.post("/chat/completions/x", cast_to=object, body={})
    with pytest.raises(openai.BadRequestError, match="'messages' must be a list of message objects"):
        client.chat.completions.create(model="m", messages="not a list")
    assert [(r["path"], r["body"]) for r in chat_endpoint.requests[1:]] == [
        ("/v1/models", None),
        ("/v1/chat/completions/x", None),
        ("/v1/chat/completions", None),
    ]


def test_stop_closes_the_port():
    endpoint = ChatEndpoint().start()
    port = int(endpoint.url.rsplit(":", 1)[1].split("/")[0])
    endpoint.stop()
    endpoint.stop()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=2).close()


def test_the_endpoint_runs_as_a_script_until_terminated():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HARNESS_ROOT] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    process = subprocess.Popen(
        [sys.executable, "-m", "harness.model_endpoint"],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = process.stdout.readline()
        url = line.split()[line.split().index("at") + 1]
        request = urllib.request.Request(
            url + "/chat/completions",
            data=json.dumps({"model": "m", "messages": [{"role": "user", "content": "Hi"}]}).encode(),
            headers={"Content-Type": "application/json"},
        )
        with urllib.request.urlopen(request, timeout=10) as response:
            assert json.load(response)["choices"][0]["message"]["content"].startswith(" I now know")
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=10) == 0
    finally:
        process.kill()
        process.communicate()
