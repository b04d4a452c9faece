"""Which LangChain line the suite runs against.

CPython 3.9 to 3.12 install the framework's 0.2 line, whose tool base is a
pydantic v1 model; 3.13 installs the 0.3 line, whose tool base is a pydantic v2
model. Tests where the two lines differ ask the framework which one is
installed (never the interpreter version) and state each line's behaviour."""

import langchain_core
from langchain_core.tools import BaseTool

LANGCHAIN_CORE_VERSION = tuple(int(part) for part in langchain_core.__version__.split(".")[:2])

#: The 0.3 line: a pydantic v2 tool base and executor.
LINE_0_3 = LANGCHAIN_CORE_VERSION >= (0, 3)

#: A pydantic v2 model class has `model_fields`; a pydantic v1 one has not.
PYDANTIC_V2_TOOL_BASE = hasattr(BaseTool, "model_fields")
