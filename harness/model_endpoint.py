"""An OpenAI-compatible chat-completions endpoint on a loopback port.

`ChatEndpoint` serves `POST /v1/chat/completions` the way OpenAI's API does,
so that the framework's real OpenAI chat client
(`langchain_community.chat_models.openai.ChatOpenAI` over the `openai` package) can
be pointed at it with `openai_api_base=endpoint.url` and a dummy key. What it
answers is decided by `ScriptedChatModel.reply` (harness.scripted_model), the same
decisions the in-process stand-in makes: the request's messages and functions
are turned back into the framework's message objects, the model picks the
next message, and the endpoint writes it out as OpenAI does:

* a chat completion (JSON) with `usage` figures, the reply's `content`
  and, when the model calls a function, `function_call` (name and
  JSON-encoded arguments) with finish reason "function_call";
* with `"stream": true`, server-sent events: `data: {chunk}` lines whose
  deltas carry the role, then the content or the function call in pieces,
  then the finish reason, a usage chunk when `stream_options` asks for one,
  and `data: [DONE]`;
* `stop` sequences cut the reply as the real service does.

Every request is recorded in `requests` (path, headers, parsed JSON body and
what was answered), for tests to check what went over the wire, unless made
with `record=False` (a long benchmark keeps nothing). A test can make the
endpoint fail with `fail_with` (an HTTP error, a malformed body). With
`latency`, each chat request is answered that many seconds after it
arrived, as a real model's would be; requests wait side by side.

The server is werkzeug's, run by pytest-httpserver's `HTTPServer` in a
background thread on 127.0.0.1; it stops on `stop()`, at the end of a `with`
block, or when the process exits. Run as a module (with the repository root
on the import path) it serves until interrupted (Ctrl+C) or terminated
(SIGTERM):

    PYTHONPATH=. python -m harness.model_endpoint [--port N]
"""
import argparse
import atexit
import json
import logging
import re
import signal
import threading
import time
import uuid
from typing import Any, Callable, Dict, List, Optional

from langchain_community.adapters.openai import convert_message_to_dict, convert_openai_messages
from pytest_httpserver import HTTPServer
from werkzeug.wrappers import Request, Response

from harness.scripted_model import ScriptedChatModel

CHAT_PATH = re.compile(r"(/v1)?/chat/completions/?\Z")
ANY_PATH = re.compile(r".*")
# Streamed content and function arguments go out in pieces of this many
# characters, so that the client has to join several chunks.
CHUNK = 24

# A fault takes a request's parsed JSON body and returns the response to send
# instead of the model's reply, or None to let the model answer.
Fault = Callable[[dict], Optional[Response]]


class ChatEndpoint:
    """A chat-completions endpoint answered by a scripted model (see module doc)."""

    def __init__(self, model: Any = None, host: str = "127.0.0.1", port: int = 0,
                 latency: float = 0.0, record: bool = True):
        if not latency >= 0:
            raise ValueError("latency must be a number of seconds, 0 or more")
        self.model = model if model is not None else ScriptedChatModel()
        self.latency = float(latency)
        self.record = record
        self.requests: List[dict] = []
        self.fault: Optional[Fault] = None
        self._lock = threading.Lock()
        # werkzeug logs one line per request to stderr unless told otherwise;
        # the recorded requests say more, so only its warnings are shown.
        werkzeug_log = logging.getLogger("werkzeug")
        if werkzeug_log.level == logging.NOTSET:
            werkzeug_log.setLevel(logging.WARNING)
        self._server = HTTPServer(host=host, port=port, threaded=True)
        self._server.expect_request(CHAT_PATH, method="POST").respond_with_handler(self._handle)
        self._server.expect_request(ANY_PATH).respond_with_handler(self._not_found)

    # -- life cycle ----------------------------------------------------------

    def start(self) -> "ChatEndpoint":
        """Starts serving in a background thread; stops again at exit."""
        self._server.start()
        atexit.register(self.stop)
        return self

    def stop(self) -> None:
        """Stops serving and closes the listening socket; safe to repeat."""
        atexit.unregister(self.stop)
        if self._server.is_running():
            server = self._server.server
            self._server.stop()
            server.server_close()

    def __enter__(self) -> "ChatEndpoint":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()

    @property
    def url(self) -> str:
        """The base URL a client is given: "http://127.0.0.1:PORT/v1"."""
        return self._server.url_for("/v1")

    # -- what tests use ------------------------------------------------------

    def fail_with(self, fault: Optional[Fault]) -> None:
        """Answers every later request with `fault(body)` instead of the model,
        unless it returns None; None as `fault` goes back to the model."""
        self.fault = fault

    # -- serving -------------------------------------------------------------

    def _not_found(self, request: Request) -> Response:
        self._record(request, None)
        return error_response(404, "no route for %s %s" % (request.method, request.path), "invalid_request_error")

    def _record(self, request: Request, body: Any) -> dict:
        """Adds a request to `requests`: its path, headers, parsed body (None
        when it was not valid) and, later, the reply the model gave."""
        record = {"path": request.path, "headers": dict(request.headers), "body": body, "reply": None}
        if self.record:
            with self._lock:
                self.requests.append(record)
        return record

    def _handle(self, request: Request) -> Response:
        if self.latency:
            time.sleep(self.latency)
        try:
            body, messages = parse_request(request.get_data(as_text=True))
        except ValueError as error:
            self._record(request, None)
            return error_response(400, "invalid request: %s" % error, "invalid_request_error")
        record = self._record(request, body)
        fault = self.fault
        response = fault(body) if fault is not None else None
        if response is not None:
            return response
        reply = convert_message_to_dict(self.model.reply(messages, body.get("functions") or ()))
        record["reply"] = _apply_stop(reply, body.get("stop"))
        return _respond(body, record["reply"])


