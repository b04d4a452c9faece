"""The chat page's forecast tool: the package's ForecastTool behind bounds on
its input, so that no request can hold the page's interpreter for long.

The package's forecast runs in the page's process, and its loops over the
history and over the forecast's points run in compiled code that does not
hand the GIL to another thread: while one runs, every session waits. Its
time grows with its input (a request for a million periods over two equal
dates ran for 16 s, holding the GIL for seconds at a stretch), and a
question's time limit cannot stop a tool midway. The page's
agents get `BoundedForecastTool`, which refuses, before the package's tool
sees it, a request longer than MAX_REQUEST_CHARS, a history of more than
`max_rows` rows, more than `max_periods` periods, or dates that are all one
day (no step forward between the forecast's points). A refusal is the tool's
own answer to a bad input, {"error": text}, whose one line the model reads
and may act on; every other request goes to the package's tool as it is,
which answers its own way, errors included.
"""
import json

from zarvosdk.forecast_tool import ForecastTool, conv_date

# Far more than a history of MAX_ROWS rows needs as JSON; the text is decoded
# before its rows can be counted.
MAX_REQUEST_CHARS = 1_000_000


class BoundedForecastTool(ForecastTool):
    """ForecastTool refusing requests past the page's bounds (see the module;
    the page's defaults are web_sessions.FORECAST_PERIODS and FORECAST_HISTORY)."""

    max_periods: int
    max_rows: int

    def _run(self, input):
        why = self.refusal(input)
        if why is not None:
            return {"error": why}
        return super()._run(input)

    def refusal(self, text):
        """Why the request `text` is refused, or None to hand it to the
        package's tool. A request the tool cannot read is handed on too: the
        tool says what is wrong with it in its own words."""
        if not isinstance(text, str):
            return None
        if len(text) > MAX_REQUEST_CHARS:
            return "refused: the request is %d characters long; this page's forecast takes at most %d." % (
                len(text), MAX_REQUEST_CHARS)
        try:
            # Read as the tool reads it: single quotes stand for double ones.
            request = json.loads(text.replace("'", '"'))
            data = request["data_input"]
            dates, period = data["date"], request["period"]
            rows = max(len(dates), len(data["values"]))
        except (ValueError, KeyError, TypeError, IndexError, RecursionError):
            return None
        if rows > self.max_rows:
            return ("refused: the history has %d rows; this page's forecast takes at most %d: send fewer, "
                    "e.g. totals by week or month." % (rows, self.max_rows))
        if type(period) is int and period > self.max_periods:
            return "refused: %d periods is more than this page forecasts; ask for at most %d periods." % (
                period, self.max_periods)
        return self._step_refusal(dates)

    @staticmethod
    def _step_refusal(dates):
        """Refuses dates that are all one day: the forecast's points step by
        the mean day between them, which is then zero. (The tool orders the
        dates first, so the step is never negative.)"""
        days = set()
        try:
            for date in dates:
                days.add(conv_date(date))
                if len(days) > 1:
                    return None
        except Exception:  # a date the tool cannot read either: it says so itself
            return None
        return ("refused: the dates are all one day, so the forecast would not step forward in time; "
                "send a history of at least two different dates.")
