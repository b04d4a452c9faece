"""Runs Python in fresh interpreters that import this same build.

The tests use these for what one process cannot show: interpreter start and
shutdown, imports that fail or warn, memory of repeated imports, and tools
(mypy, stubtest, the example application) run as an application would.
"""

import json
import os
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))


def build_path():
    """The folder that holds the zarvosdk package under test."""
    import zarvosdk

    return os.path.dirname(os.path.dirname(os.path.abspath(zarvosdk.__file__)))


def python_process(*parts, options=(), warnings="ignore"):
    """Runs the code parts (each dedented, joined by lines) in a fresh
    interpreter that imports this same build: the folder holding the package
    goes first on PYTHONPATH, then this tests folder. `warnings` is the
    PYTHONWARNINGS the process gets; None leaves it out, so the process warns
    by its own defaults and `options`. Returns the finished process."""
    code = "\n".join(textwrap.dedent(part) for part in parts)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([build_path(), HERE] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    if warnings is None:
        env.pop("PYTHONWARNINGS", None)
    else:
        env["PYTHONWARNINGS"] = warnings
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", *options, "-c", code],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=300,
    )


def run_python(*parts):
    """Runs the code parts as python_process does, with warnings ignored;
    the process must succeed. Returns the object it printed as JSON on its
    last line."""
    proc = python_process(*parts)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_module(args, cwd, timeout=600):
    """Runs `python -m ARGS...` in `cwd` with this interpreter; returns the
    exit status and what it printed (standard error folded in)."""
    proc = subprocess.run(
        [sys.executable, "-m"] + args,
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=timeout,
    )
    return proc.returncode, proc.stdout


def run_script(path, timeout=300):
    """Runs the script at `path` as an application starts it, warning by the
    interpreter's own defaults; returns the finished process."""
    env = dict(os.environ)
    env.pop("PYTHONWARNINGS", None)
    return subprocess.run(
        [sys.executable, path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        env=env,
        timeout=timeout,
    )
