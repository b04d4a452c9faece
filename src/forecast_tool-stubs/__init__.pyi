"""The top-level name of `zarvosdk.forecast_tool`: the same module object."""

from zarvosdk.forecast_tool import *
from zarvosdk.forecast_tool import __test__ as __test__
from zarvosdk.forecast_tool import pd as pd
