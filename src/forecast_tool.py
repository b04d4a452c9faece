# The top-level name of zarvosdk.forecast_tool in an installed wheel.
#
# A wheel cannot hold links, so this file stands in for the link the
# development tree has: it loads the package's own forecast_tool extension file
# under the name "forecast_tool" and puts the extension module in its place in
# sys.modules. Both names come from the one loaded file, so they give the same
# module object (forecast_tool.ForecastTool is zarvosdk.forecast_tool.ForecastTool).
# The package module zarvosdk is located, not imported. The file leaves no name
# of its own behind (and has no docstring): a reload runs it inside the
# extension module.


def _load_package_file(name, namespace):
    import importlib.machinery
    import importlib.util
    import os
    import sys

    package = importlib.util.find_spec("zarvosdk")
    if package is None or not package.submodule_search_locations:
        raise ModuleNotFoundError("No module named 'zarvosdk'", name="zarvosdk")
    candidates = (
        os.path.join(folder, "forecast_tool" + suffix)
        for folder in package.submodule_search_locations
        for suffix in importlib.machinery.EXTENSION_SUFFIXES
    )
    path = next((path for path in candidates if os.path.isfile(path)), None)
    if path is None:
        raise ImportError("zarvosdk has no forecast_tool extension file", name=name)

    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    if vars(module) is namespace:
        # importlib.reload ran this file inside the extension module itself and
        # gave it this file's attributes; put the extension file's back.
        namespace.update(__spec__=spec, __loader__=loader, __file__=path)
        namespace.pop("__cached__", None)
    sys.modules[name] = module
    loader.exec_module(module)


_load_package_file(__name__, globals())
del _load_package_file
