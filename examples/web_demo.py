"""zarvosdk chat page: ask the sample sales database questions in a browser.

Starts the same private MariaDB server and built-in model endpoint as the
terminal demo (demo.py), or uses another OpenAI-compatible server given with
--base-url and --model, and serves the chat page (web_page.py, a Streamlit
app) on a loopback port until interrupted (Ctrl+C). Each browser session is
its own conversation: its own agent, window memory and chart folder.

Usage: web_demo.py [--port N] [--host ADDR] [--allowed-host NAME] [--output DIR]
                   [--base-url URL --model NAME | --model-latency SECONDS]
                   [--max-sessions N] [--idle-minutes M] [--run-minutes M] [--closed-seconds S]
                   [--forecast-periods N] [--forecast-rows N]

Sessions run side by side; `--max-sessions` of them (default 8) hold an
agent and a sandbox at once, each ends `--closed-seconds` (15) after its tab
is gone or `--idle-minutes` (15) after its last question, and a question is
stopped after `--run-minutes` (5). The forecast tool, which runs in the
page's process, refuses more than `--forecast-periods` periods (1000) or a
history of more than `--forecast-rows` rows (5000).

scripts/demo --web runs it with the repository root and examples/ on the
import path, after installing the page's requirements (requirements/web.txt).
"""
import argparse
import concurrent.futures
import errno
import ipaddress
import os
import shutil
import socket
import sys
import tempfile

import demo
import web_server
import web_sessions
from harness.sample_database import READER, READER_PASSWORD, start_sample_database

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web_page.py")
DEFAULT_PORT = 8501


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help="port to serve on (default %(default)s)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to serve on (default %(default)s; the page has no log-in)")
    parser.add_argument("--output", help="folder for the sessions' charts")
    parser.add_argument("--base-url", help="an OpenAI-compatible server to use instead of the built-in endpoint")
    parser.add_argument("--model", help="the model to ask on that server (with --base-url)")
    parser.add_argument("--allowed-host", action="append", default=[], metavar="NAME",
                        help="a host name browsers may use for the page besides its address and localhost "
                             "(repeatable; other names are refused)")
    parser.add_argument("--model-latency", type=float, default=0.0, metavar="SECONDS",
                        help="the built-in endpoint answers each request this much later, as a real model would")
    parser.add_argument("--max-sessions", type=int, default=8,
                        help="sessions that hold an agent and a sandbox at once (default %(default)s)")
    parser.add_argument("--idle-minutes", type=float, default=15.0,
                        help="a session ends this long after its last question (default %(default)s)")
    parser.add_argument("--run-minutes", type=float, default=5.0,
                        help="a question is stopped after this long (default %(default)s)")
    parser.add_argument("--closed-seconds", type=float, default=15.0,
                        help="a session ends this long after its tab is gone (default %(default)s)")
    parser.add_argument("--forecast-periods", type=int, default=web_sessions.FORECAST_PERIODS,
                        help="the forecast tool refuses more periods than this (default %(default)s)")
    parser.add_argument("--forecast-rows", type=int, default=web_sessions.FORECAST_HISTORY,
                        help="the forecast tool refuses a history of more rows than this (default %(default)s)")
    args = parser.parse_args(argv)
    for name in ("max_sessions", "forecast_periods", "forecast_rows"):
        if getattr(args, name) < 1:
            parser.error("--%s takes a whole number from 1" % name.replace("_", "-"))
    for name in ("idle_minutes", "run_minutes", "closed_seconds"):
        if not getattr(args, name) > 0:
            parser.error("--%s takes a number greater than 0" % name.replace("_", "-"))
    if not args.model_latency >= 0 or (args.model_latency and args.base_url):
        parser.error("--model-latency takes seconds, 0 or more, for the built-in endpoint only")
    if bool(args.base_url) != bool(args.model):
        parser.error("--base-url and --model go together")
    if not 0 < args.port < 65536:
        parser.error("--port takes a port number from 1 to 65535")
    args.api_key = os.environ.get("OPENAI_API_KEY", "") if args.base_url else "no-key-needed"
    if not args.api_key:
        parser.error("--base-url needs the server's API key in OPENAI_API_KEY (any text for a server that checks none)")
    return args


def check_address(host, port):
    """None when the page can listen on host:port (nothing else holds it, the
    address is this machine's), else why not. Checked before anything starts;
    the server binds the same way (SO_REUSEADDR)."""
    try:
        family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
        with socket.socket(family, socket.SOCK_STREAM) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            probe.bind((host, port))
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            return "port %d on %s is already in use; choose another with --port" % (port, host)
        return "cannot listen on %s port %d: %s" % (host, port, error.strerror or error)
    return None


def guarded(db):
    """The database handle the agents get: read-only guarded when the package
    has the guard, else the plain handle (the account may only read)."""
    try:
        from zarvosdk.guard import read_only
    except ImportError:
        return db, "a read-only account"
    return read_only(db, seconds=10.0, max_rows=1000), "a read-only account through zarvosdk.guard.read_only"


def session_alive(session_id):
    """Whether Streamlit still has the browser session connected."""
    from streamlit.runtime import Runtime

    return not Runtime.exists() or Runtime.instance().is_active_session(session_id)


