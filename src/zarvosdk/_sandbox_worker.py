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

Each run is a fork of this process, made before its request: before "R"
for the first run, and for each next one as the run before it starts (once
this process has handed that run its code and overwritten its own copy),
this process forks the next run's process, the spare. The spare closes the request
socket and the answer pipe, wipes its copy of what this process held of the
last run (the code, the frame), draws a chart in memory so that the pages a
chart writes are its own before the code needs them, and waits for its code
on a pipe only this process holds the other end of. It runs the code in a
fresh namespace (names do not persist between runs) and writes its frame to
a pipe of its own. This process waits for it to end, kills every other
process of the namespace but the next spare (resumed, should the run have
stopped it; forked anew, should the run have killed it), reaps them, and
only then sends the host a frame it builds itself from the one it read. A process that
ran the code could keep threads, timers or signal handlers alive, or read
the next request itself: none of that reaches the host's next run.

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
import time

REQUESTS, READY = 3, 4
PR_SET_DUMPABLE = 4
# Imported once here, from the read-only installation, so that each run's
# process starts with them: a chart run then costs about what it costs
# in-process. matplotlib reads its configuration folder (in /tmp) as it
# loads, so it comes before any run; pandas too, so that the process forked
# for the second run as the first one starts has it, and is warm when the
# second run's code comes.
PRELOADED = ("numpy", "matplotlib", "matplotlib.pyplot", "pandas")
# pandas takes some 200 MB of address space more: below this limit it is left
# to the code that imports it.
PANDAS_FROM_LIMIT = 1024 << 20
# A spare warms up only once its code has not come for this long: code sent
# straight after the last answer (a script's loop) runs at once, while an
# agent's next run, a model's answer later, finds the spare warm.
SPARE_IDLE_SECONDS = 0.02


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
    """The next request's code (UTF-8, in a buffer the caller wipes) and its
    answer pipe; EOFError when the host is gone."""
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
    code = bytearray(size)
    view, got = memoryview(code), 0
    try:
        while got < size:
            chunk = channel.recv_into(view[got:], min(size - got, 1 << 20))
            if not chunk:
                raise EOFError
            got += chunk
    except BaseException:
        if pipe is not None:
            os.close(pipe)
        raise
    finally:
        view.release()
    if pipe is None:
        raise EOFError
    return code, pipe


def wipe(buffer):
    """Overwrites a buffer that held a run's code or result, so that no
    later run's process finds it in the memory it inherits."""
    buffer[:] = bytes(len(buffer))


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


def checked_frame(frame, data, filled, limit):
    """The kind and length of the well-formed frame at the start of the
    `filled` bytes of `data`, its header rewritten there from the values
    checked; None when there is none."""
    size = struct.calcsize(frame)
    if filled < size:
        return None
    kind, total, kept = struct.unpack_from(frame, data)
    if kind not in (b"o", b"m", b"p") or kept > limit or filled < size + kept:
        return None
    struct.pack_into(frame, data, 0, kind, total, kept)
    return kind, size + kept


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
            if name == "pandas" and limit != resource.RLIM_INFINITY and limit < PANDAS_FROM_LIMIT:
                break
            __import__(name)
    except BaseException:
        for name in set(sys.modules) - before:
            del sys.modules[name]
    gc.freeze()


def warm_up_charts(stop=lambda: False):
    """Draws a small chart in memory, so that what matplotlib loads and
    caches on its first chart (the Agg backend, the PNG writer, the font,
    font lookups) is there for the code. In a spare, `stop` tells between
    steps whether its code has come: the code then waits for no more of it."""
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is None:
        return
    figure = None
    try:
        fonts = sys.modules["matplotlib.font_manager"]
        fonts.get_font(fonts.findfont(fonts.FontProperties()))
        if stop():
            return
        figure, axes = pyplot.subplots(figsize=(2, 1))
        if stop():
            return
        axes.plot(["a", "b"], [0, 1], marker="o")
        axes.set_title("t")
        axes.set_xlabel("x")
        figure.autofmt_xdate()
        if stop():
            return
        figure.tight_layout()
        if stop():
            return
        figure.savefig(io.BytesIO(), format="png")
    except Exception:
        pass  # the code's first chart does it
    finally:
        if figure is not None:
            pyplot.close(figure)


