"""Plain-Python twin of zarvosdk.forecast_tool, written for the benchmark only.

It copies what the module's top level, the tool's `_run`, `conv_date` and
`ts_forecast` do, step for step (module globals looked up at each use, the
mean date interval taken over the dates in ascending order, the exact-type
refusals of the annotated "str" and "int" parameters), so that the benchmark
can time the same work as the host's own bytecode (this file) and as Cython's
compiled C (build_twins.py compiles a copy of it). It is not part of the
package and is never installed.
"""
import pandas as pd
from datetime import datetime, timedelta
from dateutil import parser
from sklearn.linear_model import LinearRegression
import re
from pydantic import BaseModel, Field
from typing import Dict
import json
from langchain.tools.base import BaseTool

_TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


class ForecastInput(BaseModel):
    """
    Inputs for the forecasting function.
    """

    df: "pd.DataFrame" = Field(description="Input dataset as a DataFrame")
    period: "int" = Field(description="The period to forecast")

    class Config:
        arbitrary_types_allowed = True


class ForecastTool(BaseTool):
    """Tool for time series forecasting."""

    name = "forecast"
    description = "\n    Use this tool for time series forecasting\n    "

    def _run(self, input: "str") -> "Dict":
        """Time series forecasting."""
        if type(input) is not str:
            raise TypeError(_TYPE_MESSAGE % ("input", "str", type(input).__name__))
        import traceback
        if "'" in input:
            input = input.replace("'", '"')
        try:
            request = json.loads(input)
            data = request["data_input"]
            dates = data["date"]
            sequence = data["values"]
            seq = []
            for item in sequence:
                if type(item) is str:
                    found = re.match(r"Decimal\('[\d.]+'\)", item)
                    if found is not None:
                        seq.append(float(found.group()[9:-2]))
                        continue
                elif (type(item) is list or type(item) is tuple) and len(item) == 2:
                    seq.append(item[1])
                    continue
                seq.append(item)
            dates = [conv_date(d) for d in dates]
            df = pd.DataFrame({"timestamp": dates, "values": seq})
            period = request["period"]
            result = ts_forecast(df, period)
            if result.empty:
                return {"error": "Forecasting produced an empty DataFrame."}
            return result
        except Exception as e:
            traceback.print_exc()
            return {"error": str(e)}

    async def _arun(self, data: "str") -> "str":
        raise NotImplementedError("ForecastTool does not support async")


def conv_date(dt):
    parsed_date = parser.parse(dt)
    standardized_date = parsed_date.strftime("%Y-%m-%d")
    return standardized_date


def ts_forecast(df: "pd.DataFrame", period: "int") -> "pd.DataFrame":
    """
    Perform time series forecasting on a DataFrame with two columns (date and values).

    Args:
        df (pd.DataFrame): The DataFrame containing time series data with two columns.
        period (int): The number of periods into the future to forecast.

    Returns:
        pd.DataFrame: A DataFrame with date and forecasted values.

    Example Usage:
    df = pd.read_csv('sales_data.csv')  # Load your data
    forecasted_data = ts_forecast(df, 30)
    """
    if type(period) is not int:
        raise TypeError(_TYPE_MESSAGE % ("period", "int", type(period).__name__))
    df["timestamp"] = pd.to_datetime(df["timestamp"])
    dates = df["timestamp"]
    values = df["values"]
    df.set_index("timestamp", inplace=True)
    x = [(d - pd.Timestamp("1970-01-01")).days for d in dates]
    model = LinearRegression()
    model.fit([[v] for v in x], values)
    # Consecutive intervals over the dates in ascending order, so that a
    # series given newest first still steps forward in time.
    ordered = sorted(dates)
    date_intervals = [(ordered[i + 1] - ordered[i]).days for i in range(len(ordered) - 1)]
    average_interval = sum(date_intervals) / len(date_intervals)
    last_date = dates.max()
    forecast_dates = [last_date + timedelta(days=i * average_interval)
                      for i in range(1, period + 1)]
    forecast_x = [(d - datetime(1970, 1, 1)).days for d in forecast_dates]
    forecast = model.predict([[v] for v in forecast_x])
    future_dates = [d.strftime("%Y-%m-%d") for d in forecast_dates]
    forecast_df = pd.DataFrame({"dates": future_dates, "Forecasted_values": forecast})
    return forecast_df


__test__ = {}
