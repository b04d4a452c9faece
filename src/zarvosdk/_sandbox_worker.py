"""The program that runs the model's code inside the sandbox.

Started by zarvosdk.sandbox under bubblewrap, it reads requests on fd 3 and
answers on fd 4, one at a time, and keeps the names each run defines for the
next. A request is a 4-byte big-endian length and the code as UTF-8. An answer
is one kind byte ("o" for output, "m" when the memory limit stopped the code),
the count of bytes the code printed (8 bytes), the length of the text kept
(4 bytes), then that text. Before the first request it writes "R", so the host
can tell a sandbox that never started from code that ended it.

Everything here runs with the code's own rights: the code can reach and break
this program, but only inside the sandbox; the host treats every answer as
untrusted and bounds it.
"""

import io
import os
import shutil
import signal
import struct
import sys

REQUESTS, ANSWERS = 3, 4


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


def read_exact(fd, size):
    chunks = []
    while size:
        chunk = os.read(fd, size)
        if not chunk:
            raise EOFError
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def answer(kind, total, text, limit):
    """Sends the result, cut to `limit` bytes (an exception's text too)."""
    data = text.encode("utf-8", "surrogatepass")
    total = max(total, len(data))
    data = data[:limit].decode("utf-8", "ignore").encode("utf-8")
    message = kind + struct.pack(">QI", total, len(data)) + data
    view = memoryview(message)
    while view:
        view = view[os.write(ANSWERS, view):]


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


def main():
    limit = int(sys.argv[1])
    outbox = sys.argv[2] if len(sys.argv) > 2 else ""
    for fd in (REQUESTS, ANSWERS):
        os.set_inheritable(fd, False)
    namespace = {"__name__": "__main__", "__builtins__": __builtins__}
    me = os.getpid()
    seed_font_lists()
    # The interpreter ignores SIGXFSZ; restored, a file past the size limit
    # ends the sandbox, which the host reports as that limit.
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
    os.write(ANSWERS, b"R")
    # Nothing written to stderr after start-up reaches anyone.
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    while True:
        try:
            (size,) = struct.unpack(">I", read_exact(REQUESTS, 4))
            code = read_exact(REQUESTS, size).decode("utf-8", "surrogatepass")
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
        answer(kind, total, text, limit)
        if kind == b"m":
            return


if __name__ == "__main__":
    main()
