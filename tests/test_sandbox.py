"""The sandboxed code tool on its own: it passes for the framework's tool,
runs each piece of code afresh (names do not persist between runs), refuses
to run anywhere the sandbox cannot be had, and leaves no process behind.

Hostile code through the whole agent stack is in
tests/integration/test_sandbox_hostile.py.
"""
import gc
import os
import random
import shutil
import sys
import threading
import time
import warnings

import pytest

from subprocesses import python_process

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    from langchain_experimental.tools.python.tool import PythonREPLTool

from zarvosdk.sandbox import SandboxedPythonREPLTool, SandboxUnavailable

if not shutil.which("bwrap"):
    # CI installs bubblewrap (scripts/lib.sh); elsewhere its absence skips these.
    if os.environ.get("CI"):
        pytest.fail("bubblewrap (bwrap) is not installed; run scripts/setup-env as root", pytrace=False)
    pytest.skip("bubblewrap (bwrap) is not installed", allow_module_level=True)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def children_of(pid):
    found = []
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/children" % (pid, task)) as f:
            found += [int(p) for p in f.read().split()]
    return found


def alive(pid):
    """Whether the process runs (a zombie waiting to be reaped does not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def running_commands():
    """The command lines of the processes that run, as /proc shows them."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit() and alive(int(entry)):
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    found.append(f.read())
            except OSError:
                pass
    return found


def test_it_passes_for_the_framework_tool():
    ours, theirs = SandboxedPythonREPLTool(), PythonREPLTool()
    assert (ours.name, ours.description, ours.args) == (theirs.name, theirs.description, theirs.args)


@pytest.mark.parametrize(
    "query",
    ["```python\nprint(6 * 7)\n```", "  Python print('a', end='')  ", "``print(1/0)``", "print(no_such_name)", "import sys; sys.exit(4)",
     "print('\udc80')", "\u3000`\u2003PYTHON\u00a0print(5)`\n ` \u2028", "pythonic = 3\nprint(pythonic)"],
)
def test_results_match_the_framework_tool(query, workdir):
    framework = PythonREPLTool()
    try:
        expected = framework.run(query)
    except SystemExit as stopped:  # the framework's tool lets it through
        expected = repr(stopped)
    assert SandboxedPythonREPLTool().run(query) == expected


def test_each_run_starts_afresh_and_limits_end_only_their_run(workdir):
    tool = SandboxedPythonREPLTool(timeout_seconds=2, output_bytes=40)
    assert tool.run("kept = 41; open('/tmp/kept', 'w').write('41')") == ""
    # Names are gone; files in /tmp stay.
    assert tool.run("print(kept)") == "NameError(\"name 'kept' is not defined\")"
    assert tool.run("print(open('/tmp/kept').read())") == "41\n"
    assert tool.run("print('0123456789' * 5)") == (
        "0123456789" * 4 + "\n[Output cut: the code printed 51 bytes; the sandbox returns the first 40.]"
    )
    started = time.monotonic()
    assert tool.run("import time; time.sleep(60)") == (
        "The sandbox stopped the code and ended its interpreter: it ran past the time limit of 2 seconds."
    )
    assert time.monotonic() - started < 3
    assert tool.run("print('again')") == "again\n"


@pytest.mark.parametrize("memory_mb", [512, 1024])
def test_what_the_sandbox_loads_ahead_leaves_the_code_half_its_memory(memory_mb, workdir):
    tool = SandboxedPythonREPLTool(memory_mb=memory_mb)
    megabytes = memory_mb // 2 - 16
    assert tool.run("import numpy\nprint(numpy.ones(%d << 17).sum())" % megabytes) == "%.1f\n" % (megabytes << 17)


def test_a_sandbox_outlives_the_thread_that_started_it(workdir):
    tool = SandboxedPythonREPLTool()
    started = threading.Thread(target=tool.run, args=("open('/tmp/kept', 'w').write('from a thread')",))
    started.start()
    started.join()
    time.sleep(0.2)
    assert tool.run("print(open('/tmp/kept').read())") == "from a thread\n"


