"""The trusted template of the sandbox: it reads the host's requests and
starts one process per run, which runs the model's code; it never runs that
code itself.

Started by zarvosdk.sandbox under bubblewrap as the pid namespace's pid 1, it
reads requests on the socket at fd 3, one at a time. A request is a 4-byte
big-endian length, which carries the run's own answer pipe (SCM_RIGHTS), and
the code as UTF-8. The answer goes on that pipe, in the frame whose struct
format the host gives on the command line: one kind byte ("o" for output,
"m" when the memory limit stopped the code, "p" when the process limit did),
the count of bytes the code printed, the length of the text kept, then that
text. Once started it writes "R" on fd 4 and closes it, so the host can tell
a sandbox that never started from code that ended it.

Each run is a fork of this process: the run's process closes the request
socket and the answer pipe before it runs the code in a fresh namespace
(names do not persist between runs) and writes its frame to a pipe of its
own. This process waits for the run's process to end, kills every other
process of the namespace, reaps them, and only then sends the host a frame
it builds itself from the one it read. A process that ran the code could
keep threads, timers or signal handlers alive, or read the next request
itself: none of that reaches the host's next run.

When the run's process ended otherwise (a signal, the memory group's OOM
killer, the file-size handler, no complete frame), this process exits with
the status the host reports as that end: the run's exit status, or 128 plus
the signal's number.

Signals from inside the namespace are ignored here, the process is not
dumpable (its /proc files are out of the code's reach) and, after start-up,
it imports nothing from a folder the code can write.
"""

import ctypes
import errno
import gc
import io
import os
import resource
import select
import shutil
import signal
import socket
import struct
import sys

REQUESTS, READY = 3, 4
PR_SET_DUMPABLE = 4
# Imported once here, from the read-only installation, so that each run's
# process starts with them: a chart run then costs about what it costs
# in-process. matplotlib reads its configuration folder (in /tmp) as it
# loads, so it comes before any run; pandas, which reads nothing the code can
# write, loads while the first run runs, on the other core.
PRELOADED = ("numpy", "matplotlib", "matplotlib.pyplot")
PRELOADED_DURING_FIRST_RUN = ("pandas",)


class CappedOutput(io.TextIOBase):
    """stdout of a run: keeps the first `limit` bytes, counts the rest."""

    def __init__(self, limit):
        self.limit = limit
        self.kept = bytearray()
        self.total = 0

    def writable(self):
        return True

    def write(self, text):
        data = str(text).encode("utf-8", "surrogatepass")
        self.total += len(data)
        room = self.limit - len(self.kept)
        if room > 0:
            self.kept += data[:room]
        return len(text)

    def text(self):
        # A cut may fall inside a character: drop the broken tail.
        return bytes(self.kept).decode("utf-8", "ignore")


def read_request(channel):
    """The next request's code and its answer pipe; EOFError when the host is gone."""
    header, pipe = b"", None
    while len(header) < 4:
        data, fds, _, _ = socket.recv_fds(channel, 4 - len(header), 1, socket.MSG_CMSG_CLOEXEC)
        if not data:
            raise EOFError
        header += data
        for fd in fds:
            if pipe is None:
                pipe = fd
            else:
                os.close(fd)
    (size,) = struct.unpack(">I", header)
    chunks = []
    while size:
        chunk = channel.recv(min(size, 1 << 20))
        if not chunk:
            raise EOFError
        chunks.append(chunk)
        size -= len(chunk)
    if pipe is None:
        raise EOFError
    return b"".join(chunks).decode("utf-8", "surrogatepass"), pipe


def write_all(fd, message):
    view = memoryview(message)
    os.set_blocking(fd, True)
    while view:
        view = view[os.write(fd, view):]


def frame_of(frame, kind, total, text, limit):
    """The frame of a run's result, its text cut to `limit` bytes (an
    exception's text too)."""
    data = text.encode("utf-8", "surrogatepass")
    total = max(total, len(data))
    data = data[:limit].decode("utf-8", "ignore").encode("utf-8")
    return struct.pack(frame, kind, total, len(data)) + data


def parse_frame(frame, data, limit):
    """The (kind, total, text) of a well-formed frame in `data`, else None."""
    size = struct.calcsize(frame)
    if len(data) < size:
        return None
    kind, total, kept = struct.unpack(frame, data[:size])
    if kind not in (b"o", b"m", b"p") or kept > limit or len(data) < size + kept:
        return None
    return kind, total, data[size:size + kept]


