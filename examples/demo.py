"""zarvosdk demo: ask a sample sales database questions in plain language.

Starts a private MariaDB server with a small sales table, connects to it
with a read-only account through DatabaseConnector, builds the
conversational agent with AgentInitializer.create_agent and has a short
conversation with it: a question answered from the database, a chart drawn
into a file and a forecast. It prints each question, the tool calls the
agents made and the answer; the framework's own step-by-step output goes to
a log file beside the chart.

The language model is, unless you choose a real one, ScriptedChatModel
(scripted_model.py): an offline stand-in that plays the model's part
deterministically, working out each step from the messages it receives. To
talk to a real OpenAI chat model instead:

    .venv/bin/python -m pip install -r requirements/real-model.txt
    ZARVOSDK_DEMO_MODEL=gpt-4o-mini OPENAI_API_KEY=... scripts/demo

Usage: demo.py [--output DIR]   (default: a new folder under the temp dir)
"""
import argparse
import ast
import contextlib
import os
import re
import shutil
import sys
import tempfile
import traceback
import warnings

# The pinned agent framework announces its own import reshuffles and
# deprecations loudly; they are not this demo's business.
with warnings.catch_warnings(record=True):
    from langchain_core._api.deprecation import LangChainDeprecationWarning
    from langchain_core.callbacks import BaseCallbackHandler

    from zarvosdk.agent import AgentInitializer
    from zarvosdk.base import DatabaseConnector
    import zarvosdk.agent

warnings.filterwarnings("ignore", category=LangChainDeprecationWarning)

from sample_database import READER, READER_PASSWORD, start_sample_database  # noqa: E402
from scripted_model import ScriptedChatModel  # noqa: E402

QUESTIONS = [
    "What were the total sales?",
    "Draw a chart of the daily sales.",
    "Forecast the daily sales for the next 7 days.",
]
CHART = "temp_chart.png"
FRAMEWORK_LOG = "agent-framework.log"
MODEL_VARIABLE = "ZARVOSDK_DEMO_MODEL"


def make_model():
    """The chat model and a line saying what it is."""
    name = os.environ.get(MODEL_VARIABLE, "").strip()
    if not name:
        return ScriptedChatModel(), (
            "ScriptedChatModel, an offline scripted stand-in for a real chat model "
            "(set %s and OPENAI_API_KEY to use a real one; see README.md)" % MODEL_VARIABLE
        )
    if not os.environ.get("OPENAI_API_KEY"):
        raise SystemExit("%s=%s needs OPENAI_API_KEY as well." % (MODEL_VARIABLE, name))
    try:
        import openai  # noqa: F401
    except ImportError:
        raise SystemExit(
            "%s=%s needs the openai package: "
            ".venv/bin/python -m pip install -r requirements/real-model.txt" % (MODEL_VARIABLE, name)
        )
    from langchain_community.chat_models import ChatOpenAI

    return ChatOpenAI(model=name, temperature=0), "OpenAI chat model %s (from %s)" % (name, MODEL_VARIABLE)


class ToolTrace(BaseCallbackHandler):
    """Prints one line per tool call, nested calls indented, to `stream`."""

    def __init__(self, stream):
        self.stream = stream
        self.depth = 0

    def on_tool_start(self, serialized, input_str, **kwargs):
        self.depth += 1
        self._line("-> %s: %s" % (serialized.get("name"), brief(input_str)))

    def on_tool_end(self, output, **kwargs):
        self._line("<- %s" % brief(output))
        self.depth -= 1

    def on_tool_error(self, error, **kwargs):
        self._line("<- error: %s" % brief(error))
        self.depth -= 1

    def _line(self, text):
        print("      " + "   " * (self.depth - 1) + text, file=self.stream, flush=True)