def readable(fd, wait=0):
    """Whether reading `fd` would not block (within `wait` seconds)."""
    return bool(select.select([fd], [], [], wait)[0])


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


class Run:
    """What every run's process is given: the signal handlers to restore,
    the output limit, the output folder and the frame's struct format."""

    def __init__(self, handlers, limit, outbox, frame):
        self.handlers, self.limit, self.outbox, self.frame = handlers, limit, outbox, frame


class Spare:
    """The next run's process, forked before its request: the pipe its code
    goes on and the pipe its frame comes back on."""

    def __init__(self, pid, code, frames):
        self.pid, self.code, self.frames = pid, code, frames


def fork_spare(channel, keep_out, scrub, settings):
    """Forks the next run's process from this one, never from a run's, so
    the spare shares nothing with the runs but the files. It lets go of
    `channel` and the descriptors `keep_out`, wipes the buffers `scrub` (what
    this process still holds of the last run) and warms up while it waits
    for its code. None when the fork is refused."""
    source, code = os.pipe2(os.O_CLOEXEC)
    frames, into = os.pipe2(os.O_CLOEXEC)
    try:
        pid = os.fork()
    except OSError:
        for fd in (source, code, frames, into):
            os.close(fd)
        return None
    if pid == 0:
        os.close(code)
        os.close(frames)
        be_the_spare(source, into, channel, keep_out, scrub, settings)
    os.close(source)
    os.close(into)
    os.set_blocking(frames, False)
    return Spare(pid, code, frames)


def be_the_spare(source, frames, channel, keep_out, scrub, settings):
    """In the next run's process: lets go of the host's descriptors and,
    while no code comes, draws a chart in memory (matplotlib reloads its font
    in a forked child, and the pages a chart writes are copied then rather
    than during the run); reads its code on `source` until the worker closes
    it and runs it. Never returns."""
    status = 1
    try:
        channel.close()
        for fd in keep_out:
            os.close(fd)
        for buffer in scrub:
            wipe(buffer)
        if not readable(source, SPARE_IDLE_SECONDS):
            warm_up_charts(lambda: readable(source))
        code = read_code(source)
        os.close(source)
        status = be_the_run(code, frames, settings)
    except BaseException:
        pass
    os._exit(status)


def read_code(source):
    chunks = []
    while True:
        chunk = os.read(source, 1 << 16)
        if not chunk:
            return b"".join(chunks).decode("utf-8", "surrogatepass")
        chunks.append(chunk)


def be_the_run(code, frames, settings):
    """In the run's process: runs the code and writes its frame on `frames`;
    returns the process's exit status."""
    make_undumpable(1)
    for number, handler in settings.handlers.items():
        signal.signal(number, handler)
    # The interpreter ignores SIGXFSZ: past the size limit a write
    # fails, and this handler ends the run with the limit's status.
    signal.signal(signal.SIGXFSZ, exit_on_file_size)
    me = os.getpid()
    kind, total, text = run(code, settings.limit)
    if os.getpid() != me:
        os._exit(0)  # a process the code forked came back here: it does not answer
    try:
        gather_files(settings.outbox)
    except OSError:
        pass
    write_all(frames, frame_of(settings.frame, kind, total, text, settings.limit))
    return 0


def hand_over(spare, code):
    """Gives the spare its code and closes the pipe; False when the spare
    ended before it took it."""
    try:
        write_all(spare.code, code)
        return True
    except OSError:
        return False
    finally:
        os.close(spare.code)


def exit_status(wait_status):
    if os.WIFSIGNALED(wait_status):
        return 128 + os.WTERMSIG(wait_status)
    return os.WEXITSTATUS(wait_status)


class FrameReader:
    """Reads a run's frame into a buffer of the most it may take."""

    def __init__(self, fd, most):
        self.fd, self.data, self.filled = fd, bytearray(most), 0

    def read_some(self):
        """Adds what the pipe holds now: True while more may come, None when
        nothing is waiting, False at its end or once the buffer is full."""
        with memoryview(self.data) as view:
            try:
                got = os.readv(self.fd, [view[self.filled:]])
            except BlockingIOError:
                return None
        self.filled += got
        return got > 0 and self.filled < len(self.data)


