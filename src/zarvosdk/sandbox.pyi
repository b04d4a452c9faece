"""A code tool for the chart agent that runs the model's Python in a
bubblewrap sandbox. Switch an application to it with
`zarvosdk.agent.PythonREPLTool = SandboxedPythonREPLTool`."""

import atexit as atexit
import os as os
import re as re
import site as site
import sys as sys
import weakref as weakref
from typing import Any
from typing import Optional as Optional

from langchain_core.tools import BaseTool as BaseTool

__test__: dict[str, Any]

class SandboxUnavailable(RuntimeError):
    """The sandbox cannot be had on this machine (bubblewrap missing,
    user namespaces refused) or the host is exiting. The tool never runs code
    outside it."""

class SandboxedPythonREPLTool(BaseTool):
    """Looks like the framework's PythonREPLTool ("Python_REPL", same
    description, same input clean-up, same result); runs each piece of code
    in a fresh process of one sandbox per tool object, so names do not
    persist between runs."""

    name: str = "Python_REPL"
    description: str
    timeout_seconds: float = 30.0
    memory_mb: int = 1024
    max_processes: int = 64
    file_size_mb: int = 100
    output_bytes: int = 20000
    output_dir: Optional[str] = None

    def _run(self, query: str) -> str:
        """What the code printed, the repr of the exception that stopped it,
        or one line naming the limit that ended the sandbox. Raises
        SandboxUnavailable where no sandbox can start. `query` must be exactly
        a str."""