def run(code, limit):
    """Runs the code as the framework's tool does, in a namespace of its
    own: what it printed, or the repr of the exception that stopped it."""
    namespace = {"__name__": "__main__", "__builtins__": __builtins__}
    out = CappedOutput(limit)
    saved = sys.stdout
    sys.stdout = out
    try:
        exec(code, namespace)
        result = out.text()
    except MemoryError:
        sys.stdout = saved
        return b"m", out.total, ""
    except BlockingIOError as e:
        # fork refused at the process limit
        sys.stdout = saved
        if e.errno == errno.EAGAIN:
            return b"p", out.total, ""
        result = repr(e)
    except BaseException as e:  # sys.exit and KeyboardInterrupt end the run, not the sandbox
        result = repr(e)
    finally:
        sys.stdout = saved
    return b"o", out.total, result


def gather_files(outbox):
    """Moves the files a run saved in the working directory into the output
    folder, where the application reads them."""
    if not outbox or os.path.realpath(".") == os.path.realpath(outbox):
        return
    for entry in os.scandir("."):
        if entry.is_file(follow_symlinks=False):
            shutil.move(entry.name, os.path.join(outbox, entry.name))


def seed_font_lists():
    """Copies the font lists the host lent (read-only) into this sandbox's
    matplotlib cache, so that matplotlib need not list the fonts again."""
    lent = "/.zarvosdk/matplotlib"
    cache = os.environ.get("MPLCONFIGDIR")
    if not cache or not os.path.isdir(lent):
        return
    try:
        os.makedirs(cache, exist_ok=True)
        for name in os.listdir(lent):
            shutil.copyfile(os.path.join(lent, name), os.path.join(cache, name))
    except OSError:
        pass  # matplotlib lists the fonts itself


def on_read_only_file_system(path):
    """Whether `path` (or, while it does not exist, its nearest existing
    parent) lies on a read-only mount: nothing the code does can put a
    module there."""
    path = os.path.abspath(path)
    while True:
        try:
            return bool(os.statvfs(path).f_flag & os.ST_RDONLY)
        except FileNotFoundError:
            if path == "/":
                return False
            path = os.path.dirname(path)
        except OSError:
            return False


def keep_read_only_imports():
    """Drops from sys.path every folder the code could write (the working
    directory, /tmp, the output folder): this process must never import
    what a run left there."""
    sys.path[:] = [entry for entry in sys.path if entry and on_read_only_file_system(entry)]
    sys.path_importer_cache.clear()


def address_space_used():
    """This process's address space (VmSize) in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) << 10
    return 0


def preload(modules):
    """Imports `modules` while this process uses less than a quarter of the
    address space limit, which every run's process inherits, so that a small
    memory limit is left to the code; a failure leaves none of it behind, and
    a run imports what it needs itself. What is loaded then stays out of the
    collector's passes, so that a run's process does not copy every page the
    collector would touch."""
    limit, _ = resource.getrlimit(resource.RLIMIT_AS)
    before = set(sys.modules)
    try:
        for name in modules:
            if limit != resource.RLIM_INFINITY and address_space_used() > limit // 4:
                break
            __import__(name)
    except BaseException:
        for name in set(sys.modules) - before:
            del sys.modules[name]
    gc.freeze()


def warm_up_charts():
    """Draws a small chart in memory, so that what matplotlib loads and
    caches on its first chart (the Agg backend, the PNG writer, font
    lookups) is there in every run's process."""
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is None:
        return
    try:
        figure, axes = pyplot.subplots(figsize=(2, 1))
        axes.plot(["a", "b"], [0, 1], marker="o")
        axes.set_title("t")
        axes.set_xlabel("x")
        figure.autofmt_xdate()
        figure.tight_layout()
        figure.savefig(io.BytesIO(), format="png")
        pyplot.close(figure)
    except Exception:
        pass  # each run's first chart does it


def make_undumpable(dumpable=0):
    """PR_SET_DUMPABLE: at 0, processes of the same uid cannot open this
    process's /proc files (its descriptors, its memory)."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_DUMPABLE, dumpable, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_DUMPABLE)")


def ignore_signals():
    """Ignores every signal that can be, but SIGCHLD (ignoring it would reap
    runs before their status is read); returns the handlers to restore in a
    run's process."""
    saved = {}
    for number in signal.valid_signals():
        if number in (signal.SIGKILL, signal.SIGSTOP, signal.SIGCHLD):
            continue
        try:
            saved[number] = signal.signal(number, signal.SIG_IGN)
        except (OSError, ValueError):
            pass
    return saved


def exit_on_file_size(*_):
    # The file-size limit's signal: the status the host reports as that limit.
    os._exit(128 + signal.SIGXFSZ)


