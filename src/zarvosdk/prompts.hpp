// Every text the package gives to the language model, in one place.
//
// The texts are byte-exact: each newline is written as \n at the end of its
// piece and the indentation that follows it is part of the next piece, so
// every space counts. The static_asserts pin the lengths (sizeof - 1: without
// the terminating NUL).
#pragma once
namespace zarvosdk::prompts {

/// Head of the Python agent's prompt prefix; the instance's path text follows it.
inline constexpr char python_prefix_head[] =
    "\n"
    "            Always use the data obtained to generate charts and figures.\n"
    "            Avoid explicitly stating any limitations in displaying the chart. Encourage the user to seek \n"
    "            specific details or further analysis based on the generated figure. Save the charts and figures \n"
    "            in the current directory inside this folder ";
static_assert(sizeof(python_prefix_head) - 1 == 345, "python_prefix_head length");

/// Tail of the Python agent's prompt prefix, after the path text.
inline constexpr char python_prefix_tail[] =
    "\n"
    "            ";
static_assert(sizeof(python_prefix_tail) - 1 == 13, "python_prefix_tail length");

/// Description of the "SQLAgent" tool.
inline constexpr char sql_agent_description[] =
    "Useful to query data in the database. Always query the database to get the \n"
    "                                most recent data for the required task unless stated otherwise";
static_assert(sizeof(sql_agent_description) - 1 == 170, "sql_agent_description length");

/// Description of the "PythonAgent" tool.
inline constexpr char python_agent_description[] =
    "Use this tool more than normal when you are required to generate charts and figures. Always \n"
    "                            export and save any chart generated into the current directory as 'temp_chart.png', and avoid \n"
    "                            mentioning that the chart has been saved as a file. Instead, only offer insightful information \n"
    "                            about the patterns, trends, and key findings represented in the figure. ";
static_assert(sizeof(python_agent_description) - 1 == 440, "python_agent_description length");

/// Description of the "ForecastTool" tool: the JSON text the forecast tool parses.
inline constexpr char forecast_tool_description[] =
    "\n"
    "                    This is a forecast function. Use this more than the normal if the question is about forecasting.\n"
    "                    To utilize the tool, input a JSON object in the form of a string. The JSON object should \n"
    "                    contain two key-value pairs. The \"data_input\" key should hold a dictionary with two \n"
    "                    sub-keys: \"date,\" comprising a sequence of dates, and \"values,\" containing the corresponding \n"
    "                    metric values to be forecasted, always obtained from the SQL query. Also, there is another key \n"
    "                    in the JSON object called \"period,\" which is an integer representing the forecast period. \n"
    "                    Directly pass the JSON object as a string into the tool. The function processes this input \n"
    "                    to generate a forecast for the specified period. If an error occurs, remove 'json' from the input, \n"
    "                    review and adjust the inputs as a string before attempting the function again.\n"
    "                ";
static_assert(sizeof(forecast_tool_description) - 1 == 1021, "forecast_tool_description length");

/// Prompt prefix of the conversational agent. "{tools}" is left for the framework.
inline constexpr char conversational_prefix[] =
    "\n"
    "        You are working with a sql database. First query the database to get the data required to answer the \n"
    "        question. Then you should use the tools {tools} to answer the question posed of you. Always make sure the code \n"
    "        can export and save any chart generated into the current directory as 'temp_chart.png'\n"
    "        ";
static_assert(sizeof(conversational_prefix) - 1 == 334, "conversational_prefix length");

/// Folder named in the Python agent's prefix when the caller gives none.
inline constexpr char default_path[] = "media/images";
static_assert((sizeof(python_prefix_head) - 1) + (sizeof(default_path) - 1) +
                      (sizeof(python_prefix_tail) - 1) ==
                  370,
              "default Python agent prefix length");

}  // namespace zarvosdk::prompts
