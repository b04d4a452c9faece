"""The sandbox against code that attacks it, written by someone who has read
src/zarvosdk/sandbox/ and _sandbox_worker.py: each case asserts what must not happen
to the host (a kernel setting changed, a file published or read, a process
or CPU use left between runs, a run answered by an earlier one's code, a host
crash). These run as whatever user runs the suite: as root the sandbox takes
a uid of its own, as another user the user's."""
import os
import sys
import threading
import time

import pytest

from subprocesses import python_process
# (importing test_sandbox also skips, or fails under CI, where there is no bubblewrap)
from test_sandbox import alive, children_of, workdir  # noqa: F401  (workdir is a fixture)

from zarvosdk.sandbox import SandboxedPythonREPLTool


def descendants(pid):
    found, look = [], [pid]
    while look:
        for child in children_of(look.pop()):
            if alive(child):
                found.append(child)
                look.append(child)
    return found


def sandbox_processes(others):
    """The test process's descendants less `others`, those that were there
    before the sandbox (a suite's database server, say)."""
    return [pid for pid in descendants(os.getpid()) if pid not in others]


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / os.sysconf("SC_CLK_TCK")


def entries(folder):
    """The files and folders below `folder`."""
    return sum(len(folders) + len(files) for _, folders, files in os.walk(folder))


def read(path):
    with open(path) as f:
        return f.read()


KNOBS = ["/proc/sys/kernel/printk_ratelimit", "/proc/sys/kernel/core_pattern", "/proc/sys/vm/swappiness"]


def test_the_code_never_has_the_hosts_root(workdir):
    before = [read(k) for k in KNOBS]
    others = set(descendants(os.getpid()))
    tool = SandboxedPythonREPLTool()
    result = tool.run(
        "import os\n"
        "for knob, value in zip(%r, ['9', '|/tmp/x %%p', '1']):\n"
        "    try:\n"
        "        open(knob, 'w').write(value)\n"
        "        print('wrote', knob)\n"
        "    except OSError as e:\n"
        "        print('refused', e.errno)\n"
        "print(os.getuid(), os.geteuid(), repr(open('/proc/self/uid_map').read().split()))" % KNOBS
    )
    assert "wrote" not in result, result
    assert [read(k) for k in KNOBS] == before
    # Seen from the host, every process of the sandbox runs as a uid that is not root's.
    sandbox = sandbox_processes(others)
    assert sandbox
    for pid in sandbox:
        with open("/proc/%d/status" % pid) as f:
            uids = next(line for line in f if line.startswith("Uid:")).split()[1:]
        assert "0" not in uids
    uid, euid, uid_map = result.splitlines()[-1].split(" ", 2)
    assert "0" not in (uid, euid) and uid_map != "['0', '0', '1']"


# (case, code that leaves something running after its run, what the run returns)
LEFT_RUNNING = [
    ("daemon thread", "import threading\ndef spin():\n    while True: pass\n"
     "threading.Thread(target=spin, daemon=True).start()\nprint('left')", "left\n"),
    # a timer whose SIGCONT, from 0.3 s on, undoes a stop and runs a handler that spins
    ("SIGCONT timer", "import ctypes, signal\ndef spin(*_):\n    while True: pass\n"
     "signal.signal(signal.SIGCONT, spin)\nrt = ctypes.CDLL('librt.so.1')\n"
     "event, timer = (ctypes.c_int * 16)(0, 0, signal.SIGCONT, 0), ctypes.c_void_p()\n"
     "assert rt.timer_create(1, event, ctypes.byref(timer)) == 0\n"
     "assert rt.timer_settime(timer, 0, (ctypes.c_long * 4)(0, 10**7, 0, 3 * 10**8), None) == 0\nprint('left')",
     "left\n"),
    ("setsid child ignoring signals", "import os, signal\nif os.fork() == 0:\n    os.setsid()\n"
     "    for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT): signal.signal(s, signal.SIG_IGN)\n"
     "    while True: open('/tmp/beat', 'a').write('x')\nprint('left')", "left\n"),
    ("fork loop", "import os\nwhile True:\n    os.fork()",
     "The sandbox stopped the code and ended its interpreter: it started more processes than the process limit of 16."),
]