def be_the_run(code, channel, reply, frames, handlers, limit, outbox, frame):
    """In the run's process: lets go of the host's descriptors, runs the code
    and writes its frame on `frames`. Never returns."""
    status = 0
    try:
        channel.close()
        os.close(reply)
        make_undumpable(1)
        for number, handler in handlers.items():
            signal.signal(number, handler)
        # The interpreter ignores SIGXFSZ: past the size limit a write
        # fails, and this handler ends the run with the limit's status.
        signal.signal(signal.SIGXFSZ, exit_on_file_size)
        me = os.getpid()
        kind, total, text = run(code, limit)
        if os.getpid() != me:
            os._exit(0)  # a process the code forked came back here: it does not answer
        try:
            gather_files(outbox)
        except OSError:
            pass
        write_all(frames, frame_of(frame, kind, total, text, limit))
    except BaseException:
        status = 1
    os._exit(status)


def exit_status(wait_status):
    if os.WIFSIGNALED(wait_status):
        return 128 + os.WTERMSIG(wait_status)
    return os.WEXITSTATUS(wait_status)


def wait_for_run(pid, frames, most):
    """Reads at most `most` bytes of the run's frame while the run lives;
    returns them and the run's wait status once it has ended."""
    data = bytearray()
    try:
        ended = os.pidfd_open(pid)
    except (AttributeError, OSError):
        ended = None
    poller = select.poll()
    poller.register(frames, select.POLLIN)
    if ended is not None:
        poller.register(ended, select.POLLIN)
    reading, status = True, None
    try:
        while status is None:
            events = poller.poll(None if ended is not None else 20)
            if reading and any(fd == frames for fd, _ in events):
                reading = read_some(frames, data, most) is not False
                if not reading:
                    poller.unregister(frames)
            got, wait_status = os.waitpid(pid, os.WNOHANG)
            if got == pid:
                status = wait_status
        while reading:  # what the run wrote before it ended
            reading = read_some(frames, data, most) is True
    finally:
        if ended is not None:
            os.close(ended)
    return bytes(data), status


def read_some(fd, data, most):
    """Adds what `fd` holds now to `data`: True while more may come, None
    when nothing is waiting, False at its end or once `most` bytes are in."""
    try:
        chunk = os.read(fd, min(1 << 16, most - len(data)))
    except BlockingIOError:
        return None
    data += chunk
    return bool(chunk) and len(data) < most


def end_every_other_process():
    """Kills every process of the namespace but this one and reaps them all:
    nothing of a run outlives it."""
    while True:
        try:
            os.kill(-1, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return
        except InterruptedError:
            pass


def serve(channel, handlers, limit, outbox, frame):
    """Answers requests until the host goes or a run ends the sandbox."""
    header = struct.calcsize(frame)
    later = PRELOADED_DURING_FIRST_RUN
    while True:
        try:
            code, reply = read_request(channel)
        except EOFError:
            return 0
        frames, into = os.pipe2(os.O_CLOEXEC)
        pid = os.fork()
        if pid == 0:
            os.close(frames)
            be_the_run(code, channel, reply, into, handlers, limit, outbox, frame)
        os.close(into)
        if later:
            preload(later)
            later = ()
        os.set_blocking(frames, False)
        data, status = wait_for_run(pid, frames, header + limit)
        os.close(frames)
        end_every_other_process()
        result = parse_frame(frame, data, limit)
        if result is None or status != 0:
            os.close(reply)
            return exit_status(status)
        kind, total, text = result
        try:
            write_all(reply, struct.pack(frame, kind, total, len(text)) + text)
        except OSError:
            return 0  # the host is gone
        finally:
            os.close(reply)
        if kind != b"o":
            return 0


def main():
    limit = int(sys.argv[1])
    outbox = sys.argv[2]
    processes = int(sys.argv[3])
    frame = sys.argv[4]
    for fd in (REQUESTS, READY):
        os.set_inheritable(fd, False)
    channel = socket.socket(fileno=REQUESTS)
    # Set here, inside the sandbox's user namespace, the kernel counts the
    # processes of this sandbox alone (this one included), whatever else the
    # host's user runs.
    resource.setrlimit(resource.RLIMIT_NPROC, (processes, processes))
    make_undumpable()
    handlers = ignore_signals()
    keep_read_only_imports()
    seed_font_lists()
    preload(PRELOADED)
    warm_up_charts()
    gc.freeze()
    os.write(READY, b"R")
    os.close(READY)
    # Nothing written to stderr after start-up reaches anyone.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    os._exit(serve(channel, handlers, limit, outbox, frame))


if __name__ == "__main__":
    main()
