// zarvosdk.forecast_tool: the forecast tool and the forecaster behind it.
#include "../frame/module_frame.hpp"

namespace {

void run_top_level(zv::ModuleFrame&) {}

const char* const builtin_names[] = {"NotImplementedError", "sum", "range", nullptr};

zv::ModuleFrame frame = zv::module_frame("forecast_tool", "zarvosdk.forecast_tool",
                                         "zarvosdk.forecast_tool", "init zarvosdk.forecast_tool",
                                         "src/zarvosdk/forecast_tool.cpp", builtin_names, nullptr,
                                         run_top_level, true);

}  // namespace

PyMODINIT_FUNC PyInit_forecast_tool() { return zv::init_module(frame); }