def close_session(session_id):
    """Has Streamlit drop a session the page has ended (its state, its
    images), on the server's event loop as it requires."""
    from streamlit.runtime import Runtime

    if not Runtime.exists():
        return
    runtime = Runtime.instance()
    objects = getattr(runtime, "_async_objs", None)
    if objects is not None:
        objects.eventloop.call_soon_threadsafe(runtime.close_session, session_id)


def serve(host, port, allowed_hosts=()):
    """Runs the Streamlit server in this thread until interrupted; the page's
    sessions share this process and so web_sessions.BACKEND."""
    from streamlit.web import bootstrap

    web_server.install(host, port, allowed_hosts)
    options = {
        "server.address": host,
        "server.port": port,
        "server.headless": True,
        "server.fileWatcherType": "none",
        "server.runOnSave": False,
        "browser.gatherUsageStats": False,
        "global.developmentMode": False,
        "client.toolbarMode": "minimal",
        "client.showErrorDetails": False,
        # Streamlit collects garbage after every script run of every session,
        # a pause that grows with the sessions; the page collects when it
        # ends sessions instead.
        "runner.postScriptGC": False,
        # The page takes no files (their endpoint answers 404, web_server.py):
        # tornado buffers no request body, nor websocket frame, over 1 MB
        # (the option is its read buffer's bound), and no websocket message
        # over 2 MB however many frames carry it. The page's own messages
        # are far smaller; Streamlit's default took three of 150 MB at once.
        "server.maxUploadSize": 1,
        "server.maxMessageSize": 2,
    }
    bootstrap.load_config_options(options)
    bootstrap.run(PAGE, False, [], options)


def main(argv=None):
    args = parse_args(argv)
    problem = check_address(args.host, args.port)
    if problem:
        print("web_demo: error:", problem, file=sys.stderr)
        return 1
    if not is_loopback(args.host):
        print("WARNING: serving on %s: the page has no log-in; anyone who can reach it can ask the "
              "database questions and run the agents." % args.host, file=sys.stderr)
    work = tempfile.mkdtemp(prefix="zarvosdk-web-")
    try:
        return serve_in(work, args)
    finally:
        # The page made it: the database's files and, without --output, the
        # sessions' folders go with it.
        shutil.rmtree(work, ignore_errors=True)


def import_page():
    """The framework's and Streamlit's imports, the slow part of start-up."""
    demo.import_framework()
    import streamlit.web.bootstrap  # noqa: F401


def serve_in(work, args):
    """Starts the database (its files in `work`) and the model endpoint and
    serves the page until interrupted; stops them and ends the sessions."""
    output = os.path.abspath(args.output or os.path.join(work, "output"))
    os.makedirs(output, exist_ok=True)
    print("Starting a private MariaDB server in", work, flush=True)
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as background:
        # The imports go beside the database's start, which stays in this
        # thread: the server is killed by the kernel when the thread that
        # started it ends (its parent-death signal), and this one lasts as
        # long as the page, also when the page is killed or crashes.
        importing = background.submit(import_page)
        server = start_sample_database(os.path.join(work, "mariadb"))
        importing.result()
    endpoint = None
    try:
        from harness.model_endpoint import ChatEndpoint
        from zarvosdk.base import DatabaseConnector

        if args.base_url:
            llm = demo.chat_client(args.base_url, args.model, args.api_key)
            model = "%s at %s" % (args.model, args.base_url)
        else:
            endpoint = ChatEndpoint(latency=args.model_latency, record=False).start()
            llm = demo.chat_client(endpoint.url, "scripted", args.api_key)
            model = "the built-in scripted stand-in model at %s" % endpoint.url
        connector = DatabaseConnector(READER, READER_PASSWORD, server.host, server.database)
        status = connector.connect()
        if not status["connected"]:
            print("Cannot connect to the sample database:", status["message"], file=sys.stderr)
            return 1
        db, how = guarded(connector.db)
        print("Language model:", model)
        print("Database: %s on %s, as %s" % (server.database, server.host, how))
        web_sessions.BACKEND = web_sessions.Backend(
            llm, db, output,
            "Sample sales database %s (table sales), read through %s. Model: %s." % (server.database, how, model),
            max_sessions=args.max_sessions, idle_minutes=args.idle_minutes, run_minutes=args.run_minutes,
            gone_seconds=args.closed_seconds, is_session_alive=session_alive, on_released=close_session,
            forecast_periods=args.forecast_periods, forecast_history=args.forecast_rows,
        )
        print("Chat page: http://%s:%d  (Ctrl+C to stop)" % (
            "[%s]" % args.host if ":" in args.host else args.host, args.port), flush=True)
        serve(args.host, args.port, args.allowed_host)
    finally:
        if web_sessions.BACKEND is not None:
            web_sessions.BACKEND.close()
        server.close()
        if endpoint is not None:
            endpoint.stop()
        print("Stopped the page, the model endpoint and the MariaDB server.", flush=True)
        if args.output:
            print("The sessions' folders were under", output, "(each removed when its session ended)", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