@pytest.mark.parametrize("case, code, expected", LEFT_RUNNING, ids=[c[0] for c in LEFT_RUNNING])
def test_nothing_of_the_code_runs_between_runs(case, code, expected, workdir):
    others = set(descendants(os.getpid()))
    tool = SandboxedPythonREPLTool(timeout_seconds=5, max_processes=16)
    assert tool.run("kept = 1") == ""
    assert tool.run(code) == expected
    sandbox = sandbox_processes(others)
    spent = cpu_seconds(sandbox)
    time.sleep(1)
    assert cpu_seconds(sandbox_processes(others)) - spent < 0.2
    # Only bubblewrap, the stopped worker and the next run's process (waiting
    # for its code) remain, or none.
    assert len(sandbox_processes(others)) <= 3
    after = tool.run("import os\nprint(os.path.exists('/tmp/beat') and len(open('/tmp/beat').read()))")
    assert after.endswith("\n") and "Error" not in after
    time.sleep(0.3)
    again = tool.run("import os\nprint(os.path.exists('/tmp/beat') and len(open('/tmp/beat').read()))")
    assert again.splitlines()[-1] == after.splitlines()[-1]


# Code that tries to answer for a later run: a frame on every descriptor, a
# thread that serves the request socket itself, the worker's own functions
# patched to forge.
FORGERS = [
    "import os, struct\nfor fd in range(64):\n"
    "    try: os.set_blocking(fd, False); os.write(fd, b'o' + struct.pack('>QI', 6, 6) + b'forged')\n"
    "    except OSError: pass",
    "import os, socket, struct, threading\ndef serve():\n    s = socket.socket(fileno=os.dup(3))\n"
    "    while True:\n        data, fds, _, _ = socket.recv_fds(s, 1 << 16, 4)\n"
    "        for fd in fds: os.write(fd, b'o' + struct.pack('>QI', 6, 6) + b'forged')\n"
    "threading.Thread(target=serve, daemon=True).start()",
    "import sys, struct\nworker = sys.modules['__main__']\n"
    "worker.checked_frame = lambda *_: (b'o', 19)\nworker.read_request = lambda *_: (bytearray(), 9)\n"
    "worker.frame_of = lambda *_: b'o' + struct.pack('>QI', 6, 6) + b'forged'",
    # the next run's process, which the worker forks as this run starts
    "import os, signal, time\ntime.sleep(0.3)\nfor pid in os.listdir('/proc'):\n"
    "    if pid.isdigit() and int(pid) not in (1, os.getpid()): os.kill(int(pid), signal.SIGSTOP)",
    "import os, signal, time\ntime.sleep(0.3)\nfor pid in os.listdir('/proc'):\n"
    "    if pid.isdigit() and int(pid) not in (1, os.getpid()): os.kill(int(pid), signal.SIGKILL)",
]


@pytest.mark.parametrize("code", FORGERS, ids=["frames everywhere", "thread serving the channel", "patched worker",
                                             "next run's process stopped", "next run's process killed"])
def test_a_run_reads_its_own_answer(code, workdir):
    tool = SandboxedPythonREPLTool(timeout_seconds=3)
    tool.run(code)
    for word in ("next", "and again"):
        result = tool.run("print(%r)" % word)
        assert "forged" not in result
        assert result.endswith(word + "\n")
    assert tool.run("import time\ntime.sleep(60)") == (
        "The sandbox stopped the code and ended its interpreter: it ran past the time limit of 3 seconds."
    )


