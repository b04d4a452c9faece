"""The package's texts that the tests compare to the letter, each written once.

The tests keep their own copy, apart from the C++ sources, so that a change
of a prompt or a message there fails a test instead of passing unseen. Every
test that compares one of these texts imports it from here.

`TOOL_DESCRIPTIONS` is also the one list of the conversational agent's tools:
`TOOLS` and every table of the tests that goes tool by tool derive from it.
"""

# The conversational agent's tools ---------------------------------------------

# What the description of the "SQLAgent" tool reads.
SQL_AGENT_DESCRIPTION = (
    "Useful to query data in the database. Always query the database to get the \n"
    + " " * 32 + "most recent data for the required task unless stated otherwise"
)
PYTHON_AGENT_DESCRIPTION = "\n".join(
    [
        "Use this tool more than normal when you are required to generate charts and figures. Always ",
        " " * 28 + "export and save any chart generated into the current directory as 'temp_chart.png', and avoid ",
        " " * 28 + "mentioning that the chart has been saved as a file. Instead, only offer insightful information ",
        " " * 28 + "about the patterns, trends, and key findings represented in the figure. ",
    ]
)
FORECAST_TOOL_DESCRIPTION = "\n".join(
    [""]
    + [
        " " * 20 + line
        for line in [
            "This is a forecast function. Use this more than the normal if the question is about forecasting.",
            "To utilize the tool, input a JSON object in the form of a string. The JSON object should ",
            'contain two key-value pairs. The "data_input" key should hold a dictionary with two ',
            'sub-keys: "date," comprising a sequence of dates, and "values," containing the corresponding ',
            "metric values to be forecasted, always obtained from the SQL query. Also, there is another key ",
            'in the JSON object called "period," which is an integer representing the forecast period. ',
            "Directly pass the JSON object as a string into the tool. The function processes this input ",
            "to generate a forecast for the specified period. If an error occurs, remove 'json' from the input, ",
            "review and adjust the inputs as a string before attempting the function again.",
        ]
    ]
    + [" " * 16]
)

#: Name -> description of every tool the conversational agent has, in the
#: order `AgentInitializer.initialize_tools` builds them.
TOOL_DESCRIPTIONS = {
    "SQLAgent": SQL_AGENT_DESCRIPTION,
    "PythonAgent": PYTHON_AGENT_DESCRIPTION,
    "ForecastTool": FORECAST_TOOL_DESCRIPTION,
}
TOOLS = tuple(TOOL_DESCRIPTIONS)


def react_tool_list(names=TOOLS):
    """How a zero-shot ReAct prompt names the tools it offers."""
    return "[%s]" % ", ".join(names)


# Prompts ------------------------------------------------------------------------

#: The conversational agent's prefix; the framework fills in `{tools}`.
CONVERSATION_PREFIX = "\n".join(
    [
        "",
        " " * 8 + "You are working with a sql database. First query the database to get the data required to answer the ",
        " " * 8 + "question. Then you should use the tools {tools} to answer the question posed of you. Always make sure the code ",
        " " * 8 + "can export and save any chart generated into the current directory as 'temp_chart.png'",
        " " * 8,
    ]
)
# The Python agent's prefix is these two texts around the charts folder.
PYTHON_PREFIX_HEAD = "\n".join(
    [
        "",
        " " * 12 + "Always use the data obtained to generate charts and figures.",
        " " * 12 + "Avoid explicitly stating any limitations in displaying the chart. Encourage the user to seek ",
        " " * 12 + "specific details or further analysis based on the generated figure. Save the charts and figures ",
        " " * 12 + "in the current directory inside this folder ",
    ]
)
PYTHON_PREFIX_TAIL = "\n" + " " * 12
DEFAULT_CHARTS_FOLDER = "media/images"


def python_prefix(folder=DEFAULT_CHARTS_FOLDER):
    """The Python agent's prefix for charts saved in `folder` (a text)."""
    return PYTHON_PREFIX_HEAD + folder + PYTHON_PREFIX_TAIL


# zarvosdk.base --------------------------------------------------------------------

CREDENTIALS_MISSING = "All database credentials must be provided"
CONNECTION_SUCCESSFUL = "Connection successful"
# AgentRunner's status lines; the first two are followed by a text of their own.
RUNNER_INSTANCE = "Agent runner instance: "
RUNNER_ERROR = "Error occurred: "
RUNNER_INIT_FAILED = "Error occurred during initialization."
RUNNER_NOT_INITIALIZED = "Agent runner is not initialized."

# zarvosdk.agent -------------------------------------------------------------------

MEMORY_TAKES_NO_ARGUMENTS = "conversatonal_memory() takes no arguments (1 given)"
MEMORY_TAKES_NO_KEYWORDS = "conversatonal_memory() takes no keyword arguments"

# zarvosdk.forecast_tool -----------------------------------------------------------

FORECAST_TOOL_DOC = "\n    Use this tool for time series forecasting\n    "
FORECAST_NO_ASYNC = "ForecastTool does not support async"
CONV_DATE_WITHOUT_ARGUMENT = "conv_date() takes exactly 1 positional argument (0 given)"
