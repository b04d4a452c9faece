// zarvosdk: the package module. It binds nothing of its own and imports none
// of its submodules; each is loaded when the application imports it.
#include "../frame/module_frame.hpp"

namespace {

void run_top_level(zv::ModuleFrame&) {}

zv::ModuleFrame frame = zv::module_frame("zarvosdk", "zarvosdk", "zarvosdk.__init__",
                                         "init zarvosdk", "src/zarvosdk/package.cpp", nullptr,
                                         nullptr, run_top_level);

}  // namespace

PyMODINIT_FUNC PyInit_zarvosdk() { return zv::init_module(frame); }