# Run 2 looks through its own memory for what only run 1's code held and for
# what only its output held; the pieces are joined by the first run alone.
LAST_RUN_IN_MEMORY = """import os
pieces = [(b'zarvo-code-', b'only'), (b'zarvo-output-', b'42')]
found, keep = set(), 64
with open('/proc/self/maps') as maps, open('/proc/self/mem', 'rb', 0) as mem:
    for line in maps:
        fields = line.split()
        if not fields[1].startswith('rw'):
            continue
        start, end = (int(x, 16) for x in fields[0].split('-'))
        for at in range(start, end, 1 << 20):
            try:
                mem.seek(at)
                chunk = mem.read(min(1 << 20, end - at) + keep)
            except OSError:
                continue
            for head, tail in pieces:
                i = chunk.find(head)
                while i >= 0:
                    if chunk[i + len(head):i + len(head) + len(tail)] == tail:
                        found.add(head.decode())
                    i = chunk.find(head, i + 1)
print(sorted(found))
"""


def test_a_run_finds_nothing_of_the_last_run_in_its_memory(workdir):
    tool = SandboxedPythonREPLTool(timeout_seconds=20)
    assert tool.run("'zarvo-code-only'\nprint('zarvo-output-' + str(6 * 7))") == "zarvo-output-42\n"
    assert tool.run(LAST_RUN_IN_MEMORY) == "[]\n"


def test_the_hosts_open_descriptors_stay_outside(workdir, tmp_path_factory):
    # A descriptor the host holds without close-on-exec (a launcher's
    # redirection, an inherited socket) never reaches the code.
    secret = tmp_path_factory.mktemp("host") / "secret.txt"
    secret.write_text("host-secret")
    fd = os.open(str(secret), os.O_RDONLY)
    os.set_inheritable(fd, True)
    try:
        result = SandboxedPythonREPLTool().run(
            "import os\ntry: print(os.read(%d, 100))\nexcept OSError as e: print('closed', e.errno)" % fd
        )
    finally:
        os.close(fd)
    assert "host-secret" not in result and result.startswith("closed"), result


def test_only_charts_and_exports_are_published(workdir):
    tool = SandboxedPythonREPLTool(output_dir=str(workdir / "out"))
    result = tool.run(
        "import os\nos.chdir(%r)\n"
        "for name in ['chart.png', 'data.csv', 'sitecustomize.py', 'x.pth', '.bashrc', 'run.sh', 'a b.png', '-x.png']:\n"
        "    open(name, 'w').write('x')\n"
        "open('holes.csv', 'w').truncate(1 << 20)\n"
        "os.makedirs('deep/' * 20)\nopen('deep/' * 20 + 'far.png', 'w').write('x')\n"
        "os.makedirs('many')\n"
        "for i in range(1200): open('many/%%d.txt' %% i, 'w').write('x')\nprint('done')" % str(workdir / "out")
    )
    assert result.startswith("done\n") and "publishes at most 1000 files" in result
    published = sorted(os.path.relpath(os.path.join(r, n), workdir / "out")
                       for r, _, names in os.walk(workdir / "out") for n in names)
    assert [p for p in published if not p.startswith("many/")] == ["chart.png", "data.csv"]
    assert entries(workdir / "out") == 1000


@pytest.mark.parametrize("make", ["open(f'r{run}-{i}.txt', 'w').write('x')", "os.mkdir(f'r{run}-{i}')"],
                         ids=["files", "folders"])
def test_restarts_do_not_reset_the_publishing_bound(make, workdir):
    # Each run makes 400 entries and ends its interpreter: the bound is the tool's.
    out = workdir / "out"
    tool = SandboxedPythonREPLTool(output_dir=str(out))
    code = "import os\nos.chdir(%r)\nrun = %%d\nfor i in range(400): %s\n" % (str(out), make)
    for run in range(3):
        assert tool.run(code % run + "os._exit(1)").endswith("(exit status 1).")
    assert "at most 1000 files and folders" in tool.run(code % 3 + "print('done')")
    assert entries(out) == 1000


