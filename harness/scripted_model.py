"""An offline, scripted chat model that plays all three of zarvosdk's agents.

`ScriptedChatModel` stands in for a real language model. It needs no
network and answers deterministically, but it is not canned: every answer is
worked out from the messages it receives, the way a real model's would be.

The decisions live in `ScriptedChatModel.reply`, which takes the messages
and the functions offered and returns the next message. The model object
calls it when the agents are handed the model itself (the in-process
end-to-end tests); harness.model_endpoint calls the same method behind an
OpenAI-compatible HTTP endpoint, so that the demo and the tests of the real
chat client run against exactly these decisions.

Which agent is asking
    * the SQL agent built with OpenAI functions binds the database functions
      (`sql_db_query`, ...) to the model, so they arrive as `functions`;
    * the Python agent binds the code function `Python_REPL`;
    * the zero-shot ReAct agents bind no functions: they send one text prompt
      in the ReAct format (`Action:` / `Action Input:` / `Final Answer:`),
      question and scratchpad included, whose "should be one of [...]" line
      names their tools. With `sql_db_query` among them it is the ReAct SQL
      agent (`AgentRunner`'s default); otherwise the conversational agent.

What it does for each
    * conversational agent: reads the question and the observations already
      in the scratchpad and takes the next step of a small plan:
        - forecast ("forecast", "predict", ...): SQLAgent for the series, then
          ForecastTool with {"data_input": {"date": [...], "values": [...]},
          "period": N} built from the SQLAgent observation, then a Final Answer
          with the forecast table;
        - chart ("chart", "plot", "draw", ...): SQLAgent for the series, then
          PythonAgent with the numbers written into its input, then a Final
          Answer with what the chart shows;
        - a question matching one of `queries`: SQLAgent, then a Final Answer
          with its reply;
        - anything else: a direct Final Answer, no tool.
    * SQL agent, either form: calls `sql_db_query` with the SQL that fits its
      input (`series_query` for a series request, else the first matching
      entry of `queries`), then reports the observation;
    * Python agent: calls `Python_REPL` with matplotlib code (Agg backend)
      that draws the numbers given in its input and saves 'temp_chart.png' in
      the current directory, then describes the chart.

A model that follows instructions hidden in the data
    With `obeys_injections`, the model plays one that a poisoned row can
    steer: when a text column of the series it charts carries code between
    `<<<` and `>>>`, the conversational role passes that note on to the
    Python agent, and the Python role runs the code instead of the chart.
    `series_queries` pick the series SQL by a keyword of the question, so one
    conversation can chart a poisoned table and then a clean one.

`TableFindingChatModel` plays the ReAct SQL agent the long way, through the
table list first, for tests that must see each database tool's result reach
the model.
"""
import ast
import datetime
import json
import re
from typing import Any, List, Optional, Sequence, Tuple

from langchain_core.language_models.fake_chat_models import FakeChatModel
from langchain_core.messages import AIMessage, BaseMessage, FunctionMessage, HumanMessage
from langchain_core.outputs import ChatGeneration, ChatResult

from harness.chat_client import CallbacksInConfig

# The fake model is a pydantic v2 model on the framework's 0.3 line and a
# pydantic v1 model on the 0.2 line; its fields take that version's Field.
if hasattr(FakeChatModel, "model_fields"):
    from pydantic import Field
else:
    from pydantic.v1 import Field

# Queries for the demo's sample database: a `sales` table with sale_date,
# product and amount. Tests pass their own.
DEFAULT_SERIES_QUERY = "SELECT sale_date, amount FROM sales ORDER BY sale_date"
DEFAULT_QUERIES = [
    ("total", "SELECT SUM(amount) AS total_sales FROM sales"),
    ("best day", "SELECT sale_date, amount FROM sales ORDER BY amount DESC LIMIT 1"),
    ("how many", "SELECT COUNT(*) AS sale_rows FROM sales"),
    ("average", "SELECT AVG(amount) AS average_sale FROM sales"),
]