def _respond(body: dict, reply: dict) -> Response:
    """The reply as a chat completion, or as events when the request streams."""
    completion_id = "chatcmpl-scripted-" + uuid.uuid4().hex
    usage = _usage(body["messages"], reply)
    if body.get("stream"):
        include_usage = bool((body.get("stream_options") or {}).get("include_usage"))
        events = stream_events(completion_id, body.get("model", ""), reply, usage if include_usage else None)
        return Response(events, mimetype="text/event-stream", headers={"Cache-Control": "no-cache"})
    return Response(
        json.dumps(completion(completion_id, body.get("model", ""), reply, usage)),
        mimetype="application/json",
    )


# -- the OpenAI wire format ----------------------------------------------------


def parse_request(text: str):
    """The JSON body of a chat-completions request and its messages as the
    framework's message objects; ValueError says what is wrong with it."""
    body = json.loads(text)
    if not isinstance(body, dict):
        raise ValueError("the body must be a JSON object")
    messages = body.get("messages")
    if not isinstance(messages, list) or not all(isinstance(m, dict) for m in messages):
        raise ValueError("'messages' must be a list of message objects")
    functions = body.get("functions", [])
    if not isinstance(functions, list) or not all(isinstance(f, dict) for f in functions):
        raise ValueError("'functions' must be a list of function objects")
    return body, convert_openai_messages(messages)


def completion(completion_id: str, model: str, reply: dict, usage: dict) -> dict:
    """A `chat.completion` object holding one choice, the `reply` message."""
    return {
        "id": completion_id,
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model,
        "choices": [{"index": 0, "message": reply, "logprobs": None, "finish_reason": _finish_reason(reply)}],
        "usage": usage,
    }


def stream_events(completion_id: str, model: str, reply: dict, usage: Optional[dict]):
    """The server-sent events of a streamed reply, as encoded lines."""
    created = int(time.time())

    def chunk(delta: dict, finish_reason: Optional[str] = None) -> bytes:
        data = {
            "id": completion_id,
            "object": "chat.completion.chunk",
            "created": created,
            "model": model,
            "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish_reason}],
        }
        return _event(data)

    call = reply.get("function_call")
    if call:
        yield chunk({"role": "assistant", "content": None, "function_call": {"name": call["name"], "arguments": ""}})
        for piece in _pieces(call["arguments"]):
            yield chunk({"function_call": {"arguments": piece}})
    else:
        yield chunk({"role": "assistant", "content": ""})
        for piece in _pieces(reply.get("content") or ""):
            yield chunk({"content": piece})
    yield chunk({}, _finish_reason(reply))
    if usage is not None:
        yield _event({"id": completion_id, "object": "chat.completion.chunk", "created": created,
                      "model": model, "choices": [], "usage": usage})
    yield b"data: [DONE]\n\n"


def error_response(status: int, message: str, error_type: str, code: Optional[str] = None) -> Response:
    """An error reply in OpenAI's format: {"error": {"message", "type", ...}}."""
    error = {"message": message, "type": error_type, "param": None, "code": code}
    return Response(json.dumps({"error": error}), status=status, mimetype="application/json")


def truncated_reply(body: dict) -> Response:
    """A reply in the form `body` asked for (an event stream or a JSON body)
    whose JSON breaks off in the middle: what a proxy that drops the
    connection, or a server that is not quite OpenAI-compatible, delivers."""
    if body.get("stream"):
        return Response(b'data: {"id": "chatcmpl-cut", "choices": [{"del\n\n', mimetype="text/event-stream")
    return Response(b'{"id": "chatcmpl-cut", "choices": [{"mess', mimetype="application/json")


def _event(data: dict) -> bytes:
    return ("data: %s\n\n" % json.dumps(data)).encode()


def _pieces(text: str) -> List[str]:
    return [text[i : i + CHUNK] for i in range(0, len(text), CHUNK)]


def _finish_reason(reply: dict) -> str:
    return "function_call" if reply.get("function_call") else "stop"


def _apply_stop(reply: dict, stop: Any) -> dict:
    """The reply cut before the first stop sequence in its content."""
    content = reply.get("content")
    if not content or not stop:
        return reply
    sequences = [stop] if isinstance(stop, str) else list(stop)
    cut = min((content.find(s) for s in sequences if s and s in content), default=-1)
    return dict(reply, content=content[:cut]) if cut >= 0 else reply


def _usage(messages: List[dict], reply: dict) -> Dict[str, int]:
    """Usage figures: words stand in for tokens, which only the real service counts."""
    prompt = sum(len(str(m.get("content") or "").split()) for m in messages)
    call = reply.get("function_call") or {}
    completion_words = len(str(reply.get("content") or "").split()) + len(str(call.get("arguments", "")).split())
    return {"prompt_tokens": prompt, "completion_tokens": completion_words, "total_tokens": prompt + completion_words}


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Serve the scripted model as an OpenAI-compatible endpoint.")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    args = parser.parse_args(argv)
    stopped = threading.Event()
    # SIGTERM (a service manager, `kill`) stops it as cleanly as Ctrl+C does;
    # a shell's background job ignores SIGINT, so it needs that.
    signal.signal(signal.SIGTERM, lambda signum, frame: stopped.set())
    with ChatEndpoint(port=args.port) as endpoint:
        print("Serving chat completions at", endpoint.url, "(Ctrl+C or SIGTERM stops)", flush=True)
        try:
            while not stopped.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