def test_a_sandbox_killed_between_runs_does_not_end_a_host_that_takes_sigpipe(tmp_path):
    done = python_process(
        "import os, signal, time",
        "signal.signal(signal.SIGPIPE, signal.SIG_DFL)",
        "os.chdir(%r)" % str(tmp_path),
        "from zarvosdk.sandbox import SandboxedPythonREPLTool",
        "tool = SandboxedPythonREPLTool()",
        "tool.run('kept = 1')",
        "for task in os.listdir('/proc/self/task'):\n"
        "    for pid in open('/proc/self/task/%s/children' % task).read().split():\n"
        "        os.kill(int(pid), signal.SIGKILL)",
        "time.sleep(0.2)",
        "print(tool.run('print(1)'))",
        "print(tool.run('print(2)'))",
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "The code ended the sandbox's interpreter (killed by signal 9 (Killed)).\n2\n\n"


@pytest.mark.parametrize(
    "fake_bwrap, expected",
    [
        (None, "bubblewrap (the bwrap program) is not installed; install it (Debian, Ubuntu: apt-get install bubblewrap"),
        ("echo 'bwrap: No permissions to create new namespace' >&2; exit 1",
         "the sandbox did not start (bwrap: No permissions to create new namespace); where the kernel refuses"),
    ],
    ids=["bwrap missing", "namespaces refused"],
)
def test_it_fails_closed(fake_bwrap, expected, workdir, monkeypatch):
    bin_dir = workdir / "bin"
    bin_dir.mkdir()
    if fake_bwrap:
        (bin_dir / "bwrap").write_text("#!/bin/sh\n" + fake_bwrap + "\n")
        (bin_dir / "bwrap").chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir))
    with pytest.raises(SandboxUnavailable) as raised:
        SandboxedPythonREPLTool().run("open('ran', 'w')")
    assert expected in str(raised.value)
    assert isinstance(raised.value, RuntimeError)
    assert not list(workdir.rglob("ran"))


@pytest.mark.parametrize(
    "setting", [{"timeout_seconds": 0}, {"memory_mb": -1}, {"file_size_mb": 1 << 40}, {"output_bytes": "many"}]
)
def test_limits_are_checked_when_the_tool_is_made(setting):
    with pytest.raises(ValueError, match=next(iter(setting))):
        SandboxedPythonREPLTool(**setting)


@pytest.mark.parametrize(
    "folder", ["/", "/tmp", "/usr/lib", sys.prefix, "~", "~/.ssh", "/boot", "/var/lib/zv", "{syspath}", "{pythonpath}"]
)
def test_the_output_folder_cannot_open_what_the_sandbox_hides(folder, workdir, monkeypatch):
    # A folder Python imports from would run what the code planted there
    # (sitecustomize.py) in the host's next interpreter.
    monkeypatch.setenv("HOME", str(workdir / "home"))
    monkeypatch.syspath_prepend(str(workdir / "imported"))
    monkeypatch.setenv("PYTHONPATH", str(workdir / "extra"))
    folder = folder.replace("~", str(workdir / "home")).format(
        syspath=workdir / "imported", pythonpath=workdir / "extra")
    with pytest.raises(ValueError, match="output_dir .* would let the code write"):
        SandboxedPythonREPLTool(output_dir=folder).run("print(1)")


def test_the_sandbox_ends_with_its_tool(workdir):
    before = set(children_of(os.getpid()))
    tool = SandboxedPythonREPLTool()
    assert tool.run("print(1)") == "1\n"
    sandbox = set(children_of(os.getpid())) - before
    assert sandbox
    del tool
    gc.collect()
    assert not any(alive(p) for p in sandbox)


@pytest.mark.parametrize("ending", ["pass", "os._exit(0)", "os.kill(os.getpid(), 9)"])
def test_no_sandbox_process_outlives_the_host(ending, tmp_path):
    # A sleep of a length no other program on the machine is likely to use.
    sleep = "59.%06d" % random.randrange(10**6)
    done = python_process(
        "import os",
        "os.chdir(%r)" % str(tmp_path),
        "from zarvosdk.sandbox import SandboxedPythonREPLTool",
        "tool = SandboxedPythonREPLTool()",
        "assert tool.run('import subprocess; subprocess.Popen([\"sleep\", \"%s\"])') == ''" % sleep,
        "for task in os.listdir('/proc/self/task'):\n"
        "    print(open('/proc/self/task/%s/children' % task).read(), flush=True)",
        ending,
    )
    pids = [int(p) for p in done.stdout.split()]
    assert pids, done.stderr
    command = ("sleep\0%s\0" % sleep).encode()

    def left():
        # The sleep the code started goes with its sandbox too, as soon as
        # the kernel has ended the sandbox's pid namespace.
        return [p for p in pids if alive(p)] + [c for c in running_commands() if c == command]

    deadline = time.monotonic() + 1
    while time.monotonic() < deadline and left():
        time.sleep(0.02)
    assert not left()