def wait_for_run(pid, reader):
    """Reads the run's frame while the run lives; returns the run's wait
    status once it has ended and the pipe holds nothing more."""
    try:
        ended = os.pidfd_open(pid)
    except (AttributeError, OSError):
        ended = None
    poller = select.poll()
    poller.register(reader.fd, select.POLLIN)
    if ended is not None:
        poller.register(ended, select.POLLIN)
    reading, status = True, None
    try:
        while status is None:
            events = poller.poll(None if ended is not None else 20)
            if reading and any(fd == reader.fd for fd, _ in events):
                reading = reader.read_some() is not False
                if not reading:
                    poller.unregister(reader.fd)
            got, wait_status = os.waitpid(pid, os.WNOHANG)
            if got == pid:
                status = wait_status
        while reading:  # what the run wrote before it ended
            reading = reader.read_some() is True
    finally:
        if ended is not None:
            os.close(ended)
    return status


def processes_of_the_namespace():
    """The pids this process's /proc (the namespace's own) lists."""
    return [int(name) for name in os.listdir("/proc") if name.isdigit()]


def end_every_other_process(spare=None):
    """Kills every process of the namespace but this one and the next run's
    spare (forked from this process, not from the run) and reaps them all:
    nothing of a run outlives it. Returns whether the spare still lives."""
    if spare is None:
        end_all_but_this_one()
        return False
    alive = True
    while True:
        # Once reaped, its pid may be another's: spared no longer.
        kept = (1, spare.pid) if alive else (1,)
        others = [pid for pid in processes_of_the_namespace() if pid not in kept]
        for pid in others:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        while True:
            try:
                got, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return False
            if got == 0:
                break
            if got == spare.pid:
                alive = False
        if not others:
            return alive
        time.sleep(0.001)  # killed, not yet gone


def end_all_but_this_one():
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


def start_run(channel, spare, code, reply, settings):
    """Hands the code to the spare (forking one now if there is none or it
    has ended); the run's process, or None when none could start."""
    for _ in range(2):
        if spare is None:
            spare = fork_spare(channel, (reply,), (code,), settings)
            if spare is None:
                return None
        if hand_over(spare, code):
            return spare
        os.close(spare.frames)
        end_every_other_process()
        spare = None
    return None


def serve(channel, spare, settings):
    """Answers requests until the host goes or a run ends the sandbox. Each
    run's code goes to a spare forked before its request; the next spare is
    forked as the run starts, and survives the killing of the run's
    processes, so that the host, which stops this process after the
    answer, finds it there and code sent straight after the answer finds it
    warm."""
    header = struct.calcsize(settings.frame)
    while True:
        try:
            code, reply = read_request(channel)
        except EOFError:
            return 0
        spare = start_run(channel, spare, code, reply, settings)
        wipe(code)
        del code
        if spare is None:
            os.close(reply)
            return 1
        # The next run's process, forked from this one (which holds nothing
        # of this run now but its reply pipe) as this run starts, so that it
        # warms up while this run runs: code sent straight after this
        # answer finds it ready.
        following = fork_spare(channel, (reply, spare.frames), (), settings)
        reader = FrameReader(spare.frames, header + settings.limit)
        status = wait_for_run(spare.pid, reader)
        os.close(spare.frames)
        spare = None
        if end_every_other_process(following):
            os.kill(following.pid, signal.SIGCONT)  # should the run have stopped it
        elif following is not None:
            os.close(following.code)  # the run killed it
            os.close(following.frames)
            following = None
        checked = checked_frame(settings.frame, reader.data, reader.filled, settings.limit)
        if checked is None or status != 0:
            wipe(reader.data)
            os.close(reply)
            return exit_status(status)
        kind, size = checked
        spare = following
        if kind == b"o" and spare is None:
            spare = fork_spare(channel, (reply,), (reader.data,), settings)
        try:
            with memoryview(reader.data) as view:
                write_all(reply, view[:size])
        except OSError:
            return 0  # the host is gone
        finally:
            os.close(reply)
            wipe(reader.data)
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
    # Nothing written to stderr after start-up reaches anyone.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    settings = Run(handlers, limit, outbox, frame)
    spare = fork_spare(channel, (READY,), (), settings)
    os.write(READY, b"R")
    os.close(READY)
    os._exit(serve(channel, spare, settings))


if __name__ == "__main__":
    main()