FORECAST_WORDS = ("forecast", "predict", "projection")
CHART_WORDS = ("chart", "plot", "draw", "graph", "figure", "visuali")

# How the conversational role asks SQLAgent for a series; the SQL role
# recognises the request by this opening.
SERIES_REQUEST = "Fetch the time series (every date with its value, oldest first) for: "
CHART_FILE = "temp_chart.png"
CHAT_REPLY = (
    "I can answer questions about the data in the database, draw charts of it "
    "and forecast it."
)


class ScriptedChatModel(CallbacksInConfig, FakeChatModel):
    """Deterministic stand-in for a chat model; see the module docstring."""

    series_query: str = DEFAULT_SERIES_QUERY
    """SQL that returns the series to chart or forecast: (date, value) rows, oldest first."""
    queries: List[Tuple[str, str]] = Field(default_factory=lambda: list(DEFAULT_QUERIES))
    """(keyword, SQL) pairs: the first keyword found in a question picks its SQL."""
    forecast_period: int = 7
    """Forecast length when the question does not say "next N"."""
    series_queries: List[Tuple[str, str]] = Field(default_factory=list)
    """(keyword, SQL) pairs tried before `series_query` for a series request."""
    obeys_injections: bool = False
    """Follow code found in the data between `<<<` and `>>>` (see the module docstring)."""

    @property
    def _llm_type(self) -> str:
        return "scripted-chat-model"

    def _generate(
        self,
        messages: List[BaseMessage],
        stop: Optional[List[str]] = None,
        run_manager: Any = None,
        **kwargs: Any,
    ) -> ChatResult:
        reply = self.reply(messages, kwargs.get("functions") or ())
        return ChatResult(generations=[ChatGeneration(message=reply)])

    def reply(self, messages: List[BaseMessage], functions: Sequence[dict] = ()) -> AIMessage:
        """The model's next message after `messages`, with `functions` (the
        OpenAI function schemas the caller offered, possibly none) to call."""
        names = {f.get("name") for f in functions}
        if "sql_db_query" in names:
            return self._sql_agent_turn(messages)
        if "Python_REPL" in names:
            return self._python_agent_turn(messages)
        prompt = _text(messages[-1]) if messages else ""
        if "sql_db_query" in react_tool_names(prompt):
            return AIMessage(content=self._sql_react_turn(prompt))
        return AIMessage(content=self._conversation_turn(prompt))

    async def _agenerate(self, messages, stop=None, run_manager=None, **kwargs):
        return self._generate(messages, stop=stop, **kwargs)

    # -- the conversational (zero-shot ReAct) agent --------------------------

    def _conversation_turn(self, prompt: str) -> str:
        question, steps = parse_react_prompt(prompt)
        seen = {tool: observation for tool, _, observation in steps}
        intent = self._intent(question)
        if intent == "chat":
            return final_answer(CHAT_REPLY)
        if "SQLAgent" not in seen:
            request = question if intent == "query" else SERIES_REQUEST + question
            return action("I need the data from the database first.", "SQLAgent", request)
        if intent == "query":
            return final_answer(seen["SQLAgent"])
        rows = parse_rows(seen["SQLAgent"])
        dates, values = series_from_rows(rows)
        if not values:
            return final_answer("The database returned no series to work with: " + seen["SQLAgent"])
        if intent == "chart":
            if "PythonAgent" not in seen:
                request = chart_request(question, dates, values)
                if self.obeys_injections:
                    request += "".join(" " + note for note in injected_notes(rows))
                return action("Now I can have the chart drawn from these numbers.", "PythonAgent", request)
            return final_answer(seen["PythonAgent"])
        if "ForecastTool" not in seen:
            period = forecast_period(question, self.forecast_period)
            request = json.dumps({"data_input": {"date": dates, "values": values}, "period": period})
            return action("Now I can forecast the series.", "ForecastTool", request)
        return final_answer(forecast_answer(seen["ForecastTool"]))

    def _intent(self, question: str) -> str:
        lowered = question.lower()
        if any(word in lowered for word in FORECAST_WORDS):
            return "forecast"
        if any(word in lowered for word in CHART_WORDS):
            return "chart"
        if self._query_for(lowered) is not None:
            return "query"
        return "chat"

    def _query_for(self, text: str) -> Optional[str]:
        lowered = text.lower()
        for keyword, sql in self.queries:
            if keyword.lower() in lowered:
                return sql
        return None

    # -- the SQL (OpenAI functions) agent ------------------------------------

    def _sql_agent_turn(self, messages: List[BaseMessage]) -> AIMessage:
        result = _function_result(messages, "sql_db_query")
        if result is None:
            sql = self._sql_for(_human_input(messages))
            if sql is None:
                return AIMessage(content="I don't know")
            return function_call("sql_db_query", {"query": sql})
        sql = _last_call_arguments(messages).get("query", "")
        return AIMessage(content=query_report(sql, _text(result)))

    # -- the SQL (zero-shot ReAct) agent -------------------------------------

    def _sql_react_turn(self, prompt: str) -> str:
        question, steps = parse_react_prompt(prompt)
        queries = [(tool_input, observation) for tool, tool_input, observation in steps if tool == "sql_db_query"]
        if not queries:
            sql = self._sql_for(question)
            if sql is None:
                return final_answer("I don't know")
            return action("I should query the database.", "sql_db_query", sql)
        sql, observation = queries[-1]
        return final_answer(query_report(sql.strip(), observation.strip()))

    def _sql_for(self, request: str) -> Optional[str]:
        """The SQL for a request the SQL agent received, or None."""
        if request.startswith(SERIES_REQUEST):
            lowered = request.lower()
            for keyword, sql in self.series_queries:
                if keyword.lower() in lowered:
                    return sql
            return self.series_query
        return self._query_for(request)

    # -- the Python (OpenAI functions) agent ---------------------------------

    def _python_agent_turn(self, messages: List[BaseMessage]) -> AIMessage:
        request = _human_input(messages)
        data = _json_after(request, "Data: ")
        dates, values = data.get("date", []), data.get("values", [])
        result = _function_result(messages, "Python_REPL")
        if result is None:
            title = re.search(r'titled "([^"]*)"', request)
            code = chart_code(dates, values, title.group(1) if title else "Values by date")
            injected = _INJECTED_CODE.search(request) if self.obeys_injections else None
            if injected:
                code = injected.group(1)
            return function_call("Python_REPL", {"query": code})
        # A sandboxed tool may open its result with a note in brackets.
        if not re.sub(r"\A\[[^\]\n]*\]\n", "", result.content).startswith("plotted"):
            return AIMessage(content="The chart code failed: " + result.content)
        return AIMessage(content=describe_series(dates, values))