@pytest.mark.parametrize("restart", [False, True], ids=["same interpreter", "after a restart"])
def test_publishing_replaces_only_what_the_tool_published(restart, workdir):
    out = workdir / "out"
    (out / "app").mkdir(parents=True)
    hosts = {"requirements.txt": b"zarvosdk==1\n", "app/data.csv": b"a,b\n1,2\n"}
    for name, content in hosts.items():
        (out / name).write_bytes(content)
    tool = SandboxedPythonREPLTool(output_dir=str(out))
    write = ("import os\nos.chdir(%r)\nos.makedirs('app', exist_ok=True)\n"
             "for name in ['requirements.txt', 'app/data.csv', 'chart.png', 'app/new.png']:\n"
             "    open(name, 'w').write(%%r)\nprint('ok')" % str(out))
    for version in ("v1", "v2"):
        result = tool.run(write % version)
        assert "ok\n" in result and "requirements.txt and 1 more were not published" in result, result
        assert {name: (out / name).read_bytes() for name in hosts} == hosts
        assert [(out / name).read_text() for name in ("chart.png", "app/new.png")] == [version] * 2
        if restart:
            tool.run("import os; os._exit(1)")


@pytest.mark.parametrize("where", ["/tmp/f", "/dev/shm/f", "memfd"])
def test_memory_counts_what_the_code_keeps_in_files(where, workdir):
    # 1.4 GiB in six files, each within the file size limit.
    if os.geteuid() != 0:
        pytest.skip("without a memory group the bound is files x file size (sandbox.md)")
    tool = SandboxedPythonREPLTool(memory_mb=512, file_size_mb=256, timeout_seconds=20)
    opener = "os.fdopen(os.memfd_create('f'), 'wb')" if where == "memfd" else "open(%r + str(i), 'wb')" % where
    result = tool.run(
        "import os\nkept, block = [], b'x' * (1 << 20)\nfor i in range(6):\n    f = %s\n    kept.append(f)\n"
        "    for _ in range(239): f.write(block); f.flush()\nprint('kept 1.4 GiB')" % opener
    )
    assert result == "The sandbox stopped the code and ended its interpreter: it needed more than the memory limit of 512 MB."


def test_the_font_list_is_never_followed_through_a_link(workdir, monkeypatch):
    secret = workdir / "secret.txt"
    secret.write_text("zv-font-secret")
    cache = workdir / "mplcache"
    cache.mkdir()
    (cache / "fontlist-v330.json").symlink_to(secret)
    monkeypatch.setenv("MPLCONFIGDIR", str(cache))
    result = SandboxedPythonREPLTool().run(
        "import os\nfor root in ('/.zarvosdk', '/tmp/.matplotlib'):\n"
        "    for r, _, names in os.walk(root):\n"
        "        for n in names:\n"
        "            try: print(open(os.path.join(r, n)).read())\n"
        "            except OSError: pass"
    )
    assert "zv-font-secret" not in result


def test_a_host_exiting_during_a_run_does_not_crash(tmp_path):
    done = python_process(
        "import os, threading, time",
        "os.chdir(%r)" % str(tmp_path),
        "from zarvosdk.sandbox import SandboxedPythonREPLTool",
        "tool = SandboxedPythonREPLTool(timeout_seconds=30)",
        "tool.run('print(1)')",
        "threading.Thread(target=tool.run, args=('import time; time.sleep(30)',), daemon=True).start()",
        "time.sleep(1)",
        "print(' '.join(map(str, [p for t in os.listdir('/proc/self/task') "
        "for p in open('/proc/self/task/%s/children' % t).read().split()])), flush=True)",
    )
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    pids = [int(p) for p in done.stdout.split()]
    assert pids
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline and any(alive(p) for p in pids):
        time.sleep(0.02)
    assert not any(alive(p) for p in pids)