def brief(value, width=96):
    """A tool input or output on one short line."""
    text = str(value)
    try:
        decoded = ast.literal_eval(text)
        if isinstance(decoded, dict) and len(decoded) == 1:
            text = str(next(iter(decoded.values())))
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        pass
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    if len(lines) > 3 and lines[0].startswith("import"):
        text = "<%d lines of Python code>" % len(lines)
    else:
        text = " | ".join(lines)
    return text if len(text) <= width else text[: width - 3] + "..."


class PlainText:
    """A text stream that drops terminal colour codes on the way to `target`."""

    _ANSI = re.compile(r"\x1b\[[0-9;]*m")

    def __init__(self, target):
        self.target = target

    def write(self, text):
        return self.target.write(self._ANSI.sub("", text))

    def flush(self):
        self.target.flush()


def ask(agent, number, question, log):
    """Runs one question, the framework's own output going to `log`."""
    print("\n[%d] Question: %s" % (number, question))
    print("    Tool calls:")
    chart_before = _mtime(CHART)
    trace = ToolTrace(sys.stdout)
    print("\n===== %s\n" % question, file=log, flush=True)
    try:
        with contextlib.redirect_stdout(PlainText(log)), contextlib.redirect_stderr(log):
            answer = agent.run(question, callbacks=[trace])
    except Exception as error:  # a real model can fail in many ways; report and go on
        print("    Failed: %s" % (str(error) and "%s: %s" % (type(error).__name__, error) or repr(error)))
        print("    (the traceback is in %s)" % FRAMEWORK_LOG)
        traceback.print_exc(file=log)
        return False
    print("    Answer:")
    for line in str(answer).splitlines() or [""]:
        print("      " + line)
    if _mtime(CHART) != chart_before:
        print("    Chart written: %s (%d bytes)" % (os.path.abspath(CHART), os.path.getsize(CHART)))
    return True


def _mtime(path):
    return os.stat(path).st_mtime_ns if os.path.exists(path) else None


def converse(db, output, llm):
    """The short conversation, run inside the output folder."""
    # The Python agent is told to save its charts in the current directory and
    # in `path`; both are the output folder here.
    agent = AgentInitializer(llm, db, path=output).create_agent()
    log_path = os.path.join(output, FRAMEWORK_LOG)
    answered = 0
    with open(log_path, "a", encoding="utf-8") as log:
        for number, question in enumerate(QUESTIONS, 1):
            answered += ask(agent, number, question, log)
    history = zarvosdk.agent.conversational_memory.load_memory_variables({})["chat_history"]
    print("\nThe shared conversation memory now holds %d exchanges." % (len(history) // 2))
    print("The framework's step-by-step output is in", log_path)
    return answered == len(QUESTIONS)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", help="folder for the chart and the framework log")
    args = parser.parse_args(argv)

    llm, model_line = make_model()
    stand_in = isinstance(llm, ScriptedChatModel)
    work = tempfile.mkdtemp(prefix="zarvosdk-demo-")
    output = os.path.abspath(args.output or os.path.join(work, "output"))
    os.makedirs(output, exist_ok=True)
    print("Language model:", model_line)
    print("Starting a private MariaDB server in", work)
    server = start_sample_database(os.path.join(work, "mariadb"))
    cwd = os.getcwd()
    try:
        connector = DatabaseConnector(READER, READER_PASSWORD, server.host, server.database)
        status = connector.connect()
        print("Connection status:", status)
        if not status["connected"]:
            return 1
        print("Tables the read-only account can see:", connector.db.get_usable_table_names())
        print("Working in", output)
        os.chdir(output)
        ok = converse(connector.db, output, llm)
    finally:
        os.chdir(cwd)
        server.close()
        shutil.rmtree(os.path.join(work, "mariadb"), ignore_errors=True)
        print("MariaDB server stopped.")
    if stand_in:
        print(
            "\nThe answers above were written by the scripted stand-in model, not by a real "
            "language model;\nthe database queries, the chart and the forecast are real."
        )
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