class TableFindingChatModel(ScriptedChatModel):
    """The ReAct SQL agent's part played from what the database tools show:
    it first asks for the table list (`sql_db_list_tables`), queries `table`
    with `query` (SQL with `{table}` to fill) only when that list names it,
    and answers with the first number of the query's result, so the answer
    can only be right when both tools really ran. Every prompt text it gets
    is kept in `prompts`. Its other parts are ScriptedChatModel's."""

    table: str
    query: str
    prompts: List[str] = Field(default_factory=list)

    def reply(self, messages: List[BaseMessage], functions: Sequence[dict] = ()) -> AIMessage:
        self.prompts.append("\n".join(_text(m) for m in messages))
        return super().reply(messages, functions)

    def _sql_react_turn(self, prompt: str) -> str:
        _, steps = parse_react_prompt(prompt)
        if not steps:
            return action("I should see which tables there are.", "sql_db_list_tables", "")
        if len(steps) == 1:
            tables = [name.strip() for name in steps[0][2].split(",")]
            if self.table not in tables:
                return final_answer("no table %s among %r" % (self.table, tables))
            return action(
                "The table %s holds the readings; I will query it." % self.table,
                "sql_db_query",
                self.query.format(table=self.table),
            )
        numbers = re.findall(r"-?\d+", steps[1][2])
        if not numbers:
            return final_answer("the query gave no number: %s" % steps[1][2])
        return final_answer("The total is %s." % numbers[0])