def test_a_host_exiting_while_a_sandbox_starts_ends_it(tmp_path):
    # The run that was starting one raises, and the host's exit waits for it.
    done = python_process(
        "import atexit, os, threading, time",
        "os.chdir(%r)" % str(tmp_path),
        "said = []",
        "def report():\n    run.join(5)\n    print(said, flush=True)",
        "atexit.register(report)  # before the sandbox's own handler, so it runs after it",
        "from zarvosdk.sandbox import SandboxedPythonREPLTool, SandboxUnavailable",
        "def start():\n    try: said.append(SandboxedPythonREPLTool().run('print(1)'))\n"
        "    except SandboxUnavailable as e: said.append(str(e))",
        "run = threading.Thread(target=start, daemon=True)",
        "run.start()",
        "time.sleep(0.1)",
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.endswith(": the host is exiting']\n"), done.stdout


# (system call, arguments): reached through the C library's syscall(), as
# code that knows the numbers would; x86-64 numbers.
REFUSED_CALLS = [
    ("ptrace", 101, (0, 0, 0, 0)),  # PTRACE_TRACEME: then taken over by a process it picks
    ("process_vm_readv", 310, (1, 0, 0, 0, 0, 0)),
    ("io_uring_setup", 425, (8, 0)),
    ("userfaultfd", 323, (0,)),
    ("keyctl", 250, (0, 0)),
    ("bpf", 321, (0, 0, 0)),
    ("perf_event_open", 298, (0, 0, -1, -1, 0)),
    ("netlink socket", 41, (16, 2, 0)),
    # the worker's limits, scheduling and priority, which every later run inherits
    ("prlimit64 of pid 1", 302, (1, 7, 0, 0)),
    ("sched_setaffinity of pid 1", 203, (1, 8, 0)),
    ("setpriority of the process group", 141, (1, 0, 0)),
]


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="x86-64 system call numbers")
@pytest.mark.parametrize("name, number, arguments", REFUSED_CALLS, ids=[c[0] for c in REFUSED_CALLS])
def test_the_kernels_riskier_calls_are_refused(name, number, arguments, workdir):
    result = SandboxedPythonREPLTool().run(
        "import ctypes\nlibc = ctypes.CDLL(None, use_errno=True)\n"
        "print(libc.syscall(%d, *[ctypes.c_long(a) for a in %r]), ctypes.get_errno())" % (number, arguments)
    )
    returned, error = result.split()
    assert returned == "-1" and int(error) in (1, 97), result  # EPERM, EAFNOSUPPORT


def test_the_code_sees_no_terminal_and_not_the_hosts_name(workdir):
    # Every devpts shares the machine's count of terminals.
    result = SandboxedPythonREPLTool().run("import os, socket\nprint(sorted(os.listdir('/dev')), socket.gethostname())")
    devices, name = result.rsplit(" ", 1)
    assert "pts" not in devices and "ptmx" not in devices and "null" in devices, result
    assert name.strip() != os.uname().nodename


def test_tools_sharing_an_output_folder_keep_their_own_files(workdir):
    out = workdir / "out"
    tools = [SandboxedPythonREPLTool(output_dir=str(out)) for _ in range(2)]
    for tool in tools:
        tool.run("pass")  # started, so that the two runs publish at the same moment
    code = "import os\nos.chdir({out!r})\nfor i in range(100): open({letter!r} + str(i) + '.csv', 'w').write({letter!r} * 100000)"
    threads = [threading.Thread(target=tool.run, args=(code.format(out=str(out), letter=letter),))
               for tool, letter in zip(tools, "ab")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wrong = [path.name for path in out.iterdir() if path.read_text() != path.name[0] * 100000]
    assert len(list(out.iterdir())) == 200 and wrong == []


def test_runs_waiting_for_one_tool_keep_to_their_time_limit(workdir):
    tool = SandboxedPythonREPLTool(timeout_seconds=2)
    tool.run("pass")
    took = []

    def run():
        start = time.monotonic()
        tool.run("import time\ntime.sleep(30)")
        took.append(time.monotonic() - start)

    threads = [threading.Thread(target=run) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(took) == 3 and max(took) < 5, took


def test_code_full_of_spaces_is_cleaned_within_the_time_limit(workdir):
    # The framework's patterns take time in the square of a run of spaces.
    tool = SandboxedPythonREPLTool(timeout_seconds=2)
    started = time.monotonic()
    result = tool.run("print('x')" + " " * 200000 + "print('y')")
    assert time.monotonic() - started < 4 and result.startswith("SyntaxError"), result
