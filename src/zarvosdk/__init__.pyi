"""zarvosdk: ask a MySQL database questions in plain language through LangChain agents.

The package module imports none of its submodules: import `zarvosdk.base`,
`zarvosdk.agent` or `zarvosdk.forecast_tool` by name.
"""

from typing import Any

__test__: dict[str, Any]