# -- reading prompts and observations -----------------------------------------

_STEP = re.compile(
    r"Action: (?P<tool>[^\n]*)\nAction Input: (?P<input>.*?)\nObservation: (?P<observation>.*?)\nThought:",
    re.S,
)


def parse_react_prompt(prompt: str) -> Tuple[str, List[Tuple[str, str, str]]]:
    """The question and the (tool, input, observation) steps of a zero-shot prompt."""
    body = prompt.split("Begin!", 1)[-1]
    match = re.search(r"Question: (.*?)\nThought:(.*)\Z", body, re.S)
    if not match:
        return body.strip(), []
    question, scratchpad = match.group(1).strip(), match.group(2)
    steps = [(m["tool"].strip(), m["input"], m["observation"]) for m in _STEP.finditer(scratchpad)]
    return question, steps


# A result of one row with one value: "[(Decimal('41835.00'),)]" or "[(30,)]".
_SINGLE_VALUE = re.compile(r"\[\((?:Decimal\('([^']*)'\)|([^,()\[\]]+)),\)\]")
_TOOL_LIST = re.compile(r"should be one of \[([^\]\n]*)\]")


def react_tool_names(prompt: str) -> List[str]:
    """The tool names a zero-shot ReAct prompt offers ([] for other prompts)."""
    match = _TOOL_LIST.search(prompt)
    return [name.strip() for name in match.group(1).split(",")] if match else []


def query_report(sql: str, result: str) -> str:
    """What the SQL agent says about a query's result: the value itself for
    one row of one value, else the whole result (an error text included)."""
    single = _SINGLE_VALUE.fullmatch(result.strip())
    if single:
        value = single.group(1) if single.group(1) is not None else single.group(2)
        return "The query `%s` returned %s." % (sql, value.strip())
    return "The query `%s` returned: %s" % (sql, result)
_DATE_CALL = re.compile(r"datetime\.(?:date|datetime)\((\d+), (\d+), (\d+)[^)]*\)")
_DECIMAL_CALL = re.compile(r"Decimal\('([^']*)'\)")


def parse_rows(text: str) -> List[tuple]:
    """Rows of a query result as the SQL tool prints them, e.g.
    "[(datetime.date(2024, 1, 1), Decimal('1000.00')), ...]"; dates become
    "YYYY-MM-DD" texts and decimals floats. [] when there are none."""
    start, end = text.find("[("), text.rfind(")]")
    if start < 0 or end < start:
        return []
    literal = _DATE_CALL.sub(
        lambda m: repr(datetime.date(*map(int, m.groups())).isoformat()), text[start : end + 2]
    )
    literal = _DECIMAL_CALL.sub(lambda m: m.group(1), literal)
    try:
        return [tuple(row) for row in ast.literal_eval(literal)]
    except (ValueError, SyntaxError):
        return []


_INJECTED_CODE = re.compile(r"<<<(.*?)>>>", re.S)


def injected_notes(rows: List[tuple]) -> List[str]:
    """The text cells of the rows that carry code between `<<<` and `>>>`."""
    return [cell for row in rows for cell in row[1:-1] if isinstance(cell, str) and _INJECTED_CODE.search(cell)]


def series_from_rows(rows: List[tuple]) -> Tuple[List[str], List[float]]:
    """Dates (first column) and values (last column) of (date, ..., value) rows."""
    pairs = [(str(row[0]), float(row[-1])) for row in rows if len(row) >= 2]
    return [d for d, _ in pairs], [v for _, v in pairs]


def forecast_period(question: str, default: int) -> int:
    match = re.search(r"next (\d+)", question.lower())
    return int(match.group(1)) if match else default


_FORECAST_ROW = re.compile(r"^\s*\d+\s+(\d{4}-\d{2}-\d{2})\s+(\S+)\s*$", re.M)


