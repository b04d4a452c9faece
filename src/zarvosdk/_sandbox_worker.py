"""The program that runs the model's code inside the sandbox.

Started by zarvosdk.sandbox under bubblewrap, it reads requests on the socket
at fd 3, one at a time, and keeps the names each run defines for the next. A
request is a 4-byte big-endian length, which carries the run's own answer pipe
(SCM_RIGHTS), and the code as UTF-8. The answer goes on that pipe, in the frame
whose struct format the host gives on the command line: one kind byte ("o" for
output, "m" when the memory limit stopped the code, "p" when the process
limit did), the count of bytes the code printed, the length of the text kept,
then that text. Once started it writes "R" on fd 4 and closes it, so the host
can tell a sandbox that never started from code that ended it. Between runs
the host stops this process and kills every other process of the sandbox.

Everything here runs with the code's own rights: the code can reach and break
this program, but only inside the sandbox; the host treats every answer as
untrusted and bounds it.
"""

import errno
import io
import os
import resource
import shutil
import signal
import socket
import struct
import sys

REQUESTS, READY = 3, 4


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


def answer(pipe, frame, kind, total, text, limit):
    """Sends the result on the run's pipe, cut to `limit` bytes (an
    exception's text too)."""
    data = text.encode("utf-8", "surrogatepass")
    total = max(total, len(data))
    data = data[:limit].decode("utf-8", "ignore").encode("utf-8")
    message = struct.pack(frame, kind, total, len(data)) + data
    view = memoryview(message)
    try:
        os.set_blocking(pipe, True)
        while view:
            view = view[os.write(pipe, view):]
    except OSError:
        pass  # the host read its answer already (one the code wrote) and closed the pipe
    finally:
        os.close(pipe)


def run(code, namespace, limit):
    """Runs the code as the framework's tool does: what it printed, or the
    repr of the exception that stopped it."""
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


def reap_children():
    """As the namespace's pid 1, collects the processes the host killed
    between runs (and any orphan), so none stays a zombie."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


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
    # A process group the host's clean-up orphans gets SIGHUP: not the end.
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    namespace = {"__name__": "__main__", "__builtins__": __builtins__}
    me = os.getpid()
    seed_font_lists()
    # The interpreter ignores SIGXFSZ, and the kernel drops a signal's
    # default action for a namespace's pid 1 (this process): a file past the
    # size limit ends the sandbox through this handler, with the status
    # the host reports as that limit.
    signal.signal(signal.SIGXFSZ, lambda *_: os._exit(128 + signal.SIGXFSZ))
    os.write(READY, b"R")
    os.close(READY)
    # Nothing written to stderr after start-up reaches anyone.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    while True:
        reap_children()
        try:
            # (the code may have made the socket non-blocking)
            channel.setblocking(True)
            code, pipe = read_request(channel)
        except EOFError:
            return
        kind, total, text = run(code, namespace, limit)
        if os.getpid() != me:
            # A process the code forked came back here: it must not answer.
            os._exit(0)
        try:
            gather_files(outbox)
        except OSError:
            pass
        answer(pipe, frame, kind, total, text, limit)
        if kind != b"o":
            return


if __name__ == "__main__":
    main()
