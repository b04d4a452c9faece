// zarvosdk.agent: assembles the conversational agent and its tools.
#include "../frame/module_frame.hpp"

namespace {

void run_top_level(zv::ModuleFrame&) {}

zv::ModuleFrame frame = zv::module_frame("agent", "zarvosdk.agent", "zarvosdk.agent",
                                         "init zarvosdk.agent", "src/zarvosdk/agent.cpp", nullptr,
                                         nullptr, run_top_level);

}  // namespace

PyMODINIT_FUNC PyInit_agent() { return zv::init_module(frame); }