def forecast_answer(observation: str) -> str:
    """The forecast table the tool returned, as date/value lines."""
    rows = _FORECAST_ROW.findall(observation)
    if not rows:
        return "The forecast tool did not return a forecast: " + observation
    lines = ["%s  %s" % row for row in rows]
    return "Forecast for the next %d periods (least-squares trend):\n%s" % (
        len(rows),
        "\n".join(lines),
    )


def describe_series(dates: List[str], values: List[float]) -> str:
    if not values:
        return "There were no numbers to chart."
    trend = "rose" if values[-1] > values[0] else "fell" if values[-1] < values[0] else "stayed level"
    low, high = values.index(min(values)), values.index(max(values))
    return (
        "The line chart of %d points shows the value %s from %g on %s to %g on %s; "
        "the lowest was %g on %s and the highest %g on %s."
        % (len(values), trend, values[0], dates[0], values[-1], dates[-1],
           values[low], dates[low], values[high], dates[high])
    )


# -- writing replies ----------------------------------------------------------


def action(thought: str, tool: str, tool_input: str) -> str:
    return " %s\nAction: %s\nAction Input: %s" % (thought, tool, tool_input)


def final_answer(text: str) -> str:
    return " I now know the final answer.\nFinal Answer: " + text


def function_call(name: str, arguments: dict) -> AIMessage:
    payload = {"name": name, "arguments": json.dumps(arguments)}
    return AIMessage(content="", additional_kwargs={"function_call": payload})


def chart_request(question: str, dates: List[str], values: List[float]) -> str:
    title = question.strip().rstrip("?.!")[:70]
    data = json.dumps({"date": dates, "values": values})
    return 'Draw a line chart titled "%s" and save it as \'%s\' in the current directory. Data: %s' % (
        title.replace('"', "'"),
        CHART_FILE,
        data,
    )


def chart_code(dates: List[str], values: List[float], title: str) -> str:
    """Plotting code that carries its data as literals and queries nothing."""
    # The REPL runs code in a namespace it shares with the framework's own
    # module, so the names used here are chosen not to clash with it.
    return "\n".join(
        [
            "import matplotlib",
            'matplotlib.use("Agg")',
            "import matplotlib.pyplot as plt",
            "chart_dates = %s" % json.dumps(dates),
            "chart_values = %s" % json.dumps(values),
            "fig, ax = plt.subplots(figsize=(9, 4))",
            'ax.plot(chart_dates, chart_values, marker="o")',
            "ax.set_title(%r)" % title,
            'ax.set_xlabel("date")',
            'ax.set_ylabel("value")',
            "ax.set_xticks(chart_dates[:: max(1, len(chart_dates) // 8)])",
            "fig.autofmt_xdate()",
            "fig.tight_layout()",
            "fig.savefig(%r)" % CHART_FILE,
            "plt.close(fig)",
            'print("plotted", len(chart_values), "points")',
        ]
    )


# -- message helpers ----------------------------------------------------------


def _text(message: BaseMessage) -> str:
    content = message.content
    return content if isinstance(content, str) else json.dumps(content)


def _human_input(messages: List[BaseMessage]) -> str:
    humans = [m for m in messages if isinstance(m, HumanMessage)]
    return _text(humans[-1]) if humans else ""


def _function_result(messages: List[BaseMessage], name: str) -> Optional[FunctionMessage]:
    for message in reversed(messages):
        if isinstance(message, FunctionMessage) and message.name == name:
            return message
    return None


def _last_call_arguments(messages: List[BaseMessage]) -> dict:
    for message in reversed(messages):
        call = message.additional_kwargs.get("function_call") if isinstance(message, AIMessage) else None
        if call:
            try:
                return json.loads(call.get("arguments") or "{}")
            except ValueError:
                return {}
    return {}


def _json_after(text: str, marker: str) -> dict:
    at = text.find(marker)
    if at < 0:
        return {}
    try:
        value, _ = json.JSONDecoder().raw_decode(text[at + len(marker) :])
    except ValueError:
        return {}
    return value if isinstance(value, dict) else {}
