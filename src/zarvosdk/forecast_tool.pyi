"""The forecast tool and the least-squares forecaster behind it. Also
importable under the top-level name `forecast_tool` (the same module)."""

import json as json
import re as re
from datetime import datetime as datetime
from datetime import timedelta as timedelta
from typing import Any, NoReturn
from typing import Dict as Dict

import pandas
from dateutil import parser as parser
from langchain_core.tools import BaseTool as BaseTool
from pydantic import BaseModel
from sklearn.linear_model import LinearRegression as LinearRegression

pd = pandas

__test__: dict[str, Any]

class ForecastInput(BaseModel):
    """Inputs for the forecasting function (not attached to the tool)."""

    df: pandas.DataFrame
    period: int

    class Config:
        arbitrary_types_allowed: bool

class ForecastTool(BaseTool):
    """Tool for time series forecasting. Called with a JSON text
    {"data_input": {"date": [...], "values": [...]}, "period": n}, returns the
    forecast table or {"error": text}."""

    name: str = "forecast"
    description: str = "\n    Use this tool for time series forecasting\n    "

    def _run(self, input: str) -> pandas.DataFrame | dict[str, str]:
        """Decodes the request, forecasts with `ts_forecast` and returns its
        table, or {"error": text} after printing the traceback to standard
        error. `input` must be exactly a str."""

    async def _arun(self, data: str) -> NoReturn:
        """Not supported: awaiting it raises NotImplementedError."""

def conv_date(dt: str) -> str:
    """Reads a date in any form dateutil's parser accepts and returns it as
    "%Y-%m-%d"."""

def ts_forecast(df: pandas.DataFrame, period: int) -> pandas.DataFrame:
    """Fits a straight line of df["values"] against day number of
    df["timestamp"] and returns `period` future points ("dates",
    "Forecasted_values") spaced by the mean interval. Converts and re-indexes
    `df` in place; `period` must be exactly an int."""
